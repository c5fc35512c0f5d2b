// Regions without contrast: single-precision sums over a flat region of a
// value that is not a whole number leave rounding noise where the variance
// or the residues should be zero, and that noise used to be scored.
#include <gtest/gtest.h>

#include <cstring>

#include "core/tracking_core.hpp"
#include "synthetic.hpp"

namespace {

using core::Img;
using core::Tpl;

bool sameBits(float a, float b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

Img flat(int64_t w, int64_t h, float v) {
  return Img{w, h, std::vector<float>(static_cast<size_t>(w * h), v)};
}

const Img& texture() {
  static const Img img = synthetic::still(172, 172);
  return img;
}

TEST(Flatness, FlatWindowsHaveNoScoreAndFlatTemplatesScoreZero) {
  const int64_t sizes[][2] = {{8, 8}, {13, 9}, {40, 40}, {100, 61}, {160, 160}, {8, 160}, {160, 8}};
  for (const auto& [tw, th] : sizes) {
    const double cx = 6 + tw / 2.0, cy = 6 + th / 2.0;  // whole-pixel samples from (6, 6)
    const Tpl textured = core::templ(texture(), cx, cy, tw, th);
    for (float v :
         {0.0f, 0.37f, 1.0f, 51.73f, 102.0f, 127.5f, 153.37f, 204.73f, 221.37f, 254.63f, 255.0f}) {
      SCOPED_TRACE(testing::Message() << tw << "x" << th << " of " << v);
      // Wide enough for the search to score windows eight at a time.
      const Img field = flat(tw + 12, th + 12, v);
      EXPECT_EQ(core::ncc(field, textured, 6, 6), -1.0f);
      EXPECT_EQ(core::search(field, textured, cx, cy, 2).score, -1.0f);
      const Tpl plain = core::templ(field, cx, cy, tw, th);
      for (float p : plain.p) ASSERT_EQ(p, 0.0f);
      EXPECT_EQ(plain.norm, 0.001f);
      EXPECT_NEAR(plain.mean, v, 0.5f);  // a running mean over up to 25,600 samples
      EXPECT_EQ(core::corr(plain, textured), 0.0f);
      EXPECT_EQ(core::corr(textured, plain), 0.0f);
      EXPECT_EQ(core::ncc(texture(), plain, 6, 6), 0.0f);
      // Resampled candidates, centred eight at a time.
      EXPECT_EQ(core::bestScale(field, textured, cx, cy, 1.0, 0.0).score, 0.0f);
      EXPECT_EQ(core::refine(texture(), plain, cx, cy, 1.0, 1, 0.2).score, 0.0f);
    }
  }
}

// Pixels one grey level above or below `level`, at random.
Img speckle(int64_t w, int64_t h, float level) {
  Img img{w, h, std::vector<float>(static_cast<size_t>(w * h))};
  uint32_t state = 12345;
  for (auto& v : img.p) {
    state = state * 1664525u + 1013904223u;
    v = level + ((state >> 31) ? 1.0f : -1.0f);
  }
  return img;
}

float bounded(float s) {
  return s > 1 ? 1.0f : s < -1 ? -1.0f : s;
}

// The least contrast there is in 8-bit video: its scores are the bits the
// formula gave before flatness was judged (recorded then), except that a
// score beyond +-1 is a correlation no more. Rounding is not flatness: at
// 160 x 160 on a bright level every window lies within the rounding bound
// and must still be scored.
TEST(Flatness, OneGreyLevelOfContrastKeepsItsScores) {
  struct Case {
    float level;
    int64_t side;
    float own, shifted, scaled;
  };
  const Case before[] = {
      {1.5f, 8, 0x1p+0f, -0x1.78ebaep-4f, 0x1p+0f},
      {1.5f, 40, 0x1.fffef6p-1f, -0x1.051fd6p-4f, 0x1.fffffep-1f},
      {1.5f, 160, 0x1.00085ap+0f, -0x1.6447dap-7f, 0x1p+0f},
      {127.3f, 8, 0x1.00dc1cp+0f, -0x1.4aa06ep-4f, 0x1.000002p+0f},
      {127.3f, 40, 0x1.07fe24p+0f, 0x1.37c5ecp-3f, 0x1p+0f},
      {127.3f, 160, 0x1.25dcb6p+1f, 0x1.d3b446p+0f, 0x1.fffffep-1f},
      {250.6f, 8, 0x1.0056d6p+0f, -0x1.893b14p-5f, 0x1p+0f},
      {250.6f, 40, 0x1.f9f90ep-1f, 0x1.cf6042p-2f, 0x1.000002p+0f},
      {250.6f, 160, 0x1.46c906p+1f, 0x1.32ac14p+1f, 0x1p+0f},
  };
  for (const Case& c : before) {
    SCOPED_TRACE(testing::Message() << c.side << " around " << c.level);
    const Img img = speckle(c.side + 12, c.side + 10, c.level);
    const double cx = 5.5 + c.side / 2.0, cy = 4.5 + c.side / 2.0;  // first sample on (6, 5)
    const Tpl t = core::templ(img, cx, cy, c.side, c.side);
    EXPECT_TRUE(sameBits(core::ncc(img, t, 6, 5), bounded(c.own)));
    EXPECT_TRUE(sameBits(core::ncc(img, t, 7, 5), bounded(c.shifted)));
    EXPECT_TRUE(sameBits(core::bestScale(img, t, cx, cy, 1.0, 0.0).score, bounded(c.scaled)));
  }
}

}  // namespace
