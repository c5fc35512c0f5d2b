// Scalar transcriptions of the core's routines, kept deliberately plain: one
// call per sample, one window at a time. The optimised core must agree with
// them bit for bit; the micro-benchmarks report the speed-up over them.
#include "naive/naive_core.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "core/numeric.hpp"

namespace naive {
using core::Change;
using core::Found;
using core::Img;
using core::Tpl;

float sample(const Img& image, double x, double y) {
  // The upper bound stays 0.001 short of the last pixel so that the right and
  // lower neighbours of the base pixel always exist; `!(x > 0)` also sends a
  // NaN to the border instead of into an undefined conversion.
  const double xmax = static_cast<double>(image.w - 1) + -0.001;
  const double ymax = static_cast<double>(image.h - 1) + -0.001;
  if (!(x > 0)) x = 0;
  if (x > xmax) x = xmax;
  if (!(y > 0)) y = 0;
  if (y > ymax) y = ymax;
  const int64_t ix = static_cast<int64_t>(x);
  const int64_t iy = static_cast<int64_t>(y);
  const float* p = image.p.data() + iy * image.w + ix;
  const float a = p[0], b = p[1], c = p[image.w], d = p[image.w + 1];
  const float fx = static_cast<float>(x - static_cast<double>(ix));
  const float fy = static_cast<float>(y - static_cast<double>(iy));
  const float top = a + (b - a) * fx;
  const float bottom = c + (d - c) * fx;
  return top + (bottom - top) * fy;
}

Img half(const Img& image) {
  Img out;
  out.w = image.w / 2;
  out.h = image.h / 2;
  out.p.assign(static_cast<size_t>(out.w * out.h), 0.0f);
  if (image.w < 2 || image.h < 2) return out;
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

Tpl centred(int64_t w, int64_t h, std::vector<float> raw) {
  Tpl t;
  t.w = w;
  t.h = h;
  const size_t n = raw.size();
  float sum = 0;
  for (size_t i = 0; i < n; ++i) sum += raw[i];
  t.mean = sum / static_cast<float>(n);
  float ss = 0;
  for (size_t i = 0; i < n; ++i) {
    raw[i] -= t.mean;
    ss += raw[i] * raw[i];
  }
  t.norm = std::sqrt(ss);
  if (t.norm <= 0.001f) t.norm = 0.001f;
  t.p = std::move(raw);
  return t;
}

Tpl templ(const Img& image, double x, double y, int64_t tw, int64_t th) {
  const double xs = x - static_cast<double>(tw) / 2;
  const double ys = y - static_cast<double>(th) / 2;
  std::vector<float> q(static_cast<size_t>(tw * th));
  for (int64_t j = 0; j < th; ++j) {
    const double sy = (ys + static_cast<double>(j)) + 0.5;
    for (int64_t i = 0; i < tw; ++i) {
      q[j * tw + i] = naive::sample(image, (xs + static_cast<double>(i)) + 0.5, sy);
    }
  }
  return naive::centred(tw, th, std::move(q));
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
      q[j * tw + i] = naive::sample(image, (x + c * u) - s * v, c * v + (y + s * u));
    }
  }
  return naive::centred(tw, th, std::move(q));
}

float ncc(const Img& image, const Tpl& tpl, int64_t left, int64_t top) {
  if (left < 0 || top < 0) return -1;
  if (left + tpl.w > image.w || top + tpl.h > image.h) return -1;
  float sxy = 0, sx = 0, sxx = 0;
  for (int64_t j = 0; j < tpl.h; ++j) {
    const float* row = image.p.data() + (top + j) * image.w + left;
    const float* t = tpl.p.data() + j * tpl.w;
    for (int64_t i = 0; i < tpl.w; ++i) {
      const float v = row[i];
      sxx += v * v;
      sx += v;
      sxy += v * t[i];
    }
  }
  const float n = static_cast<float>(tpl.w * tpl.h);
  const float var = sxx - (sx * sx) / n;
  if (var <= 0.001f) return -1;
  return sxy / (std::sqrt(var) * tpl.norm);
}

float corr(const Tpl& a, const Tpl& b) {
  float dot = 0;
  const size_t n = a.p.size();
  for (size_t i = 0; i < n; ++i) dot += a.p[i] * b.p[i];
  return dot / (a.norm * b.norm);
}

