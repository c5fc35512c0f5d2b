#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "core/steps.hpp"
#include "core/tracking_core.hpp"

namespace {

using core::Img;
using core::Tpl;
using core::detail::kAngleSpacing;
using core::detail::kAngleSteps;
using core::detail::kScaleSpacing;
using core::detail::kScaleSteps;
using core::detail::pickStep;

// A smooth, non-periodic texture: soft blobs of random size, place and
// contrast, so that every window is unlike its neighbours. Blob sizes keep
// most detail well above the pixel, as in a real scene seen through a lens.
struct Blob {
  double x, y, radius, amplitude;
};

const std::vector<Blob>& blobs() {
  static const std::vector<Blob> list = [] {
    std::vector<Blob> out;
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&state] {  // a fixed generator: the same texture everywhere
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      return static_cast<double>(state >> 11) / 9007199254740992.0;
    };
    for (int k = 0; k < 900; ++k) {
      out.push_back(
          {-100 + 700 * next(), -100 + 600 * next(), 3 + 9 * next(), (next() - 0.5) * 160});
    }
    return out;
  }();
  return list;
}

double texture(double x, double y) {
  double v = 128;
  for (const Blob& b : blobs()) {
    const double dx = x - b.x, dy = y - b.y, reach = 3 * b.radius;
    if (dx > reach || dx < -reach || dy > reach || dy < -reach) continue;
    v += b.amplitude * std::exp(-(dx * dx + dy * dy) / (2 * b.radius * b.radius));
  }
  return v;
}

// w x h pixels of the texture.
core::Img still(int64_t w, int64_t h) {
  core::Img img{w, h, std::vector<float>(static_cast<size_t>(w * h))};
  for (int64_t j = 0; j < h; ++j) {
    for (int64_t i = 0; i < w; ++i) img.p[j * w + i] = static_cast<float>(texture(i, j));
  }
  return img;
}

TEST(Peak, FindsTheVertexOfThreeScores) {
  EXPECT_EQ(core::peak(0.5f, 1.0f, 0.5f), 0.0);
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
  const core::Change turn = pickStep({0.5f, 0.9f, 1.0f, 0.8f, 0.2f}, kAngleSteps, kAngleSpacing);
  EXPECT_NEAR(turn.value, -kAngleSpacing / 6, 1e-8);
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
  const Img image = still(160, 120);
  const Tpl t = core::templ(image, 80.5, 60.5, 20, 16);  // whole-pixel sample points
  const core::Found f = core::search(image, t, 80.5, 60.5, 0);
  EXPECT_EQ(f.x, 80.5);
  EXPECT_EQ(f.y, 60.5);
  EXPECT_NEAR(f.score, 1.0f, 1e-4);
  // A prediction whose first sample lies exactly between two pixels rounds
  // away from zero: x - w/2 + 0.5 = 45.5 places the window at 46.
  const core::Found half = core::search(image, t, 55.0, 60.5, 0);
  EXPECT_EQ(half.x, 55.5);
  // ... and -0.5 places it at -1, outside the image: no score, no offset.
  const core::Found outside = core::search(image, t, 9.0, 60.5, 0);
  EXPECT_EQ(outside.x, 8.5);
  EXPECT_EQ(outside.score, -1.0f);
  // A best on the grid's edge gets no offset along that axis. The true place is 5 pixels right of
  // the prediction, beyond radius 3: the best placement is dx = +3, on the edge, so x stays whole.
  EXPECT_EQ(core::search(image, t, 75.5, 60.5, 3).x, 78.5);
}

TEST(Search, EqualScoresKeepTheFirstInRowOrder) {
  // A pattern repeating every 5 columns and 4 rows gives bit-identical
  // windows, hence exactly equal scores, 5 columns and 4 rows apart.
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> value(0, 255);
  float tile[4][5];
  for (auto& row : tile)
    for (auto& v : row) v = value(rng);
  Img img{60, 40, std::vector<float>(2400)};
  for (int64_t j = 0; j < 40; ++j)
    for (int64_t i = 0; i < 60; ++i) img.p[j * 60 + i] = tile[j % 4][i % 5];
  const Tpl t = core::templ(img, 30.5, 20.5, 10, 8);
  const core::Found f = core::search(img, t, 30.5, 20.5, 5);
  // Candidates scoring 1: dy in {-4, 0, 4}, dx in {-5, 0, 5}; the first is (-5, -4).
  EXPECT_NEAR(f.x, 25.5, 0.5);
  EXPECT_NEAR(f.y, 16.5, 0.5);
}

// Regions without contrast: single-precision sums over a flat region of a
// value that is not a whole number leave rounding noise where the variance
// or the residues should be zero, and that noise used to be scored.
bool sameBits(float a, float b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

Img flat(int64_t w, int64_t h, float v) {
  return Img{w, h, std::vector<float>(static_cast<size_t>(w * h), v)};
}

const Img& scene() {
  static const Img img = still(172, 172);
  return img;
}

TEST(Flatness, FlatWindowsHaveNoScoreAndFlatTemplatesScoreZero) {
  const int64_t sizes[][2] = {{8, 8}, {13, 9}, {40, 40}, {100, 61}, {160, 160}, {8, 160}, {160, 8}};
  for (const auto& [tw, th] : sizes) {
    const double cx = 6 + tw / 2.0, cy = 6 + th / 2.0;  // whole-pixel samples from (6, 6)
    const Tpl textured = core::templ(scene(), cx, cy, tw, th);
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
      EXPECT_EQ(core::ncc(scene(), plain, 6, 6), 0.0f);
      // Resampled candidates, centred eight at a time.
      EXPECT_EQ(core::bestScale(field, textured, cx, cy, 1.0, 0.0).score, 0.0f);
      EXPECT_EQ(core::refine(scene(), plain, cx, cy, 1.0, 1, 0.2).score, 0.0f);
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
