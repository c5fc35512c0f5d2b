// Conversions from positions and sizes (doubles) to integers, whose rounding
// is part of the contract. Every program converts through these.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

namespace core {

// Integers that positions are converted to stay within +-2^62, so that adding
// a radius, a template size or a frame size to them cannot overflow, however
// far off a position is. Positions that far away only ever meet the "outside"
// paths, and no video or picture comes near the limit.
inline constexpr double kIntLimit = 4611686018427387904.0;  // 2^62

// Truncation toward zero, saturating at +-2^62; NaN gives 0.
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

// The floor, or nothing when the value is not finite or lies beyond the
// limit: callers treat such a position as outside any picture.
inline std::optional<int64_t> floorToInt(double v) {
  const double f = std::floor(v);
  if (!(f > -kIntLimit && f < kIntLimit)) return std::nullopt;
  return static_cast<int64_t>(f);
}

}  // namespace core
