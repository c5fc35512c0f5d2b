#include <gtest/gtest.h>
#include <cmath>
#include <cstring>

#include "core/tracking_core.hpp"

namespace {

using core::Img;

Img ramp(int64_t w, int64_t h) {
  Img img{w, h, std::vector<float>(static_cast<size_t>(w * h))};
  for (int64_t j = 0; j < h; ++j) {
    for (int64_t i = 0; i < w; ++i)
      img.p[j * w + i] = static_cast<float>(i * 3 + j * 100 + (i * j) % 7);
  }
  return img;
}

TEST(Sample, ReadsPixelCentresAndClampsShortOfTheLastPixel) {
  const Img img = ramp(6, 5);
  for (int64_t j = 0; j <= 3; ++j) {
    for (int64_t i = 0; i <= 4; ++i) EXPECT_EQ(core::sample(img, i, j), img.p[j * 6 + i]);
  }
  // Clamped to the border short of the last pixel. The last column is never read on its own: the
  // point stops at w - 1.001, a blend of 0.001 of column 4 (12) and 0.999 of column 5 (15).
  EXPECT_NEAR(core::sample(img, 5, 0), 14.997f, 1e-4);
  EXPECT_EQ(core::sample(img, -5, -5), img.p[0]);
  EXPECT_EQ(core::sample(img, 16, 15), core::sample(img, 4.999, 3.999));
  // Non-finite points land on the border instead of in undefined behaviour.
  EXPECT_EQ(core::sample(img, std::nan(""), -1), img.p[0]);
}

TEST(Half, AveragesBlocksRowByRowAndDropsOddEdges) {
  const Img img = ramp(5, 3);
  const Img h = core::half(img);
  ASSERT_EQ(h.w, 2);
  ASSERT_EQ(h.h, 1);
  EXPECT_EQ(h.p[0], 51.75f);  // pixels 0, 3, 100 and 104
  const Img thin = core::half(ramp(1, 8));
  EXPECT_EQ(thin.w, 0);
  EXPECT_EQ(thin.h, 4);
  EXPECT_TRUE(thin.p.empty());
  // Row by row: in this order 2^24 absorbs both ones and the block sums to 0; a pairwise
  // or reversed sum would give 1 or 2.
  EXPECT_EQ(core::half(Img{2, 2, {16777216.0f, 1.0f, 1.0f, -16777216.0f}}).p[0], 0.0f);
}

}  // namespace
