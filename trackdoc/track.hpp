// The track document: what seguir writes and pista reads. One record per
// tracked frame, the video's displayed size and frame rate, and the time at
// which the region was lost, if it was.
#pragma once

#include <optional>
#include <vector>

namespace trackdoc {

// One tracked frame: time (s), centre as fractions of the displayed frame,
// scale and rotation (degrees, clockwise on screen) relative to the first
// frame, and the frame's confidence.
struct Record {
  double t = 0, x = 0, y = 0, s = 1, r = 0, c = 1;
};

struct Track {
  double width = 0, height = 0;  // displayed size of the video, pixels
  double fps = 0;                // nominal frame rate; 0 when the video gives none
  std::vector<Record> frames;
  std::optional<double> lostAt;
};

// Below this confidence a frame is weak: three in a row lose the region.
inline constexpr float kWeakConfidence = 0.5f;

// The document holds no box: the region's side at scale 1 is the box's side
// on the analysis frame, but never below this many analysis pixels, for
// whoever knows the box.
inline constexpr double kMinRegionSide = 24;

}  // namespace trackdoc
