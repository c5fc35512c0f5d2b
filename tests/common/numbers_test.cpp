// The number rule of the command lines. What strtod accepts is strtod's own
// business; ours is that the conversion must take the whole text.
#include <gtest/gtest.h>

#include <string_view>

#include "common/numbers.hpp"

namespace common {
namespace {

TEST(Numbers, OnlyTextConsumedWholeIsANumber) {
  EXPECT_EQ(parseNumber("-0.25"), -0.25);
  // strtod would skip the leading blanks and stop before the trailing text.
  for (const char* bad : {"", " 2", "\t2", "2 ", "2s", "1,5", "abc", "-", "."}) {
    EXPECT_FALSE(parseNumber(bad)) << '"' << bad << '"';
  }
  // An embedded NUL would end the text early for strtod: "2" with "1" hidden.
  EXPECT_FALSE(parseNumber(std::string_view("2\0001", 3)));
}

}  // namespace
}  // namespace common
