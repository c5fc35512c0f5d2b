#include <array>
#include <cmath>

#include "core/candidates.hpp"
#include "core/tracking_core.hpp"

namespace core {
namespace {

constexpr std::array<double, 5> kScaleSteps = {0.97, 0.985, 1.0, 1.015, 1.03};
constexpr double kScaleSpacing = 0.015;
constexpr std::array<double, 5> kAngleSteps = {-0.03490658503988659, -0.017453292519943295, 0,
                                               0.017453292519943295, 0.03490658503988659};
constexpr double kAngleSpacing = 0.017453292519943295;

// Best of five step scores (first maximum wins), interpolated between steps
// unless it is an end step: a parabola needs a neighbour on each side.
Change pickStep(const std::array<float, 5>& score, const std::array<double, 5>& steps,
                double spacing) {
  int b = 0;
  for (int i = 1; i < 5; ++i) {
    if (score[i] > score[b]) b = i;
  }
  Change out;
  out.value = steps[b];
  if (b >= 1 && b <= 3) out.value = steps[b] + peak(score[b - 1], score[b], score[b + 1]) * spacing;
  out.score = score[b];
  return out;
}

}  // namespace

Change bestScale(const Img& image, const Tpl& tpl, double x, double y, double scale,
                 double angle) {
  const double cosA = std::cos(angle), sinA = std::sin(angle);
  std::array<detail::Grid, 5> grids;
  for (int i = 0; i < 5; ++i) {
    const double stepScale = scale * kScaleSteps[i];
    grids[i] = {x, y, stepScale * cosA, stepScale * sinA};
  }
  std::array<float, 5> score;
  detail::scoreCandidates(image, tpl, grids.data(), 5, score.data());
  return pickStep(score, kScaleSteps, kScaleSpacing);
}

Change bestRot(const Img& image, const Tpl& tpl, double x, double y, double scale, double angle) {
  std::array<detail::Grid, 5> grids;
  for (int i = 0; i < 5; ++i) {
    const double stepAngle = angle + kAngleSteps[i];
    grids[i] = {x, y, scale * std::cos(stepAngle), scale * std::sin(stepAngle)};
  }
  std::array<float, 5> score;
  detail::scoreCandidates(image, tpl, grids.data(), 5, score.data());
  return pickStep(score, kAngleSteps, kAngleSpacing);
}

}  // namespace core
