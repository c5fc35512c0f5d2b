#include "tracker/track.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "tracker/numbers.hpp"

namespace seguir {

namespace {

constexpr double kMinBoxSide = 24;   // level-0 pixels
constexpr double kMaxBaseSide = 80;  // largest box side at level `base`
constexpr int64_t kMinTplSide = 8;
constexpr int64_t kMaxFirstTplSide = 160;
constexpr int64_t kWideRadius = 24;  // coarsest level only
constexpr int64_t kNarrowRadius = 3;
constexpr float kAnchorLike = 0.8f;
constexpr float kRefineSlack = 0.05f;
constexpr int kWeakInARow = 3;
// Box numbers are clamped to a million frame widths: any box a person could
// mean lies far inside, and every later position stays a finite number.
constexpr double kFar = 1e6;

double level(int64_t l) {
  return std::ldexp(1.0, static_cast<int>(l));
}

}  // namespace

Tracker::Tracker(int64_t gw, int64_t gh, Box box)
    : gw_(gw),
      gh_(gh),
      ncx_(std::clamp((box.x0 + box.x1) / 2, -kFar, kFar)),
      ncy_(std::clamp((box.y0 + box.y1) / 2, -kFar, kFar)),
      nw_(std::clamp(box.x1 - box.x0, -kFar, kFar)),
      nh_(std::clamp(box.y1 - box.y0, -kFar, kFar)) {}

bool Tracker::add(double t, core::Img frame, core::Img& spare) {
  std::vector<core::Img> pyr = core::pyramid(std::move(frame), kLevels);
  bool going = true;
  if (ref_.empty()) {
    first(t, pyr);
  } else {
    going = later(t, pyr);
  }
  if (!going) return false;
  // Only the level-`base` image outlives the frame; level 0 goes back to the
  // caller so that the next frame needs no fresh buffer.
  core::Img old = std::move(prevBase_);
  prevBase_ = std::move(pyr[static_cast<size_t>(base_)]);
  spare = base_ == 0 ? std::move(old) : std::move(pyr[0]);
  return true;
}

void Tracker::first(double t, std::vector<core::Img>& pyr) {
  const double GW = static_cast<double>(gw_), GH = static_cast<double>(gh_);
  cx_ = ncx_ * GW;
  cy_ = ncy_ * GH;
  const double bw = std::max(nw_ * GW, kMinBoxSide), bh = std::max(nh_ * GH, kMinBoxSide);
  const double m = std::max(bw, bh);
  while (base_ < kLevels - 2 && m / level(base_) > kMaxBaseSide) ++base_;
  for (int64_t l = 0; l < kLevels; ++l) {
    const double f = level(l);
    const int64_t tw = std::clamp(truncSaturate(bw / f), kMinTplSide, kMaxFirstTplSide);
    const int64_t th = std::clamp(truncSaturate(bh / f), kMinTplSide, kMaxFirstTplSide);
    sizes_.emplace_back(tw, th);
    ref_.push_back(core::templ(pyr[static_cast<size_t>(l)], cx_ / f, cy_ / f, tw, th));
  }
  lastT_ = ref_;
  frames_.push_back({t, cx_ / GW, cy_ / GH, 1, 0, 1});
}

bool Tracker::later(double t, std::vector<core::Img>& pyr) {
  const auto at = [&pyr](int64_t l) -> const core::Img& { return pyr[static_cast<size_t>(l)]; };
  // Constant velocity: the whole last displacement, undamped.
  double px = cx_ + vx_, py = cy_ + vy_;
  float score = 0;
  for (int64_t l = kLevels - 1; l >= base_; --l) {
    const double f = level(l);
    const int64_t radius = l == kLevels - 1 ? kWideRadius : kNarrowRadius;
    const core::Found found =
        core::search(at(l), lastT_[static_cast<size_t>(l)], px / f, py / f, radius);
    px = found.x * f;
    py = found.y * f;
    score = found.score;
  }
  const double fb = level(base_);
  const double bx = px / fb, by = py / fb;
  const core::Img& img = at(base_);
  const core::Tpl& anchor = ref_[static_cast<size_t>(base_)];
  const int64_t w = anchor.w, h = anchor.h;

  // Scale and rotation first follow the previous frame, which changes little
  // between frames, before the first frame's appearance is consulted.
  const core::Tpl prevView = core::patch(prevBase_, cx_ / fb, cy_ / fb, w, h, scale_, rot_);
  scale_ *= core::bestScale(img, prevView, bx, by, scale_, rot_).value;
  rot_ += core::bestRot(img, prevView, bx, by, scale_, rot_).value;
  const core::Tpl view = core::patch(img, bx, by, w, h, scale_, rot_);
  const float a = core::corr(anchor, view);

  double x = bx, y = by;
  float conf = score;
  if (a > kAnchorLike) {
    // Still looks like the first frame: anchoring to it stops the drift that
    // frame-to-frame matching accumulates.
    const core::Found r = core::refine(img, anchor, bx, by, scale_, 1, rot_);
    if (r.score > kAnchorLike) {
      conf = std::max(score, r.score);
      scale_ *= core::bestScale(img, anchor, r.x, r.y, scale_, rot_).value;
      rot_ += core::bestRot(img, anchor, r.x, r.y, scale_, rot_).value;
      x = r.x;
      y = r.y;
    }
  } else {
    const core::Found r = core::refine(img, prevView, bx, by, scale_, 1, rot_);
    if (r.score > score - kRefineSlack) {
      x = r.x;
      y = r.y;
    }
  }

  if (conf < kWeakConfidence) {
    if (++weak_ >= kWeakInARow) {
      lostAt_ = t;
      return false;
    }
  } else {
    weak_ = 0;  // also for a confidence that is not a number
  }

  const double nx = fb * x, ny = fb * y;
  vx_ = nx - cx_;
  vy_ = ny - cy_;
  cx_ = nx;
  cy_ = ny;
  // Renewed templates follow the region's size but stay axis-aligned.
  for (int64_t l = 0; l < kLevels; ++l) {
    const double f = level(l);
    const auto [sw, sh] = sizes_[static_cast<size_t>(l)];
    const int64_t tw = std::max(roundSaturate(scale_ * static_cast<double>(sw)), kMinTplSide);
    const int64_t th = std::max(roundSaturate(scale_ * static_cast<double>(sh)), kMinTplSide);
    lastT_[static_cast<size_t>(l)] = core::templ(at(l), cx_ / f, cy_ / f, tw, th);
  }
  frames_.push_back({t, cx_ / static_cast<double>(gw_), cy_ / static_cast<double>(gh_), scale_,
                     rot_ * 180 / std::numbers::pi, static_cast<double>(conf)});
  return true;
}

}  // namespace seguir
