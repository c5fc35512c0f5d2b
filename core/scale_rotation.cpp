#include <array>
#include <cmath>

#include "core/candidates.hpp"
#include "core/steps.hpp"
#include "core/tracking_core.hpp"

namespace core {

using detail::kAngleSpacing;
using detail::kAngleSteps;
using detail::kScaleSpacing;
using detail::kScaleSteps;

Change bestScale(const Img& image, const Tpl& tpl, double x, double y, double scale, double angle) {
  const double cosA = std::cos(angle), sinA = std::sin(angle);
  std::array<detail::Grid, 5> grids;
  for (int i = 0; i < 5; ++i) {
    const double stepScale = scale * kScaleSteps[i];
    grids[i] = {x, y, stepScale * cosA, stepScale * sinA};
  }
  std::array<float, 5> score;
  detail::scoreCandidates(image, tpl, grids.data(), 5, score.data());
  return detail::pickStep(score, kScaleSteps, kScaleSpacing);
}

Change bestRot(const Img& image, const Tpl& tpl, double x, double y, double scale, double angle) {
  std::array<detail::Grid, 5> grids;
  for (int i = 0; i < 5; ++i) {
    const double stepAngle = angle + kAngleSteps[i];
    grids[i] = {x, y, scale * std::cos(stepAngle), scale * std::sin(stepAngle)};
  }
  std::array<float, 5> score;
  detail::scoreCandidates(image, tpl, grids.data(), 5, score.data());
  return detail::pickStep(score, kAngleSteps, kAngleSpacing);
}

}  // namespace core
