// An H.264 MP4 writer for the overlaid span, on libavcodec (libx264) and
// libavformat.
#pragma once

#include <memory>
#include <opencv2/core.hpp>
#include <string>

namespace pista {

class VideoWriter {
 public:
  // Opens `path` for frames of `size` (each side made even, as 4:2:0 needs)
  // at about `fps` frames per second. Null when the encoder or the file
  // cannot be opened.
  static std::unique_ptr<VideoWriter> open(const std::string& path, cv::Size size, double fps);
  ~VideoWriter();
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  cv::Size frameSize() const;
  // One BGR frame of frameSize() shown at `seconds` from the start; times
  // must grow.
  bool write(const cv::Mat& bgr, double seconds);
  // Flushes the encoder and closes the file; false if anything failed.
  bool finish();

  struct Impl;

 private:
  explicit VideoWriter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace pista
