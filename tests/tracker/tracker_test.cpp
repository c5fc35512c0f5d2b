// The tracking loop on frames drawn in memory: no encoder between the truth
// and the tracker, so positions are held to a tighter tolerance than in the
// end-to-end tests.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "support/scene.hpp"
#include "tracker/output.hpp"
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
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> noise(-amplitude, amplitude);
  for (float& v : img.p) v = std::clamp(v + noise(rng), 0.0f, 255.0f);
  return img;
}

// A steady drift with turn and growth, where the first frame's template
// keeps the region from drifting; and a turn while the region's texture
// turns into another one over frames 0 to 8, after which it no longer looks
// like the first frame and the turn is followed from frame to frame alone
// (the change itself costs some accuracy, so that row is checked from frame
// 8 on, its angle relative to frame 8's).
TEST(Tracker, FollowsDriftTurnAndGrowth) {
  const struct {
    const char* name;
    Pose start, step;  // the step's s is the scale's factor per frame
    double change;     // per frame, towards the other texture
    size_t from;
    // Tolerances of position (pixels), scale (ratio, 0 where the change of
    // texture leaves it unsettled) and angle (degrees), and the least confidence.
    double position, scale, angle, confidence;
  } rows[] = {{"anchored", {110, 130, 1, 0}, {2.3, -1.1, 1.006, 0.6}, 0, 0, 0.2, 0.003, 0.1, 0.99},
              {"frame to frame", {150, 120, 1, 0}, {1.2, 0.8, 1, 1}, 1 / 8.0, 8, 2.5, 0, 0.5, 0.9}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<Pose> poses;
    std::vector<core::Img> frames;
    for (int k = 0; k < 24; ++k) {
      poses.push_back({row.start.x + k * row.step.x, row.start.y + k * row.step.y,
                       std::pow(row.step.s, k), k * row.step.deg});
      frames.push_back(renderImg(poses.back(), true, false, std::min(1.0, k * row.change)));
    }
    const Outcome o = follow(frames, poses[0]);
    EXPECT_FALSE(o.lostAt);
    ASSERT_EQ(o.records.size(), frames.size());
    for (size_t k = row.from; k < frames.size(); ++k) {
      const Record& r = o.records[k];
      EXPECT_NEAR(r.x * kW, poses[k].x, row.position) << k;
      EXPECT_NEAR(r.y * kH, poses[k].y, row.position) << k;
      if (row.scale > 0) {
        EXPECT_NEAR(r.s / poses[k].s, 1.0, row.scale) << k;
      }
      EXPECT_NEAR(r.r - o.records[row.from].r, poses[k].deg - poses[row.from].deg, row.angle) << k;
      EXPECT_GE(r.c, row.confidence) << k;
    }
  }
}

// Weak frames 4, 5, 7 and 8 around a strong frame 6 are tracked and
// recorded, and the first frame's template pulls the region back after the
// noise; frames 10, 11 and 12 are three weak frames in a row, and 12 is the
// loss, after which nothing more is read.
TEST(Tracker, IsLostAtTheThirdWeakFrameInARow) {
  const std::vector<bool> weak = {false, false, false, false, true, true, false,
                                  true,  true,  false, true,  true, true, false};
  std::vector<core::Img> frames;
  for (size_t k = 0; k < weak.size(); ++k) {
    core::Img img = renderImg({120 + 2.0 * static_cast<double>(k), 110, 1, 0}, true, false);
    frames.push_back(weak[k] ? noisy(std::move(img), 180, static_cast<uint32_t>(k)) : img);
  }
  const Outcome o = follow(frames, {120, 110, 1, 0});
  ASSERT_TRUE(o.lostAt);
  EXPECT_DOUBLE_EQ(*o.lostAt, 1.2);
  EXPECT_EQ(o.read, 13u);
  ASSERT_EQ(o.records.size(), 12u);
  for (size_t k = 0; k < o.records.size(); ++k) {
    EXPECT_EQ(o.records[k].c < 0.5, weak[k]) << k;
    if (k < 10) {
      EXPECT_NEAR(o.records[k].x * kW, 120 + 2.0 * static_cast<double>(k), weak[k] ? 1.5 : 0.5)
          << k;
    }
  }
}

// The weak records at the end of a track go, never the first record: exactly
// 0.5 is not weak, and weak records in the middle stay.
TEST(TrackOutput, TrimKeepsTheFirstRecordAndConfidentOnes) {
  const auto kept = [](std::vector<double> c) {
    std::vector<Record> r;
    for (double v : c) r.push_back({0, 0, 0, 1, 0, v});
    trimWeakTail(r);
    return r.size();
  };
  EXPECT_EQ(kept({1, 0.9, 0.2, 0.1}), 2u);
  EXPECT_EQ(kept({1, 0.2, 0.9, 0.5}), 4u);
  EXPECT_EQ(kept({0.1, 0.1}), 1u);
}

// Two trackers of one box: one builds whole pyramids, the other is given
// frames blank (NaN) outside the region it asks for and builds only that
// region's pyramid. A read beyond the region would spread the NaN or take a
// sample never made, so the records must be the same to the bit. Returns
// the whole tracker's records and the largest share of a frame that a
// region after the first took.
std::pair<std::vector<Record>, double> partialAgainstWhole(const std::vector<core::Img>& frames,
                                                           const Box& box) {
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
  return {whole.records(), share};
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

// The scene drawn into a frame five times its size (and odd, so that every
// level truncates), of which the region is a small part; a box of 64 is
// tracked at level 0, one of 160 at level 1.
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
    const double share = partialAgainstWhole(frames, Box{(x0 - side / 2) / w, (y0 - side / 2) / h,
                                                         (x0 + side / 2) / w, (y0 + side / 2) / h})
                             .second;
    EXPECT_LT(share, 1.0 / 3) << "a small part";
  }
}

// A 64-pixel square of the patch texture centred at (cx, 128) on a textured
// ground of odd size, cut by the frame's edges; from x = 250 on, each step is
// faster than the widest search reaches (24 pixels at level 3, 192 at level
// 0) from the previous centre, so only the constant-velocity prediction keeps
// the region, from the third frame on. The last steps run out of the frame's
// right side, the prediction carrying the region beyond it, where reads
// repeat the border.
TEST(Tracker, PredictsAtConstantVelocityAndReadsBeyondTheEdge) {
  constexpr int64_t kFastW = 1283, kFastH = 259;
  const double xs[] = {100, 250, 550, 850, 1150, 1350, 1550, 1750};
  std::vector<core::Img> frames;
  for (const double cx : xs) {
    frames.push_back(groundOf(kFastW, kFastH));
    for (int64_t y = 96; y < 160; ++y) {
      for (int64_t x = std::max<int64_t>(0, static_cast<int64_t>(cx) - 32);
           x < std::min<int64_t>(kFastW, static_cast<int64_t>(cx) + 32); ++x) {
        frames.back().p[static_cast<size_t>(y * kFastW + x)] =
            static_cast<float>(support::patchTexture(static_cast<double>(x) - cx, y - 128.0));
      }
    }
  }
  const std::vector<Record> records =
      partialAgainstWhole(frames, Box{68.0 / kFastW, 96.0 / kFastH, 132.0 / kFastW, 160.0 / kFastH})
          .first;
  ASSERT_GE(records.size(), 5u);
  for (size_t k = 0; k < 5; ++k) EXPECT_NEAR(records[k].x * kFastW, xs[k], 0.5) << k;
}

}  // namespace
}  // namespace seguir
