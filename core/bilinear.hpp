// Bilinear sampling with border clamping, the one formula every sampler uses.
// Internal linkage on purpose: this header is compiled into the baseline and
// the AVX2 kernels alike, and each must keep its own copy.
#pragma once

#include <cstdint>

#include "core/kernels.hpp"

namespace core::detail {
namespace {

// The upper bound stays 0.001 short of the last pixel so that the right and
// lower neighbours of the base pixel always exist; `!(x > 0)` also sends a NaN
// to the border instead of into an undefined conversion.
inline float bilinear(Plane image, double x, double y) {
  const double xmax = static_cast<double>(image.w - 1) + -0.001;
  const double ymax = static_cast<double>(image.h - 1) + -0.001;
  if (!(x > 0)) x = 0;
  if (x > xmax) x = xmax;
  if (!(y > 0)) y = 0;
  if (y > ymax) y = ymax;
  const int64_t ix = static_cast<int64_t>(x);
  const int64_t iy = static_cast<int64_t>(y);
  const float* p = image.p + iy * image.w + ix;
  const float a = p[0], b = p[1], c = p[image.w], d = p[image.w + 1];
  const float fx = static_cast<float>(x - static_cast<double>(ix));
  const float fy = static_cast<float>(y - static_cast<double>(iy));
  const float top = a + (b - a) * fx;
  const float bottom = c + (d - c) * fx;
  return top + (bottom - top) * fy;
}

}  // namespace
}  // namespace core::detail
