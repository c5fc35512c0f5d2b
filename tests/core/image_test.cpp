// Sampling, running sums and the pyramid, read off an image whose every value
// is known. Where templates, patches and windows are sampled is held by the
// tracking tests' synthetic truth, and every kernel by its naive twin.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/tracking_core.hpp"

namespace {

using core::Img;
using core::Tpl;

// Pixel (i, j) holds i + 100 j: a bilinear read at (x, y) is x + 100 y exactly
// wherever no clamping happens, so sample points can be read off the values.
Img plane(int64_t w, int64_t h) {
  Img img{w, h, std::vector<float>(static_cast<size_t>(w * h))};
  for (int64_t j = 0; j < h; ++j) {
    for (int64_t i = 0; i < w; ++i) img.p[j * w + i] = static_cast<float>(i + 100 * j);
  }
  return img;
}

TEST(Sample, ReadsPixelCentresAndClampsShortOfTheLastPixel) {
  const Img img = plane(6, 5);
  EXPECT_EQ(core::sample(img, 3, 2), 203.0f);
  EXPECT_EQ(core::sample(img, 2.5, 1.25), 127.5f);
  // The last column is never read on its own: the point stops at w - 1.001.
  EXPECT_NEAR(core::sample(img, 5, 0), 4.999f, 1e-4);
  EXPECT_EQ(core::sample(img, -5, -5), 0.0f);
  EXPECT_EQ(core::sample(img, 16, 15), core::sample(img, 4.999, 3.999));
  // Non-finite points land on the border instead of in undefined behaviour.
  EXPECT_EQ(core::sample(img, std::nan(""), -1), 0.0f);
}

// Running sums go in index order: 2^24 (or 1e8) absorbs a one that follows
// it, so a pairwise or reversed sum gives 1 or 2 where the order gives 0.
TEST(Sums, RunInIndexOrder) {
  const std::vector<float> ones = {1.0f, 1.0f, 1.0f, 1.0f}, big = {1.0f, 1.0f, 1e8f, -1e8f};
  EXPECT_EQ(core::centred(4, 1, big).mean, 0.0f);
  EXPECT_EQ(core::corr(Tpl{4, 1, big, 0.0f, 1.0f}, Tpl{4, 1, ones, 0.0f, 1.0f}), 0.0f);
  EXPECT_EQ(core::half(Img{2, 2, {16777216.0f, 1.0f, 1.0f, -16777216.0f}}).p[0], 0.0f);
}

// Inside its region a partial pyramid has the bits of the whole one, at odd
// sizes and at regions that touch an edge; outside, the levels keep what
// they held and level 0 is never read (NaN there would spread).
TEST(Pyramid, InsideARegionTheSameBitsAsTheWholePyramid) {
  const int64_t w = 203, h = 117;
  const core::Img whole = plane(w, h);
  const std::vector<core::Img> full = core::pyramid(whole, 4);
  for (const core::Region wanted : {core::Region{50, 30, 90, 61}, core::Region{-9, -9, 20, 20},
                                    core::Region{150, 100, 400, 300}, core::Region{0, 0, w, h}}) {
    const core::Region r = core::pyramidRegion(wanted, 4, w, h);
    EXPECT_EQ(r.x0 % 8 + r.y0 % 8, 0);
    EXPECT_TRUE(r.x1 == w || r.x1 % 8 == 0);
    EXPECT_LE(r.x0, std::max<int64_t>(wanted.x0, 0));
    EXPECT_LE(r.y0, std::max<int64_t>(wanted.y0, 0));
    EXPECT_GE(r.y1, std::min(wanted.y1, h));
    std::vector<core::Img> part(4);
    part[0] = whole;
    for (int64_t j = 0; j < h; ++j) {
      for (int64_t i = 0; i < w; ++i) {
        if (i < r.x0 || i >= r.x1 || j < r.y0 || j >= r.y1) part[0].p[j * w + i] = NAN;
      }
    }
    core::pyramidInside(part, r);
    for (int l = 1; l < 4; ++l) {
      ASSERT_EQ(part[l].w, full[l].w);
      ASSERT_EQ(part[l].h, full[l].h);
      for (int64_t j = r.y0 >> l; j < std::min((r.y1 + (1 << l) - 1) >> l, full[l].h); ++j) {
        for (int64_t i = r.x0 >> l; i < std::min((r.x1 + (1 << l) - 1) >> l, full[l].w); ++i) {
          const float a = part[l].p[j * full[l].w + i], b = full[l].p[j * full[l].w + i];
          ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << l << ": " << i << ", " << j;
        }
      }
    }
  }
  EXPECT_EQ(core::pyramidRegion({300, 10, 400, 20}, 4, w, h).x1, 0) << "wholly outside: empty";
}

}  // namespace
