// A decoded frame made into the analysis frame: grey, oriented as the
// display matrix says, at the analysis size. 8-bit planar Y'CbCr at the
// analysis size, or at exactly twice it (4K to 1080p), goes straight from
// its planes to grey and can be made a part at a time; anything else goes
// whole through libswscale's RGBA.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/tracking_core.hpp"
#include "video/orientation.hpp"
#include "video/scaler.hpp"
#include "video/stream_facts.hpp"

struct AVFrame;

namespace video {

class Converter {
 public:
  // Nothing when the analysis size does not suit the pyramid or does not
  // fit in memory.
  static std::optional<Converter> forVideo(const VideoInfo& info);

  // The reduction of the direct pass for this frame (1 or 2), or 0 when it
  // takes libswscale.
  int directFactor(const AVFrame* f) const;
  // Whether the frame can wait and be made a part at a time (convertPart).
  bool byParts(int factor) const { return factor != 0 && orientation_.layout != Layout::kGeneral; }

  // The whole analysis frame into `out`; false when libswscale cannot
  // convert the frame. Throws std::bad_alloc.
  bool convert(const AVFrame* f, core::Img& out);
  // Only `region` of the analysis frame, from a frame of the direct pass;
  // the rest of `out` is left as it was. May run on another thread than
  // convert(): it keeps scratch space of its own.
  void convertPart(const AVFrame* f, int factor, const core::Region& region, core::Img& out);

  // Every later frame through libswscale's RGBA (see FrameSource).
  void useRgbaConversion(bool accurate);

 private:
  Converter(const VideoInfo& info, Orientation o, int64_t sw, int64_t sh);
  void orient(const GreyRows& rows, core::Img& out);

  VideoInfo info_;
  Orientation orientation_;
  int64_t sw_, sh_;  // size of the scaled frame, stored orientation
  Scaler scaler_;    // to RGBA
  bool directAllowed_ = true;
  // Grey in stored orientation: a strip of rows for quarter turns, the whole
  // frame for other matrices.
  std::vector<float> stored_;
  // convertPart()'s own scratch, apart from the decoding thread's.
  std::vector<float> partScratch_;
};

}  // namespace video
