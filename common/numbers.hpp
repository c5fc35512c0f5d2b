// The number rule of the command lines: a number is accepted only whole.
#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace common {

// A command-line number: not empty, no leading blank, and the C-locale
// string-to-double conversion consumes every character. Accepts what strtod
// accepts (sign, exponent, hexadecimal floats, inf, nan); a magnitude beyond
// the double range becomes an infinity.
std::optional<double> parseNumber(std::string_view text);

// True when every value is finite: a corner at infinity or not a number
// places no rectangle.
bool allFinite(std::span<const double> values);

}  // namespace common
