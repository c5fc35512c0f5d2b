#include "common/numbers.hpp"

#include <locale.h>

#include <cmath>
#include <cstdlib>
#include <string>

namespace common {

namespace {

locale_t cLocale() {
  // Created once and never freed: the C locale must outlive every parse, and
  // the user's locale must not turn "0.5" into a non-number.
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

}  // namespace

std::optional<double> parseNumber(std::string_view text) {
  if (text.empty()) return std::nullopt;
  switch (text.front()) {
    case ' ':
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
      return std::nullopt;
    default:
      break;
  }
  // A copy, so that the conversion sees a terminator right after the text and
  // an embedded NUL cannot hide trailing characters.
  const std::string copy(text);
  if (copy.find('\0') != std::string::npos) return std::nullopt;
  char* end = nullptr;
  const double v = strtod_l(copy.c_str(), &end, cLocale());
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  return v;
}

bool allFinite(std::span<const double> values) {
  for (double v : values) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

}  // namespace common
