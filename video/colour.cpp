#include "video/colour.hpp"

#include <algorithm>
#include <cstring>

#include "core/numeric.hpp"
#include "video/resample.hpp"

namespace video {

namespace {

// The size the stored frame is scaled to before it is turned: a quarter turn
// swaps the sides; any other matrix resamples from the natural frame scaled
// as the displayed one is.
Scaler storedScaler(const VideoInfo& info, Orientation o, int64_t w, int64_t h) {
  switch (o.layout) {
    case Layout::kFlip:
      return {w, h, AV_PIX_FMT_BGR24, 3};
    case Layout::kTranspose:
      return {h, w, AV_PIX_FMT_BGR24, 3};
    case Layout::kGeneral:
      break;
  }
  const double zoom = info.W > 0 ? static_cast<double>(w) / info.W : 1;
  return {std::max<int64_t>(1, core::roundToInt(static_cast<double>(info.naturalW) * zoom)),
          std::max<int64_t>(1, core::roundToInt(static_cast<double>(info.naturalH) * zoom)),
          AV_PIX_FMT_BGR24, 3};
}

}  // namespace

ColourConverter::ColourConverter(const VideoInfo& info, int64_t w, int64_t h)
    : info_(info),
      orientation_(orientationOf(info.xf)),
      w_(w),
      h_(h),
      scaler_(storedScaler(info, orientation_, w, h)) {}

bool ColourConverter::convert(const AVFrame* f, ColourFrame& out) {
  if (!scaler_.scale(f)) return false;
  out.w = w_;
  out.h = h_;
  out.bgr.resize(static_cast<size_t>(w_ * h_ * 3));
  orient(out);
  return true;
}

// Whole pixels moved for the axis-aligned matrices, as greyMirrored and
// greyTurned move grey samples; these pictures are only looked at, so one
// plain loop each does.
void ColourConverter::orient(ColourFrame& out) const {
  const uint8_t* src = scaler_.data();
  const int64_t stride = scaler_.stride(), sw = scaler_.width(), sh = scaler_.height();
  uint8_t* dst = out.bgr.data();
  const auto [layout, flipX, flipY] = orientation_;
  if (layout == Layout::kGeneral) {
    resampleBgr(src, stride, sw, sh, static_cast<double>(info_.naturalW),
                static_cast<double>(info_.naturalH), info_.xf, dst, w_, h_);
    return;
  }
  for (int64_t y = 0; y < sh; ++y) {
    const uint8_t* row = src + y * stride;
    const int64_t Y = flipY ? sh - 1 - y : y;
    if (layout == Layout::kFlip && !flipX) {
      std::memcpy(dst + 3 * Y * w_, row, static_cast<size_t>(3 * sw));
      continue;
    }
    // Mirrored, (x, y) keeps its row and column, counted from the far side;
    // turned, stored column x becomes row x.
    for (int64_t x = 0; x < sw; ++x) {
      const int64_t X = flipX ? sw - 1 - x : x;
      const int64_t at = layout == Layout::kFlip ? Y * w_ + X : X * w_ + Y;
      std::memcpy(dst + 3 * at, row + 3 * x, 3);
    }
  }
}

}  // namespace video
