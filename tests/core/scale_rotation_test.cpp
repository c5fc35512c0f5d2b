#include <gtest/gtest.h>

#include <cmath>

#include "core/steps.hpp"
#include "core/tracking_core.hpp"
#include "synthetic.hpp"

namespace {

using core::detail::kAngleSpacing;
using core::detail::kAngleSteps;
using core::detail::kScaleSpacing;
using core::detail::kScaleSteps;
using core::detail::pickStep;

constexpr double kDegree = M_PI / 180;

TEST(PickStep, InterpolatesInsideAndStopsAtTheEnds) {
  const core::Change mid = pickStep({0.5f, 0.9f, 1.0f, 0.8f, 0.2f}, kScaleSteps, kScaleSpacing);
  EXPECT_NEAR(mid.value, 0.9975, 1e-7);
  EXPECT_EQ(mid.score, 1.0f);
  const core::Change turn = pickStep({0.5f, 0.9f, 1.0f, 0.8f, 0.2f}, kAngleSteps, kAngleSpacing);
  EXPECT_NEAR(turn.value, -0.017453292519943295 / 6, 1e-8);
  EXPECT_EQ(pickStep({0.1f, 0.2f, 0.3f, 0.4f, 0.5f}, kScaleSteps, kScaleSpacing).value, 1.03);
  EXPECT_EQ(pickStep({0.5f, 0.4f, 0.3f, 0.2f, 0.1f}, kAngleSteps, kAngleSpacing).value,
            -0.03490658503988659);
  // Equal maxima at 1 and 3: the first wins.
  const core::Change tie = pickStep({0.1f, 0.9f, 0.5f, 0.9f, 0.1f}, kScaleSteps, kScaleSpacing);
  EXPECT_EQ(tie.score, 0.9f);
  EXPECT_LT(tie.value, 1.0);
}

class Motion : public ::testing::Test {
 protected:
  static constexpr double cx = 100.3, cy = 80.6;
  core::Img first = synthetic::still(200, 160);
  core::Tpl ref = core::patch(first, cx, cy, 48, 40, 1.0);
};

TEST_F(Motion, AnUnchangedRegionKeepsItsScaleAndAngle) {
  const core::Change s = core::bestScale(first, ref, cx, cy, 1.0, 0.0);
  EXPECT_NEAR(s.value, 1.0, 0.0075);
  EXPECT_NEAR(s.score, 1.0f, 1e-4);
  EXPECT_NEAR(core::bestRot(first, ref, cx, cy, 1.0, 0.0).value, 0.0, 0.5 * kDegree);
}

TEST_F(Motion, RecoversATwoPercentGrowthAndATurnOfOneAndAHalfDegrees) {
  for (double s : {1.02, 0.98}) {
    const core::Img grown = synthetic::moved(200, 160, cx, cy, 0, 0, s, 0);
    EXPECT_NEAR(core::bestScale(grown, ref, cx, cy, 1.0, 0.0).value, s, 0.004);
  }
  // (Not -1.5: halfway between two steps the outer one may win, and an end
  // step is returned as it is.)
  for (double a : {1.5 * kDegree, -1.2 * kDegree}) {
    const core::Img turned = synthetic::moved(200, 160, cx, cy, 0, 0, 1, a);
    EXPECT_NEAR(core::bestRot(turned, ref, cx, cy, 1.0, 0.0).value, a, 0.25 * kDegree);
  }
}

TEST_F(Motion, RefineRecoversASubPixelShift) {
  // Parabolas through whole-pixel scores carry a small bias of their own.
  const core::Img shifted = synthetic::moved(200, 160, cx, cy, 0.3, -0.2, 1, 0);
  const core::Found f = core::refine(shifted, ref, cx, cy, 1.0, 1, 0.0);
  EXPECT_NEAR(f.x, cx + 0.3, 0.15);
  EXPECT_NEAR(f.y, cy - 0.2, 0.15);
  EXPECT_GT(f.score, 0.99f);
}

TEST_F(Motion, RefineKeepsTheFractionAndStopsAtTheGridEdge) {
  // Radius 0: one candidate, no offsets, the centre's fraction untouched.
  const core::Found still = core::refine(first, ref, 10.25, cy, 1.0, 0, 0.0);
  EXPECT_EQ(still.x, 10.25);
  EXPECT_EQ(still.y, cy);
  EXPECT_EQ(still.score, core::corr(ref, core::patch(first, 10.25, cy, 48, 40, 1.0)));
  // Far off to the lower left, the best shift is the corner (+1, -1)... and a
  // corner has no neighbour on either axis to interpolate with.
  const core::Found corner = core::refine(first, ref, cx - 4, cy + 4, 1.0, 1, 0.0);
  EXPECT_EQ(corner.x, cx - 3);
  EXPECT_EQ(corner.y, cy + 3);
}

}  // namespace
