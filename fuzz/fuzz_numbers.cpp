// The command-line number rule and the integer conversions that follow it,
// on any bytes. Besides the sanitizers, the rule's own promises are checked.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/numbers.hpp"
#include "core/numeric.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto v = common::parseNumber(text);
  if (!v) return 0;
  // Accepted only whole: not empty, no leading blank, no hidden terminator.
  if (text.empty() || text.find('\0') != std::string_view::npos) std::abort();
  if (text.front() == ' ' || (text.front() >= '\t' && text.front() <= '\r')) std::abort();
  const double d = *v;
  if (common::allFinite({&d, 1}) != std::isfinite(d)) std::abort();
  if (const auto f = core::floorToInt(d)) {
    // The floor, exactly: f <= d < f + 1 (from 2^52 on, every double is whole).
    const double fd = static_cast<double>(*f);
    if (!(fd <= d && (std::fabs(d) >= 0x1p52 ? fd == d : d < fd + 1))) std::abort();
  } else if (std::isfinite(d) && std::fabs(d) < 4e18) {
    std::abort();
  }
  const int64_t t = core::truncToInt(d), r = core::roundToInt(d);
  if (std::isnan(d) && (t != 0 || r != 0)) std::abort();
  if (std::fabs(d) < 4e18 &&
      (t != static_cast<int64_t>(std::trunc(d)) || r != static_cast<int64_t>(std::round(d)))) {
    std::abort();
  }
  return 0;
}
