// Sampling, the pyramid, templates and scores, read off an image whose every
// value is known.
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

// The raw values back from a template (mean added back), rounded to quarters.
std::vector<double> raw(const Tpl& t) {
  std::vector<double> q;
  for (float v : t.p) q.push_back(std::round((v + t.mean) * 4) / 4);
  return q;
}

TEST(Templ, SamplesPixelCentresOfTheBlock) {
  const Img img = plane(30, 30);
  // Centre 10.5 with 4 samples: points 9, 10, 11, 12, the pixels themselves.
  const Tpl t = core::templ(img, 10.5, 10.5, 4, 4);
  EXPECT_EQ(raw(t)[0], 9 + 900);
  EXPECT_EQ(raw(t)[3], 12 + 900);
  EXPECT_EQ(raw(t)[15], 12 + 1200);
  // Centre 10 with 4 samples: points 8.5 ... 11.5, between pixels.
  EXPECT_EQ(raw(core::templ(img, 10, 10, 4, 4))[0], 8.5 + 850);
  // Odd size: points 8 ... 12.
  EXPECT_EQ(raw(core::templ(img, 10, 10, 5, 5))[24], 12 + 1200);
}

TEST(Patch, ScalesAndTurnsItsGrid) {
  const Img img = plane(60, 60);
  // A quarter turn: sample (u, v) lies at (x - v, y + u).
  const Tpl turned = core::patch(img, 30, 30, 3, 3, 1.0, M_PI / 2);
  EXPECT_NEAR(raw(turned)[0], (30 + 1) + 100 * (30 - 1), 1e-3);  // u = v = -1
  EXPECT_NEAR(raw(turned)[2], (30 + 1) + 100 * (30 + 1), 1e-3);  // u = 1, v = -1
  // Scale 2: the same samples spread twice as far.
  const Tpl wide = core::patch(img, 30, 30, 3, 3, 2.0);
  EXPECT_EQ(raw(wide)[0], 28 + 2800);
  EXPECT_EQ(raw(wide)[8], 32 + 3200);
  // Scale 1, no turn: the same points as templ.
  EXPECT_EQ(raw(core::patch(img, 10.5, 10.5, 4, 4, 1.0)), raw(core::templ(img, 10.5, 10.5, 4, 4)));
}

TEST(Ncc, ScoresItsOwnWindowOneAndWindowsOutsideMinusOne) {
  const Img img = plane(20, 20);
  const Tpl t = core::templ(img, 8.5, 9.5, 6, 4);  // first sample on pixel (6, 8)
  EXPECT_NEAR(core::ncc(img, t, 6, 8), 1.0f, 1e-5);
  EXPECT_GT(core::ncc(img, t, 14, 8), -1.0f);  // left = w - tw: still inside
  EXPECT_EQ(core::ncc(img, t, 15, 8), -1.0f);  // one more: leaves the image
  EXPECT_EQ(core::ncc(img, t, -1, 8), -1.0f);
  EXPECT_EQ(core::ncc(img, t, 6, 17), -1.0f);
}

}  // namespace
