// Colour pictures of the video as players show them (display matrix
// applied), at any size: what pista draws on. They come from the same
// decoded frames as the grey analysis frames, so times and orientation are
// the tracker's own.
#pragma once

#include <cstdint>
#include <vector>

#include "video/orientation.hpp"
#include "video/scaler.hpp"
#include "video/stream_facts.hpp"

struct AVFrame;

namespace video {

// w x h pixels of 8-bit B, G, R, row-major, top row first, no padding.
struct ColourFrame {
  int64_t w = 0, h = 0;
  std::vector<uint8_t> bgr;
};

class ColourConverter {
 public:
  // Pictures of w x h: the displayed frame scaled to that size.
  ColourConverter(const VideoInfo& info, int64_t w, int64_t h);

  // False when libswscale cannot convert the frame. Throws std::bad_alloc.
  bool convert(const AVFrame* f, ColourFrame& out);

 private:
  void orient(ColourFrame& out) const;

  VideoInfo info_;
  Orientation orientation_;
  int64_t w_, h_;
  Scaler scaler_;  // to B, G, R in stored orientation
};

}  // namespace video
