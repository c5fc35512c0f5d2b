// The track's records met along the frames of the video, in time order:
// every record must meet a frame of its own time, and so must the loss,
// or the track belongs to another video.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <vector>

#include "pista/overlay.hpp"
#include "trackdoc/track.hpp"

namespace pista {

// Times in the document are the frames' own, written as exact doubles; the
// tolerance only absorbs a time base that is not a power of ten.
inline constexpr double kSameTime = 1e-6;

class RecordWalk {
 public:
  explicit RecordWalk(const trackdoc::Track& track) : track_(track) {}
  double first() const { return track_.frames.front().t; }
  double last() const;
  // How the frame at `t` stands, and the record it shows; false when a
  // record was passed by.
  bool place(double t, FrameState& state, size_t& index);
  // Whether every record, and the loss, met its frame.
  bool complete() const { return next_ == track_.frames.size() && (!track_.lostAt || lostSeen_); }
  // The centres so far, as fractions of the displayed frame.
  const std::vector<cv::Point2d>& trail() const { return trail_; }

 private:
  const trackdoc::Track& track_;
  size_t next_ = 0;
  bool lostSeen_ = false;
  std::vector<cv::Point2d> trail_;
};

}  // namespace pista
