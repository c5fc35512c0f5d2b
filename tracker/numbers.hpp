// Number rules of the command line and the saturating conversions that keep
// any finite input, however large, away from undefined behaviour.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace seguir {

// A command-line number: not empty, no leading blank, and the C-locale
// string-to-double conversion consumes every character. Accepts what strtod
// accepts (sign, exponent, hexadecimal floats, inf, nan); a magnitude beyond
// the double range becomes an infinity.
std::optional<double> parseNumber(std::string_view text);

// True when every value is finite: a corner at infinity or not a number
// places no rectangle.
bool allFinite(std::span<const double> values);

// Floor to an integer, or nothing when the value is not finite or does not fit
// in 64 bits: callers treat such a position as outside any picture.
std::optional<int64_t> floorToInt(double v);

// Truncation toward zero and rounding with halves away from zero, saturating
// at the 64-bit limits; NaN gives 0.
int64_t truncSaturate(double v);
int64_t roundSaturate(double v);

}  // namespace seguir
