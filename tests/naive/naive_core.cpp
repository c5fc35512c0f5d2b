// Scalar transcriptions of the core's vectorised routines, kept deliberately
// plain: one call per sample, one window at a time, built on the core's own
// scalar `sample`, `centred`, `ncc`, `corr` and `peak`. The optimised core
// must agree with them bit for bit; the micro-benchmarks report the speed-up
// over them.
#include "naive/naive_core.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "core/numeric.hpp"
#include "core/steps.hpp"

namespace naive {
using core::Change;
using core::Found;
using core::Img;
using core::Tpl;
using core::detail::kAngleSpacing;
using core::detail::kAngleSteps;
using core::detail::kScaleSpacing;
using core::detail::kScaleSteps;
using core::detail::pickStep;

Img half(const Img& image) {
  Img out;
  out.w = image.w / 2;
  out.h = image.h / 2;
  out.p.assign(static_cast<size_t>(out.w * out.h), 0.0f);
  const int64_t w = image.w;
  for (int64_t y = 0; y < out.h; ++y) {
    const float* row0 = image.p.data() + (2 * y) * w;
    const float* row1 = row0 + w;
    float* dst = out.p.data() + y * out.w;
    for (int64_t x = 0; x < out.w; ++x) {
      dst[x] = (((row0[2 * x] + row0[2 * x + 1]) + row1[2 * x]) + row1[2 * x + 1]) * 0.25f;
    }
  }
  return out;
}

Tpl templ(const Img& image, double x, double y, int64_t tw, int64_t th) {
  const double xs = x - static_cast<double>(tw) / 2;
  const double ys = y - static_cast<double>(th) / 2;
  std::vector<float> q(static_cast<size_t>(tw * th));
  for (int64_t j = 0; j < th; ++j) {
    const double sy = (ys + static_cast<double>(j)) + 0.5;
    for (int64_t i = 0; i < tw; ++i) {
      q[j * tw + i] = core::sample(image, (xs + static_cast<double>(i)) + 0.5, sy);
    }
  }
  return core::centred(tw, th, std::move(q));
}

Tpl patch(const Img& image, double x, double y, int64_t tw, int64_t th, double scale,
          double angle) {
  const double c = scale * std::cos(angle);
  const double s = scale * std::sin(angle);
  const double halfW = static_cast<double>(tw) / 2;
  const double halfH = static_cast<double>(th) / 2;
  std::vector<float> q(static_cast<size_t>(tw * th));
  for (int64_t j = 0; j < th; ++j) {
    const double v = (static_cast<double>(j) + 0.5) - halfH;
    for (int64_t i = 0; i < tw; ++i) {
      const double u = (static_cast<double>(i) + 0.5) - halfW;
      q[j * tw + i] = core::sample(image, (x + c * u) - s * v, c * v + (y + s * u));
    }
  }
  return core::centred(tw, th, std::move(q));
}

Found search(const Img& image, const Tpl& tpl, double x, double y, int64_t r) {
  const double halfW = static_cast<double>(tpl.w) / 2;
  const double halfH = static_cast<double>(tpl.h) / 2;
  const int64_t x0 = core::roundToInt((x - halfW) + 0.5);
  const int64_t y0 = core::roundToInt((y - halfH) + 0.5);
  const int64_t side = 2 * r + 1;
  std::vector<float> grid(static_cast<size_t>(side * side), -2.0f);
  float best = -2;
  int64_t bx = 0, by = 0;
  for (int64_t dy = -r; dy <= r; ++dy) {
    for (int64_t dx = -r; dx <= r; ++dx) {
      const float s = core::ncc(image, tpl, x0 + dx, y0 + dy);
      grid[(dy + r) * side + (dx + r)] = s;
      if (s > best) best = s, bx = dx, by = dy;
    }
  }
  // A neighbour is usable when it lies inside the grid and holds a real score.
  auto at = [&](int64_t dx, int64_t dy, float& out) {
    if (dx + r < 0 || dx + r > 2 * r || dy + r < 0 || dy + r > 2 * r) return false;
    out = grid[(dy + r) * side + (dx + r)];
    return out > -2.0f;
  };
  float l, m, n;
  double offx = 0, offy = 0;
  if (at(bx - 1, by, l) && at(bx, by, m) && at(bx + 1, by, n)) offx = core::peak(l, m, n);
  if (at(bx, by - 1, l) && at(bx, by, m) && at(bx, by + 1, n)) offy = core::peak(l, m, n);
  offx = std::max(std::min(offx, 0.5), -0.5);
  offy = std::max(std::min(offy, 0.5), -0.5);
  return {((halfW + static_cast<double>(x0 + bx)) - 0.5) + offx,
          ((halfH + static_cast<double>(y0 + by)) - 0.5) + offy, best};
}

Change bestScale(const Img& image, const Tpl& tpl, double x, double y, double scale, double angle) {
  std::array<float, 5> score;
  for (int i = 0; i < 5; ++i) {
    score[i] =
        core::corr(tpl, naive::patch(image, x, y, tpl.w, tpl.h, scale * kScaleSteps[i], angle));
  }
  return pickStep(score, kScaleSteps, kScaleSpacing);
}

Change bestRot(const Img& image, const Tpl& tpl, double x, double y, double scale, double angle) {
  std::array<float, 5> score;
  for (int i = 0; i < 5; ++i) {
    score[i] =
        core::corr(tpl, naive::patch(image, x, y, tpl.w, tpl.h, scale, angle + kAngleSteps[i]));
  }
  return pickStep(score, kAngleSteps, kAngleSpacing);
}

Found refine(const Img& image, const Tpl& tpl, double x, double y, double scale, int64_t r,
             double angle) {
  const int64_t side = 2 * r + 1;
  std::vector<float> grid(static_cast<size_t>(side * side), -2.0f);
  float best = -2;
  int64_t bx = 0, by = 0;
  for (int64_t dy = -r; dy <= r; ++dy) {
    for (int64_t dx = -r; dx <= r; ++dx) {
      const Tpl cand = naive::patch(image, x + static_cast<double>(dx), y + static_cast<double>(dy),
                                    tpl.w, tpl.h, scale, angle);
      const float s = core::corr(tpl, cand);
      grid[(dy + r) * side + (dx + r)] = s;
      if (s > best) best = s, bx = dx, by = dy;
    }
  }
  auto at = [&](int64_t dx, int64_t dy) { return grid[(dy + r) * side + (dx + r)]; };
  double offx = 0, offy = 0;
  if (-r < bx && bx < r) offx = core::peak(at(bx - 1, by), best, at(bx + 1, by));
  if (-r < by && by < r) offy = core::peak(at(bx, by - 1), best, at(bx, by + 1));
  return {(x + static_cast<double>(bx)) + offx, (y + static_cast<double>(by)) + offy, best};
}

}  // namespace naive
