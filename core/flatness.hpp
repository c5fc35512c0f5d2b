// When a window or a template has no contrast to score, and the bound that
// keeps every score a correlation.
//
// Single-precision sums cannot tell a flat region from their own rounding:
// on a window whose samples all hold one value that is not a whole number,
// var = sxx - sx*sx/n comes out as noise of up to about n units of rounding
// of sxx, and a template's residues come out as the rounding error of its
// mean instead of zeros, a "contrast" that then correlates perfectly with
// anything. So wherever a sum lies within its rounding bound of the flatness
// limit, the samples themselves are asked, in double precision and in two
// passes (mean, then squared deviations), which is exact enough to compare
// with the limit. Outside the bound nothing is asked and nothing changes:
// every region with contrast keeps its single-precision score bit for bit.
//
// Internal linkage on purpose: this header is compiled into the baseline and
// the AVX2 kernels alike, and each must keep its own copy.
#pragma once

#include <cmath>
#include <cstdint>

namespace core::detail {
namespace {

// Flatness limits: a window's sum of squared deviations, a template's norm.
inline constexpr float kFlatVar = 0.001f;
inline constexpr float kNormFloor = 0.001f;

// One unit of rounding of a single-precision result.
inline constexpr float kUnit = 0x1p-24f;

// How far a window's computed var can lie from the true one, per unit of
// sxx. First-order errors, for samples of one sign (a nearly flat window's
// samples share one, or are all so small that their errors are too): the
// squares and their running sum are off by at most n units of sxx; the
// running sum sx by n - 1 units of itself, so sx*sx/n, rounded twice more,
// by 2n + 1 units of sx*sx/n <= sxx. Together under 3n + 4 units of sxx.
inline float windowSlack(float n) {
  return (3.0f * n + 4.0f) * kUnit;
}

// How far a template's computed norm can lie above the true one, per unit of
// |mean|, for samples within the norm floor of their mean: the running mean
// is off by at most n + 1 units of it, and every residue carries that error,
// sqrt(n) (n + 1) units of |mean| in the norm. Doubled, with the floor also
// doubled below, to cover the rounding of the residues, their squares and
// their sum (each under n units of the norm itself).
inline float templateSlack(float n) {
  return std::sqrt(n) * ((2.0f * n + 4.0f) * kUnit);
}

// A computed var at or below this may belong to a window flat by kFlatVar.
// Templates, so that the kernels apply the same expression to all lanes.
template <class F>
inline F windowSuspect(F sxx, float slack) {
  return kFlatVar + slack * sxx;
}

// A computed norm at or below this may belong to a template flat by kNormFloor.
template <class F>
inline F templateSuspect(F mean, float slack) {
  return (kNormFloor + kNormFloor) + slack * (mean < 0 ? -mean : mean);
}

// The sum of squared deviations from their mean of h rows of w samples,
// `stride` samples apart, in double precision.
inline double spread(const float* first, int64_t stride, int64_t w, int64_t h) {
  double sum = 0;
  for (int64_t j = 0; j < h; ++j) {
    for (int64_t i = 0; i < w; ++i) sum += static_cast<double>(first[j * stride + i]);
  }
  const double mean = sum / static_cast<double>(w * h);
  double ss = 0;
  for (int64_t j = 0; j < h; ++j) {
    for (int64_t i = 0; i < w; ++i) {
      const double d = static_cast<double>(first[j * stride + i]) - mean;
      ss += d * d;
    }
  }
  return ss;
}

inline bool flatWindow(const float* first, int64_t stride, int64_t w, int64_t h) {
  return spread(first, stride, w, h) <= static_cast<double>(kFlatVar);
}

inline bool flatSamples(const float* q, int64_t n) {
  const double floor = static_cast<double>(kNormFloor);
  return spread(q, n, n, 1) <= floor * floor;
}

// Rounding can carry a correlation a little past +-1, and a template whose
// residues do not quite sum to zero far past it; a score is a correlation.
// A score that is not a number stays one.
inline float bounded(float score) {
  if (score > 1.0f) return 1.0f;
  if (score < -1.0f) return -1.0f;
  return score;
}

}  // namespace
}  // namespace core::detail
