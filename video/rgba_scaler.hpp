// libswscale's way to the analysis size: any decoded format, scaled to an
// RGBA frame. The reference that the direct Y'CbCr pass is held to, and the
// path of every frame that pass cannot take.
#pragma once

#include <cstdint>
#include <memory>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "video/ffmpeg_handles.hpp"
#include "video/grey_rows.hpp"

struct AVFrame;

namespace video {

class RgbaScaler {
 public:
  RgbaScaler(int64_t w, int64_t h) : w_(w), h_(h) {}
  // Before the first frame.
  void setExtraFlags(int flags) { extraFlags_ = flags; }

  // The frame scaled to w x h into frame(); false when libswscale cannot.
  bool scale(const AVFrame* f);
  RgbaFrame frame() const { return {rgba_.get(), w_, h_, stride_}; }

 private:
  struct AvFreer {
    void operator()(uint8_t* p) const;
  };
  int64_t w_, h_;
  int extraFlags_ = 0;
  std::unique_ptr<uint8_t, AvFreer> rgba_;  // made when a frame first needs it
  int stride_ = 0;
  ffmpeg::SwsPtr sws_;
  // What the context was last set up for.
  int srcW_ = -1, srcH_ = -1, srcCs_ = -1;
  AVPixelFormat srcFmt_ = AV_PIX_FMT_NONE;
  bool srcFull_ = false;
};

}  // namespace video
