// libswscale's way from any decoded format to packed 8-bit pixels of a given
// size: RGBA for the analysis frame (the reference that the direct Y'CbCr
// pass is held to, and the path of every frame that pass cannot take), B, G,
// R for the pictures pista shows.
#pragma once

#include <cstdint>
#include <memory>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "video/ffmpeg_handles.hpp"

struct AVFrame;

namespace video {

class Scaler {
 public:
  // `bytesPerPixel` is the output format's: 4 for RGBA, 3 for BGR24.
  Scaler(int64_t w, int64_t h, AVPixelFormat format, int bytesPerPixel)
      : w_(w), h_(h), format_(format), bytesPerPixel_(bytesPerPixel) {}
  // Before the first frame.
  void setExtraFlags(int flags) { extraFlags_ = flags; }

  // The frame scaled to w x h into data(); false when libswscale cannot.
  bool scale(const AVFrame* f);
  const uint8_t* data() const { return pixels_.get(); }
  int64_t stride() const { return stride_; }
  int64_t width() const { return w_; }
  int64_t height() const { return h_; }

 private:
  struct AvFreer {
    void operator()(uint8_t* p) const;
  };
  int64_t w_, h_;
  AVPixelFormat format_;
  int bytesPerPixel_;
  int extraFlags_ = 0;
  std::unique_ptr<uint8_t, AvFreer> pixels_;  // made when a frame first needs them
  int stride_ = 0;
  ffmpeg::SwsPtr sws_;
  // What the context was last set up for.
  int srcW_ = -1, srcH_ = -1, srcCs_ = -1;
  AVPixelFormat srcFmt_ = AV_PIX_FMT_NONE;
  bool srcFull_ = false;
};

}  // namespace video
