#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/steps.hpp"
#include "core/tracking_core.hpp"
#include "synthetic.hpp"

namespace {

using core::Img;
using core::Tpl;
using core::detail::kAngleSpacing;
using core::detail::kAngleSteps;
using core::detail::kScaleSpacing;
using core::detail::kScaleSteps;
using core::detail::pickStep;

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
  const Img image = synthetic::still(160, 120);
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

}  // namespace
