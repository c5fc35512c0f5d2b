// What pista draws over a frame of the video: the tracked region, its trail,
// the time and the confidence.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "trackdoc/track.hpp"

namespace pista {

// The region's size at scale 1, in displayed pixels; zero when the box is not
// known, in which case a cross marks the centre and the turn instead.
struct RegionSize {
  double w = 0, h = 0;
};

// How one frame stands in the track.
enum class FrameState { kTracked, kUntracked, kLost };

// Draws onto `picture` (the displayed frame, at any size) the centre's trail
// so far, the region of `record` as its turned, scaled rectangle, and the
// time and confidence. Positions are fractions of the displayed frame.
void drawOverlay(cv::Mat& picture, const std::vector<cv::Point2d>& trail,
                 const trackdoc::Record& record, FrameState state, RegionSize region,
                 cv::Size displayed, double t);

}  // namespace pista