double peak(float a, float b, float c) {
  const float d = (a - (b + b)) + c;
  if (!(d < 0)) return 0;  // opens upward, flat, or NaN: no vertex to trust
  const float o = ((a - c) * 0.5f) / d;
  return std::max(std::min(static_cast<double>(o), 1.0), -1.0);
}

Found search(const Img& image, const Tpl& tpl, double x, double y, int64_t r) {
  const double halfW = static_cast<double>(tpl.w) / 2;
  const double halfH = static_cast<double>(tpl.h) / 2;
  const int64_t x0 = core::detail::roundToInt((x - halfW) + 0.5);
  const int64_t y0 = core::detail::roundToInt((y - halfH) + 0.5);
  const int64_t side = 2 * r + 1;
  std::vector<float> grid(static_cast<size_t>(side * side), -2.0f);
  float best = -2;
  int64_t bx = 0, by = 0;
  for (int64_t dy = -r; dy <= r; ++dy) {
    for (int64_t dx = -r; dx <= r; ++dx) {
      const float s = naive::ncc(image, tpl, x0 + dx, y0 + dy);
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
  if (at(bx - 1, by, l) && at(bx, by, m) && at(bx + 1, by, n)) offx = naive::peak(l, m, n);
  if (at(bx, by - 1, l) && at(bx, by, m) && at(bx, by + 1, n)) offy = naive::peak(l, m, n);
  offx = std::max(std::min(offx, 0.5), -0.5);
  offy = std::max(std::min(offy, 0.5), -0.5);
  Found f;
  f.x = ((halfW + static_cast<double>(x0 + bx)) - 0.5) + offx;
  f.y = ((halfH + static_cast<double>(y0 + by)) - 0.5) + offy;
  f.score = best;
  return f;
}

namespace {

constexpr std::array<double, 5> kScaleSteps = {0.97, 0.985, 1.0, 1.015, 1.03};
constexpr double kScaleSpacing = 0.015;
constexpr std::array<double, 5> kAngleSteps = {-0.03490658503988659, -0.017453292519943295, 0,
                                               0.017453292519943295, 0.03490658503988659};
constexpr double kAngleSpacing = 0.017453292519943295;

// Best of five step scores (first maximum wins), interpolated between steps
// unless it is an end step.
Change pickStep(const std::array<float, 5>& score, const std::array<double, 5>& steps,
                double spacing) {
  int b = 0;
  for (int i = 1; i < 5; ++i) {
    if (score[i] > score[b]) b = i;
  }
  Change out;
  out.value = steps[b];
  if (b >= 1 && b <= 3)
    out.value = steps[b] + naive::peak(score[b - 1], score[b], score[b + 1]) * spacing;
  out.score = score[b];
  return out;
}

}  // namespace

Change bestScale(const Img& image, const Tpl& tpl, double x, double y, double scale, double angle) {
  std::array<float, 5> score;
  for (int i = 0; i < 5; ++i) {
    score[i] =
        naive::corr(tpl, naive::patch(image, x, y, tpl.w, tpl.h, scale * kScaleSteps[i], angle));
  }
  return pickStep(score, kScaleSteps, kScaleSpacing);
}

Change bestRot(const Img& image, const Tpl& tpl, double x, double y, double scale, double angle) {
  std::array<float, 5> score;
  for (int i = 0; i < 5; ++i) {
    score[i] =
        naive::corr(tpl, naive::patch(image, x, y, tpl.w, tpl.h, scale, angle + kAngleSteps[i]));
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
      const float s = naive::corr(tpl, cand);
      grid[(dy + r) * side + (dx + r)] = s;
      if (s > best) best = s, bx = dx, by = dy;
    }
  }
  auto at = [&](int64_t dx, int64_t dy) { return grid[(dy + r) * side + (dx + r)]; };
  double offx = 0, offy = 0;
  if (-r < bx && bx < r) offx = naive::peak(at(bx - 1, by), best, at(bx + 1, by));
  if (-r < by && by < r) offy = naive::peak(at(bx, by - 1), best, at(bx, by + 1));
  Found f;
  f.x = (x + static_cast<double>(bx)) + offx;
  f.y = (y + static_cast<double>(by)) + offy;
  f.score = best;
  return f;
}

}  // namespace naive
