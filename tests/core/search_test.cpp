// The scalar core read off images whose values are known: sampling, running
// sums, peaks and steps, the search grid and flatness. Where templates,
// patches and windows are sampled is held by the tracking tests' synthetic
// truth, every kernel by its naive twin, and the partial pyramid by the
// tracking loop's runs on frames blank outside their region.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>

#include "core/steps.hpp"
#include "core/tracking_core.hpp"
#include "support/scene.hpp"

namespace {

using core::Img;
using core::Tpl;
using core::detail::kAngleSpacing;
using core::detail::kAngleSteps;
using core::detail::kScaleSpacing;
using core::detail::kScaleSteps;
using core::detail::pickStep;

// The tracking tests' patch, textured in both directions, over their
// background: 320 x 240, the patch's 64 pixels centred on (160, 120).
const Img kScene = support::renderImg({160, 120, 1, 0}, true, false);

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

TEST(Peak, FindsTheVertexOfThreeScores) {
  EXPECT_NEAR(core::peak(0.9f, 1.0f, 0.5f), -1.0 / 3, 1e-6);  // towards the higher side
  EXPECT_NEAR(core::peak(1.0f, 1.0f, 0.2f), -0.5, 1e-6);      // tie with the left neighbour
  EXPECT_EQ(core::peak(0.7f, 0.7f, 0.7f), 0.0);               // plateau: d = 0
  EXPECT_EQ(core::peak(0.9f, 0.1f, 0.9f), 0.0);               // opens upward
  EXPECT_EQ(core::peak(std::nanf(""), 1.0f, 0.5f), 0.0);
  EXPECT_EQ(core::peak(0.5f, 0.1f, -0.5f), -1.0);  // limited to [-1, 1]
}

TEST(PickStep, InterpolatesInsideAndStopsAtTheEnds) {
  const core::Change mid = pickStep({0.5f, 0.9f, 1.0f, 0.8f, 0.2f}, kScaleSteps, kScaleSpacing);
  EXPECT_NEAR(mid.value, 0.9975, 1e-7);
  EXPECT_EQ(mid.score, 1.0f);
  EXPECT_EQ(pickStep({0.1f, 0.2f, 0.3f, 0.4f, 0.5f}, kScaleSteps, kScaleSpacing).value,
            kScaleSteps[4]);
  EXPECT_EQ(pickStep({0.5f, 0.4f, 0.3f, 0.2f, 0.1f}, kAngleSteps, kAngleSpacing).value,
            kAngleSteps[0]);
  // Equal maxima at 1 and 3: the first wins.
  const core::Change tie = pickStep({0.1f, 0.9f, 0.5f, 0.9f, 0.1f}, kScaleSteps, kScaleSpacing);
  EXPECT_EQ(tie.score, 0.9f);
  EXPECT_LT(tie.value, 1.0);
}

TEST(Search, OffsetsOnlyInsideTheGrid) {
  const Tpl t = core::templ(kScene, 160.5, 120.5, 20, 16);  // whole-pixel sample points
  // A prediction whose first sample lies exactly between two pixels rounds
  // away from zero: x - w/2 + 0.5 = 125.5 places the window at 126.
  EXPECT_EQ(core::search(kScene, t, 135.0, 120.5, 0).x, 135.5);
  // ... and -0.5 places it at -1, outside the image: no score, no offset.
  const core::Found outside = core::search(kScene, t, 9.0, 120.5, 0);
  EXPECT_EQ(outside.x, 8.5);
  EXPECT_EQ(outside.score, -1.0f);
  // A best on the grid's edge gets no offset along that axis. The true place is 5 pixels right of
  // the prediction, beyond radius 3: the best placement is dx = +3, on the edge, so x stays whole.
  EXPECT_EQ(core::search(kScene, t, 155.5, 120.5, 3).x, 158.5);
}

// Regions without contrast: single-precision sums over a flat region of a
// value that is not a whole number leave rounding noise where the variance
// or the residues should be zero, and that noise used to be scored.
TEST(Flatness, FlatWindowsHaveNoScoreAndFlatTemplatesScoreZero) {
  const int64_t sizes[][2] = {{8, 8}, {13, 9}, {40, 40}, {100, 61}, {160, 160}, {8, 160}, {160, 8}};
  for (const auto& [tw, th] : sizes) {
    const double cx = 6 + tw / 2.0, cy = 6 + th / 2.0;  // whole-pixel samples from (6, 6)
    const Tpl textured = core::templ(kScene, cx, cy, tw, th);
    for (float v :
         {0.0f, 0.37f, 1.0f, 51.73f, 102.0f, 127.5f, 153.37f, 204.73f, 221.37f, 254.63f, 255.0f}) {
      SCOPED_TRACE(testing::Message() << tw << "x" << th << " of " << v);
      // Wide enough for the search to score windows eight at a time.
      const Img field{tw + 12, th + 12,
                      std::vector<float>(static_cast<size_t>((tw + 12) * (th + 12)), v)};
      EXPECT_EQ(core::ncc(field, textured, 6, 6), -1.0f);
      EXPECT_EQ(core::search(field, textured, cx, cy, 2).score, -1.0f);
      const Tpl plain = core::templ(field, cx, cy, tw, th);
      for (float p : plain.p) ASSERT_EQ(p, 0.0f);
      EXPECT_EQ(plain.norm, 0.001f);
      EXPECT_NEAR(plain.mean, v, 0.5f);  // a running mean over up to 25,600 samples
      EXPECT_EQ(core::corr(textured, plain), 0.0f);
      EXPECT_EQ(core::ncc(kScene, plain, 6, 6), 0.0f);
      // Resampled candidates, centred eight at a time.
      EXPECT_EQ(core::bestScale(field, textured, cx, cy, 1.0, 0.0).score, 0.0f);
      EXPECT_EQ(core::refine(kScene, plain, cx, cy, 1.0, 1, 0.2).score, 0.0f);
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
    const auto bits = [](float s) { return std::bit_cast<uint32_t>(s); };
    const auto bounded = [&](float s) { return bits(std::clamp(s, -1.0f, 1.0f)); };
    EXPECT_EQ(bits(core::ncc(img, t, 6, 5)), bounded(c.own));
    EXPECT_EQ(bits(core::ncc(img, t, 7, 5)), bounded(c.shifted));
    EXPECT_EQ(bits(core::bestScale(img, t, cx, cy, 1.0, 0.0).score), bounded(c.scaled));
  }
}

}  // namespace
