// Internal helpers for the conversions whose rounding is part of the contract.
#pragma once

#include <cmath>
#include <cstdint>

namespace core::detail {

// Integers that positions are converted to stay within +-2^62, so that adding
// a radius or a template size to them cannot overflow, however far off a
// position is. Positions that far away only ever meet the "outside" paths.
inline constexpr double kIntLimit = 4611686018427387904.0;  // 2^62

// Saturating double -> int64 after truncation toward zero; NaN gives 0.
inline int64_t truncToInt(double v) {
  if (!(v == v)) return 0;
  if (v >= kIntLimit) return static_cast<int64_t>(kIntLimit);
  if (v <= -kIntLimit) return -static_cast<int64_t>(kIntLimit);
  return static_cast<int64_t>(v);
}

// Nearest integer, halves away from zero, saturating like truncToInt.
inline int64_t roundToInt(double v) {
  return truncToInt(std::round(v));
}

}  // namespace core::detail
