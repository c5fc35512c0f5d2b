#include "video/scaler.hpp"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include "video/pixel_format.hpp"

namespace video {

void Scaler::AvFreer::operator()(uint8_t* p) const {
  av_free(p);
}

// Area averaging for reductions: every source pixel counts, so fine texture
// does not alias into false matches.
bool Scaler::scale(const AVFrame* f) {
  bool full = f->color_range == AVCOL_RANGE_JPEG;
  const AVPixelFormat fmtIn = plainFormat(static_cast<AVPixelFormat>(f->format), full);
  const int cs =
      (f->colorspace >= 0 && f->colorspace <= AVCOL_SPC_BT2020_CL) ? f->colorspace : SWS_CS_DEFAULT;
  if (!pixels_) {
    stride_ = static_cast<int>((w_ * bytesPerPixel_ + 63) / 64 * 64);
    pixels_.reset(static_cast<uint8_t*>(av_malloc(static_cast<size_t>(stride_ * h_) + 64)));
    if (!pixels_) return false;
  }
  if (f->width != srcW_ || f->height != srcH_ || fmtIn != srcFmt_ || cs != srcCs_ ||
      full != srcFull_) {
    const bool reduces = w_ < f->width || h_ < f->height;
    SwsContext* ctx = sws_getCachedContext(
        sws_.release(), f->width, f->height, fmtIn, static_cast<int>(w_), static_cast<int>(h_),
        format_, (reduces ? SWS_AREA : SWS_BILINEAR) | extraFlags_, nullptr, nullptr, nullptr);
    sws_.reset(ctx);
    if (!ctx) return false;
    // Output is full-range RGB; the input's matrix and range come from the frame.
    sws_setColorspaceDetails(ctx, sws_getCoefficients(cs), full ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    srcW_ = f->width;
    srcH_ = f->height;
    srcFmt_ = fmtIn;
    srcCs_ = cs;
    srcFull_ = full;
  }
  uint8_t* dstData[4] = {pixels_.get(), nullptr, nullptr, nullptr};
  int dstStride[4] = {stride_, 0, 0, 0};
  return sws_scale(sws_.get(), f->data, f->linesize, 0, f->height, dstData, dstStride) > 0;
}

}  // namespace video
