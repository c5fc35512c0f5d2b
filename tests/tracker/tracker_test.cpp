// The tracking loop on frames drawn in memory: no encoder between the truth
// and the tracker, so positions are held to a tighter tolerance than in the
// end-to-end tests.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "support/scene.hpp"
#include "tracker/tracking_loop.hpp"

namespace seguir {
namespace {

using support::kH;
using support::kSide;
using support::kW;
using support::Pose;
using support::renderImg;

struct Outcome {
  std::vector<Record> records;
  std::optional<double> lostAt;
  size_t read = 0;  // frames handed to the tracker before it stopped
};

// Frame k at time 0.1 k, the box drawn around the first pose.
Outcome follow(const std::vector<core::Img>& frames, const Pose& first) {
  const double h = kSide / 2;
  Tracker tracker(
      kW, kH, Box{(first.x - h) / kW, (first.y - h) / kH, (first.x + h) / kW, (first.y + h) / kH});
  Outcome o;
  core::Img spare;
  while (o.read < frames.size()) {
    const bool going = tracker.add(0.1 * static_cast<double>(o.read), frames[o.read], spare);
    ++o.read;
    if (!going) break;
  }
  o.records = tracker.records();
  o.lostAt = tracker.lostAt();
  return o;
}

// Independent noise of +-amplitude on every sample: the region stays where it
// is, but no template matches it well (scores below 0.4 at +-180).
core::Img noisy(core::Img img, float amplitude, uint32_t seed) {
  for (float& v : img.p) {
    seed = seed * 1664525u + 1013904223u;
    const float u = static_cast<float>(seed >> 8) / static_cast<float>(1u << 24);
    v = std::clamp(v + amplitude * (2 * u - 1), 0.0f, 255.0f);
  }
  return img;
}

TEST(Tracker, FollowsASteadyDriftWithTurnAndGrowth) {
  std::vector<Pose> poses;
  std::vector<core::Img> frames;
  for (int k = 0; k < 24; ++k) {
    poses.push_back({110 + 2.3 * k, 130 - 1.1 * k, std::pow(1.006, k), 0.6 * k});
    frames.push_back(renderImg(poses.back(), true, false));
  }
  const Outcome o = follow(frames, poses[0]);
  EXPECT_FALSE(o.lostAt);
  ASSERT_EQ(o.records.size(), poses.size());
  for (size_t k = 0; k < poses.size(); ++k) {
    const Record& r = o.records[k];
    // Centre within a fifth of a pixel, scale within 0.3 %, angle within 0.1 degree.
    EXPECT_NEAR(r.x * kW, poses[k].x, 0.2) << k;
    EXPECT_NEAR(r.y * kH, poses[k].y, 0.2) << k;
    EXPECT_NEAR(r.s / poses[k].s, 1.0, 0.003) << k;
    EXPECT_NEAR(r.r, poses[k].deg, 0.1) << k;
    EXPECT_GE(r.c, 0.99) << k;
  }
}

// The region's texture turns into another one over frames 0 to 8; from then
// on it no longer looks like the first frame, and the turn is followed from
// frame to frame alone. The change itself costs some accuracy, so the
// rotation is checked from frame 8 on.
TEST(Tracker, FollowsATurnOnceTheFirstAppearanceIsGone) {
  std::vector<Pose> poses;
  std::vector<core::Img> frames;
  for (int k = 0; k < 24; ++k) {
    poses.push_back({150 + 1.2 * k, 120 + 0.8 * k, 1, 1.0 * k});
    frames.push_back(renderImg(poses.back(), true, false, std::min(1.0, k / 8.0)));
  }
  const Outcome o = follow(frames, poses[0]);
  ASSERT_EQ(o.records.size(), poses.size());
  for (size_t k = 8; k < poses.size(); ++k) {
    const Record& r = o.records[k];
    EXPECT_NEAR(r.r - o.records[8].r, poses[k].deg - poses[8].deg, 0.5) << k;
    EXPECT_NEAR(r.x * kW, poses[k].x, 2.5) << k;
    EXPECT_NEAR(r.y * kH, poses[k].y, 2.5) << k;
    EXPECT_GE(r.c, 0.9) << k;
  }
}

// Weak frames 4, 5, 7 and 8 around a strong frame 6 are tracked and
// recorded, and the first frame's template pulls the region back after the
// noise; frames 10, 11 and 12 are three weak frames in a row, and 12 is the
// loss, after which nothing more is read.
TEST(Tracker, IsLostAtTheThirdWeakFrameInARow) {
  const std::vector<bool> weak = {false, false, false, false, true, true, false,
                                  true,  true,  false, true,  true, true, false};
  std::vector<Pose> poses;
  std::vector<core::Img> frames;
  for (size_t k = 0; k < weak.size(); ++k) {
    poses.push_back({120 + 2.0 * static_cast<double>(k), 110, 1, 0});
    core::Img img = renderImg(poses.back(), true, false);
    frames.push_back(weak[k] ? noisy(std::move(img), 180, static_cast<uint32_t>(k)) : img);
  }
  const Outcome o = follow(frames, poses[0]);
  ASSERT_TRUE(o.lostAt);
  EXPECT_DOUBLE_EQ(*o.lostAt, 1.2);
  EXPECT_EQ(o.read, 13u);
  ASSERT_EQ(o.records.size(), 12u);
  for (size_t k = 0; k < o.records.size(); ++k) {
    EXPECT_EQ(o.records[k].c < 0.5, weak[k]) << k;
    if (k < 10) {
      EXPECT_NEAR(o.records[k].x * kW, poses[k].x, weak[k] ? 1.5 : 0.5) << k;
    }
  }
}

// Two trackers of one box: one builds whole pyramids, the other is given
// frames blank (NaN) outside the region it asks for and builds only that
// region's pyramid. A read beyond the region would spread the NaN or take a
// sample never made, so the records must be the same to the bit. Returns
// the largest share of a frame that a region after the first took.
double largestRegionShare(const std::vector<core::Img>& frames, const Box& box) {
  const int64_t w = frames[0].w, h = frames[0].h;
  Tracker whole(w, h, box), partial(w, h, box);
  whole.buildWholePyramids();
  core::Img spare;
  double share = 0;
  for (size_t k = 0; k < frames.size(); ++k) {
    const double t = 0.1 * static_cast<double>(k);
    const core::Region r = partial.regionOfNextFrame();
    if (k > 0) {
      share = std::max(
          share, static_cast<double>((r.x1 - r.x0) * (r.y1 - r.y0)) / static_cast<double>(w * h));
    }
    core::Img blanked = frames[k];
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        if (x < r.x0 || x >= r.x1 || y < r.y0 || y >= r.y1) blanked.p[y * w + x] = NAN;
      }
    }
    const bool going = whole.add(t, frames[k], spare);
    EXPECT_EQ(partial.add(t, blanked, spare), going) << "frame " << k;
    EXPECT_TRUE(whole.records().size() == partial.records().size() &&
                std::memcmp(whole.records().data(), partial.records().data(),
                            whole.records().size() * sizeof(Record)) == 0)
        << "frame " << k;
    if (!going) break;
  }
  return share;
}

