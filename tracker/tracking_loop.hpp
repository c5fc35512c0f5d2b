// The tracking loop: follows a region from frame to frame with the tracking
// core and keeps one record per tracked frame.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/tracking_core.hpp"
#include "trackdoc/track.hpp"

namespace seguir {

// Two opposite corners of the region on the first frame, as fractions of the
// analysis frame's width (x) and height (y); not reordered.
struct Box {
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

using trackdoc::Record;

class Tracker {
 public:
  Tracker(int64_t gw, int64_t gh, Box box);

  // Tracks one analysis frame of gw x gh, of which only regionOfNextFrame()
  // is read: the caller need not fill the rest. Returns false once the region
  // is lost: the caller then stops reading frames. The frame's buffer ends up
  // in `spare` when it is no longer needed, for the caller to fill again.
  bool add(double t, core::Img frame, core::Img& spare);

  // The pixels of the next frame that `add` can read, from how far the
  // searches reach around the predicted position and how large the region may
  // have grown: the whole frame before the first. A pyramidRegion.
  core::Region regionOfNextFrame() const;

  // Builds every frame's whole pyramid instead of the region's alone, as a
  // reference for the region's: the records are the same.
  void buildWholePyramids() { wholePyramids_ = true; }

  const std::vector<Record>& records() const { return frames_; }
  std::vector<Record>& records() { return frames_; }
  std::optional<double> lostAt() const { return lostAt_; }

 private:
  // The first frame fixes the region and cuts the reference templates.
  void first(double t, std::vector<core::Img>& pyr);
  // Every later frame, in the order of these steps.
  bool later(double t, std::vector<core::Img>& pyr);
  core::Found searchCoarseToFine(const std::vector<core::Img>& pyr) const;
  core::Tpl followScaleAndRotation(const core::Img& image, double x, double y);
  core::Found anchorAgainstDrift(const core::Img& image, const core::Tpl& previousView,
                                 const core::Found& found);
  bool declaresLoss(double t, float confidence);
  void moveTo(double x, double y);
  void renewTemplates(const std::vector<core::Img>& pyr);

  static constexpr int64_t kLevels = 4;

  int64_t gw_, gh_;
  // The box of the command line, as fractions of the frame.
  double boxCentreX_, boxCentreY_, boxWidth_, boxHeight_;
  int64_t base_ = 0;
  double cx_ = 0, cy_ = 0, vx_ = 0, vy_ = 0, S_ = 1, ROT_ = 0;
  std::vector<std::pair<int64_t, int64_t>> sizes_;
  std::vector<core::Tpl> ref_, lastT_;
  // The frame's pyramid, its levels reused from frame to frame.
  std::vector<core::Img> pyr_ = std::vector<core::Img>(kLevels);
  bool wholePyramids_ = false;
  core::Img prevBase_;
  int weak_ = 0;
  std::optional<double> lostAt_;
  std::vector<Record> frames_;
};

}  // namespace seguir
