#include "tracker/tracking_loop.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/numeric.hpp"

namespace seguir {

namespace {

constexpr double kMinBoxSide = trackdoc::kMinRegionSide;  // level-0 pixels
constexpr double kMaxBaseSide = 80;                       // largest box side at level `base`
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
      boxCentreX_(std::clamp((box.x0 + box.x1) / 2, -kFar, kFar)),
      boxCentreY_(std::clamp((box.y0 + box.y1) / 2, -kFar, kFar)),
      boxWidth_(std::clamp(box.x1 - box.x0, -kFar, kFar)),
      boxHeight_(std::clamp(box.y1 - box.y0, -kFar, kFar)) {}

bool Tracker::add(double t, core::Img frame, core::Img& spare) {
  const core::Region region = wholePyramids_ ? core::Region{0, 0, gw_, gh_} : regionOfNextFrame();
  pyr_[0] = std::move(frame);
  core::pyramidInside(pyr_, region);
  bool going = true;
  if (ref_.empty()) {
    first(t, pyr_);
  } else {
    going = later(t, pyr_);
  }
  if (!going) return false;
  // Only the level-`base` image outlives the frame, as the previous view of
  // the next one; level 0 goes back to the caller so that the next frame
  // needs no fresh buffer, and the other levels stay for the next pyramid.
  std::swap(prevBase_, pyr_[static_cast<size_t>(base_)]);
  spare = std::move(pyr_[0]);
  return true;
}

// Every read of a frame lies within a distance of the predicted centre: the
// searches' reach (the coarsest radius and the finer ones, each plus half a
// sample of peak offset, and the refinement's one sample), plus half the
// largest grid read at a level: axis-aligned windows and templates at every
// level, grids turned any way at `base`, where half their diagonal counts.
// Grids grow with the scale, which changes by at most 3 % per estimate, and
// three estimates read a frame before the next region is worked out: 1.2
// covers them. Two more samples cover the bilinear neighbours and rounding.
core::Region Tracker::regionOfNextFrame() const {
  const core::Region whole{0, 0, gw_, gh_};
  if (ref_.empty()) return core::pyramidRegion(whole, kLevels, gw_, gh_);
  double reach = level(kLevels - 1) * (static_cast<double>(kWideRadius) + 1);
  for (int64_t l = kLevels - 2; l >= base_; --l) {
    reach += level(l) * (static_cast<double>(kNarrowRadius) + 1);
  }
  reach += 2 * level(base_);
  double grid = 0;
  for (int64_t l = base_; l < kLevels; ++l) {
    const auto [w, h] = sizes_[static_cast<size_t>(l)];
    const core::Tpl& last = lastT_[static_cast<size_t>(l)];
    const double side = static_cast<double>(std::max({w, h, last.w, last.h}));
    const double across = l == base_ ? std::hypot(static_cast<double>(w), static_cast<double>(h))
                                     : static_cast<double>(std::max(w, h));
    grid = std::max(grid, level(l) * (std::max(1.2 * S_ * across, side) / 2 + 2));
  }
  const double x = cx_ + vx_, y = cy_ + vy_, m = reach + grid;
  if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(m)) {
    return core::pyramidRegion(whole, kLevels, gw_, gh_);
  }
  // Clamped before conversion; reads beyond the frame repeat its border.
  const auto edge = [](double v, int64_t size) {
    return static_cast<int64_t>(std::clamp(v, -1.0, static_cast<double>(size) + 1));
  };
  core::Region wanted{edge(std::floor(x - m), gw_), edge(std::floor(y - m), gh_),
                      edge(std::ceil(x + m) + 1, gw_), edge(std::ceil(y + m) + 1, gh_)};
  // A region wholly beyond one side still needs that side's border: the two
  // samples a clamped read takes at the coarsest level.
  const int64_t band = 2 * static_cast<int64_t>(level(kLevels - 1));
  wanted.x0 = std::min(wanted.x0, gw_ - band);
  wanted.x1 = std::max(wanted.x1, band);
  wanted.y0 = std::min(wanted.y0, gh_ - band);
  wanted.y1 = std::max(wanted.y1, band);
  return core::pyramidRegion(wanted, kLevels, gw_, gh_);
}

void Tracker::first(double t, std::vector<core::Img>& pyr) {
  const double GW = static_cast<double>(gw_), GH = static_cast<double>(gh_);
  cx_ = boxCentreX_ * GW;
  cy_ = boxCentreY_ * GH;
  const double boxW = std::max(boxWidth_ * GW, kMinBoxSide);
  const double boxH = std::max(boxHeight_ * GH, kMinBoxSide);
  const double longSide = std::max(boxW, boxH);
  while (base_ < kLevels - 2 && longSide / level(base_) > kMaxBaseSide) ++base_;
  for (int64_t l = 0; l < kLevels; ++l) {
    const double f = level(l);
    const int64_t tw = std::clamp(core::truncToInt(boxW / f), kMinTplSide, kMaxFirstTplSide);
    const int64_t th = std::clamp(core::truncToInt(boxH / f), kMinTplSide, kMaxFirstTplSide);
    sizes_.emplace_back(tw, th);
    ref_.push_back(core::templ(pyr[static_cast<size_t>(l)], cx_ / f, cy_ / f, tw, th));
  }
  lastT_ = ref_;
  frames_.push_back({t, cx_ / GW, cy_ / GH, 1, 0, 1});
}

bool Tracker::later(double t, std::vector<core::Img>& pyr) {
  const core::Found found = searchCoarseToFine(pyr);
  const double baseFactor = level(base_);
  const core::Found atBase{found.x / baseFactor, found.y / baseFactor, found.score};
  const core::Img& image = pyr[static_cast<size_t>(base_)];
  const core::Tpl previousView = followScaleAndRotation(image, atBase.x, atBase.y);
  const core::Found settled = anchorAgainstDrift(image, previousView, atBase);
  if (declaresLoss(t, settled.score)) return false;
  moveTo(baseFactor * settled.x, baseFactor * settled.y);
  renewTemplates(pyr);
  frames_.push_back({t, cx_ / static_cast<double>(gw_), cy_ / static_cast<double>(gh_), S_,
                     ROT_ * 180 / std::numbers::pi, static_cast<double>(settled.score)});
  return true;
}

// From the position predicted at constant velocity (the whole last
// displacement, undamped), a wide search at the coarsest level and narrow
// ones at each finer level down to `base`. Level-0 position; the score is
// the last search's.
core::Found Tracker::searchCoarseToFine(const std::vector<core::Img>& pyr) const {
  core::Found at{cx_ + vx_, cy_ + vy_, 0};
  for (int64_t l = kLevels - 1; l >= base_; --l) {
    const double f = level(l);
    const int64_t radius = l == kLevels - 1 ? kWideRadius : kNarrowRadius;
    const core::Found found = core::search(
        pyr[static_cast<size_t>(l)], lastT_[static_cast<size_t>(l)], at.x / f, at.y / f, radius);
    at = {found.x * f, found.y * f, found.score};
  }
  return at;
}

// Scale and rotation first follow the previous frame, which changes little
// between frames, before the first frame's appearance is consulted. Returns
// the previous frame's view, resampled with the scale and rotation it had.
core::Tpl Tracker::followScaleAndRotation(const core::Img& image, double x, double y) {
  const double baseFactor = level(base_);
  const core::Tpl& anchor = ref_[static_cast<size_t>(base_)];
  const core::Tpl previousView =
      core::patch(prevBase_, cx_ / baseFactor, cy_ / baseFactor, anchor.w, anchor.h, S_, ROT_);
  S_ *= core::bestScale(image, previousView, x, y, S_, ROT_).value;
  ROT_ += core::bestRot(image, previousView, x, y, S_, ROT_).value;
  return previousView;
}

// While the region still looks like the first frame, refining against the
// first frame's template stops the drift that frame-to-frame matching
// accumulates; otherwise the previous view refines the position. Returns the
// position at level `base` and the frame's confidence.
core::Found Tracker::anchorAgainstDrift(const core::Img& image, const core::Tpl& previousView,
                                        const core::Found& found) {
  const core::Tpl& anchor = ref_[static_cast<size_t>(base_)];
  const core::Tpl view = core::patch(image, found.x, found.y, anchor.w, anchor.h, S_, ROT_);
  if (core::corr(anchor, view) > kAnchorLike) {
    const core::Found r = core::refine(image, anchor, found.x, found.y, S_, 1, ROT_);
    if (!(r.score > kAnchorLike)) return found;
    S_ *= core::bestScale(image, anchor, r.x, r.y, S_, ROT_).value;
    ROT_ += core::bestRot(image, anchor, r.x, r.y, S_, ROT_).value;
    return {r.x, r.y, std::max(found.score, r.score)};
  }
  const core::Found r = core::refine(image, previousView, found.x, found.y, S_, 1, ROT_);
  if (r.score > found.score - kRefineSlack) return {r.x, r.y, found.score};
  return found;
}

// Weak frames are tracked like any other until the third in a row, which is
// the loss; a confidence that is not a number is not weak.
bool Tracker::declaresLoss(double t, float confidence) {
  if (!(confidence < trackdoc::kWeakConfidence)) {
    weak_ = 0;
    return false;
  }
  if (++weak_ < kWeakInARow) return false;
  lostAt_ = t;
  return true;
}

void Tracker::moveTo(double x, double y) {
  vx_ = x - cx_;
  vy_ = y - cy_;
  cx_ = x;
  cy_ = y;
}

// Renewed templates follow the region's size but stay axis-aligned. The
// levels finer than `base` are never searched.
void Tracker::renewTemplates(const std::vector<core::Img>& pyr) {
  for (int64_t l = base_; l < kLevels; ++l) {
    const double f = level(l);
    const auto [w, h] = sizes_[static_cast<size_t>(l)];
    const int64_t tw = std::max(core::roundToInt(S_ * static_cast<double>(w)), kMinTplSide);
    const int64_t th = std::max(core::roundToInt(S_ * static_cast<double>(h)), kMinTplSide);
    lastT_[static_cast<size_t>(l)] =
        core::templ(pyr[static_cast<size_t>(l)], cx_ / f, cy_ / f, tw, th);
  }
}

}  // namespace seguir