core::Img groundOf(int64_t w, int64_t h) {
  core::Img ground{w, h, std::vector<float>(static_cast<size_t>(w * h))};
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      ground.p[static_cast<size_t>(y * w + x)] =
          std::round(static_cast<float>(support::backgroundTexture(x, y)));
    }
  }
  return ground;
}

// A 64-pixel square of the patch texture centred at (cx, 128) on a textured
// ground of odd size, cut by the frame's edges; from x = 250 on, each step is
// faster than the widest search reaches (24 pixels at level 3, 192 at level
// 0) from the previous centre, and the last ones run out of the frame.
constexpr int64_t kFastW = 1283, kFastH = 259;
const double kFastXs[] = {100, 250, 550, 850, 1150, 1350, 1550, 1750};
std::vector<core::Img> fastFrames() {
  std::vector<core::Img> frames;
  for (const double cx : kFastXs) {
    frames.push_back(groundOf(kFastW, kFastH));
    for (int64_t y = 96; y < 160; ++y) {
      for (int64_t x = std::max<int64_t>(0, static_cast<int64_t>(cx) - 32);
           x < std::min<int64_t>(kFastW, static_cast<int64_t>(cx) + 32); ++x) {
        frames.back().p[static_cast<size_t>(y * kFastW + x)] =
            static_cast<float>(support::patchTexture(static_cast<double>(x) - cx, y - 128.0));
      }
    }
  }
  return frames;
}
const Box kFastBox{68.0 / kFastW, 96.0 / kFastH, 132.0 / kFastW, 160.0 / kFastH};

// Only the constant-velocity prediction keeps the region, from the third
// frame on.
TEST(Tracker, PredictsAtConstantVelocity) {
  const std::vector<core::Img> frames = fastFrames();
  Tracker tracker(kFastW, kFastH, kFastBox);
  core::Img spare;
  for (size_t k = 0; k < 5; ++k) {
    ASSERT_TRUE(tracker.add(0.1 * static_cast<double>(k), frames[k], spare)) << k;
    EXPECT_NEAR(tracker.records().back().x * kFastW, kFastXs[k], 0.5) << k;
  }
}

// The scene drawn into a frame five times its size (and odd, so that every
// level truncates), of which the region is a small part; a box of 64 is
// tracked at level 0, one of 160 at level 1.
// Then the fast patch that runs out of the frame's right side, the
// prediction carrying the region beyond it, where reads repeat the border.
TEST(Tracker, ReadsOnlyTheRegionItAsksFor) {
  const int64_t w = 5 * kW + 7, h = 5 * kH + 5, left = 2 * kW, top = 2 * kH;
  const core::Img ground = groundOf(w, h);
  for (const double side : {kSide, 2.5 * kSide}) {
    SCOPED_TRACE(side);
    std::vector<core::Img> frames;
    for (int k = 0; k < 16; ++k) {
      const core::Img scene = renderImg(
          {110 + 2.3 * k, 130 - 1.1 * k, side / kSide * std::pow(1.006, k), 0.6 * k}, true, false);
      frames.push_back(ground);
      for (int64_t y = 0; y < kH; ++y) {
        std::copy_n(scene.p.begin() + y * kW, kW, frames.back().p.begin() + (top + y) * w + left);
      }
    }
    const double x0 = 110 + left, y0 = 130 + top;
    const double share = largestRegionShare(frames, Box{(x0 - side / 2) / w, (y0 - side / 2) / h,
                                                        (x0 + side / 2) / w, (y0 + side / 2) / h});
    EXPECT_LT(share, 1.0 / 3) << "a small part";
  }
  largestRegionShare(fastFrames(), kFastBox);
}

}  // namespace
}  // namespace seguir
