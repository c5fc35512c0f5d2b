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

// A ramp with a little texture: pixel (i, j) holds 3 i + 100 j + (i j mod 7).
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

// Inside its region a partial pyramid has the bits of the whole one, at odd
// sizes and at regions that touch an edge; outside, the levels keep what
// they held and level 0 is never read (NaN there would spread).
TEST(Pyramid, InsideARegionTheSameBitsAsTheWholePyramid) {
  const int64_t w = 203, h = 117;
  const core::Img whole = ramp(w, h);
  const std::vector<core::Img> full = core::pyramid(whole, 4);
  for (const core::Region wanted : {core::Region{50, 30, 90, 61}, core::Region{-9, -9, 20, 20},
                                    core::Region{150, 100, 400, 300}, core::Region{0, 0, w, h}}) {
    const core::Region r = core::pyramidRegion(wanted, 4, w, h);
    EXPECT_EQ(r.x0 % 8 + r.y0 % 8, 0);
    EXPECT_TRUE(r.x1 == w || r.x1 % 8 == 0);
    EXPECT_LE(r.x0, std::max<int64_t>(wanted.x0, 0));
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

// A flat template's zero samples and floored norm are held by the flatness tests.
TEST(Centring, TheMeanIsARunningSumInIndexOrder) {
  // 1 + 1 vanishes against 1e8.
  EXPECT_EQ(core::centred(4, 1, {1.0f, 1.0f, 1e8f, -1e8f}).mean, 0.0f);
}

TEST(Templ, SamplesPixelCentresOfTheBlock) {
  const Img img = plane(30, 30);
  // Centre 10.5 with 4 samples: points 9, 10, 11, 12, the pixels themselves.
  const Tpl t = core::templ(img, 10.5, 10.5, 4, 4);
  EXPECT_EQ(raw(t)[0], 9 + 900);
  EXPECT_EQ(raw(t)[3], 12 + 900);
  EXPECT_EQ(raw(t)[15], 12 + 1200);
  // Centre 10 with 4 samples: points 8.5 ... 11.5, between pixels.
  const Tpl between = core::templ(img, 10, 10, 4, 4);
  EXPECT_EQ(raw(between)[0], 8.5 + 850);
  EXPECT_EQ(raw(between)[15], 11.5 + 1150);
  // Odd size: points 8 ... 12.
  const Tpl odd = core::templ(img, 10, 10, 5, 5);
  EXPECT_EQ(raw(odd)[0], 8 + 800);
  EXPECT_EQ(raw(odd)[24], 12 + 1200);
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
  Img img = plane(20, 20);
  for (size_t k = 0; k < img.p.size(); ++k) img.p[k] += static_cast<float>((k * 7919) % 13);
  const Tpl t = core::templ(img, 8.5, 9.5, 6, 4);  // first sample on pixel (6, 8)
  EXPECT_NEAR(core::ncc(img, t, 6, 8), 1.0f, 1e-5);
  EXPECT_GT(core::ncc(img, t, 14, 8), -1.0f);  // left = w - tw: still inside
  EXPECT_EQ(core::ncc(img, t, 15, 8), -1.0f);  // one more: leaves the image
  EXPECT_EQ(core::ncc(img, t, -1, 8), -1.0f);
  EXPECT_EQ(core::ncc(img, t, 6, 17), -1.0f);
}

TEST(Corr, IsOneForItselfZeroForFlatAndSumsInIndexOrder) {
  Img img = plane(20, 20);
  img.p[45] += 50;
  const Tpl t = core::templ(img, 6, 6, 8, 8);
  EXPECT_NEAR(core::corr(t, t), 1.0f, 1e-6);
  const Tpl flat = core::templ(Img{8, 8, std::vector<float>(64, 3.0f)}, 4, 4, 4, 4);
  EXPECT_EQ(core::corr(flat, flat), 0.0f);
  // 1 + 1 vanishes against 1e8 only when the products are added in order.
  const Tpl a{4, 1, {1.0f, 1.0f, 1e8f, -1e8f}, 0.0f, 1.0f};
  const Tpl ones{4, 1, {1.0f, 1.0f, 1.0f, 1.0f}, 0.0f, 1.0f};
  EXPECT_EQ(core::corr(a, ones), 0.0f);
}

}  // namespace
