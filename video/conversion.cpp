#include "video/conversion.hpp"

#include <algorithm>

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "core/numeric.hpp"
#include "video/grey_region.hpp"
#include "video/pixel_format.hpp"
#include "video/resample.hpp"

namespace video {

namespace {

// The coarsest of the tracker's four pyramid levels must still be 2 x 2.
constexpr int64_t kMinAnalysisSide = 16;
// A display matrix with a huge scale would ask for an analysis frame no
// machine can hold; such a file is refused rather than allowed to exhaust memory.
constexpr int64_t kMaxAnalysisPixels = int64_t{1} << 26;

}  // namespace

// The layout fixes the scaled frame's size, and the buffers are made once
// for all frames.
std::optional<Converter> Converter::forVideo(const VideoInfo& info) {
  if (info.GW < kMinAnalysisSide || info.GH < kMinAnalysisSide ||
      info.GW > kMaxAnalysisPixels / info.GH) {
    return std::nullopt;
  }
  const Orientation o = orientationOf(info.xf);
  switch (o.layout) {
    case Layout::kFlip:
      return Converter(info, o, info.GW, info.GH);
    case Layout::kTranspose:
      return Converter(info, o, info.GH, info.GW);
    case Layout::kGeneral:
      break;
  }
  const int64_t sw =
      std::max<int64_t>(1, core::roundToInt(static_cast<double>(info.naturalW) * info.A));
  const int64_t sh =
      std::max<int64_t>(1, core::roundToInt(static_cast<double>(info.naturalH) * info.A));
  if (sw * sh > kMaxAnalysisPixels) return std::nullopt;
  return Converter(info, o, sw, sh);
}

Converter::Converter(const VideoInfo& info, Orientation o, int64_t sw, int64_t sh)
    : info_(info), orientation_(o), sw_(sw), sh_(sh), scaler_(sw, sh, AV_PIX_FMT_RGBA, 4) {
  if (o.layout == Layout::kTranspose) stored_.resize(static_cast<size_t>(sw * kTurnStripRows));
  if (o.layout == Layout::kGeneral) stored_.resize(static_cast<size_t>(sw * sh));
}

// Straight from the planes no RGBA frame is written and read again, which
// was most of the conversion's cost. Other reductions take libswscale's
// RGBA; RGB-coded video stays exact there.
int Converter::directFactor(const AVFrame* f) const {
  if (!directAllowed_ || !isPlanarYuv8(f->format)) return 0;
  if (f->width == sw_ && f->height == sh_) return 1;
  if (f->width == 2 * sw_ && f->height == 2 * sh_) return 2;
  return 0;
}

bool Converter::convert(const AVFrame* f, core::Img& out) {
  if (const int factor = directFactor(f)) {
    orient(YuvRows(yuvPlanes(f), yuvMatrixOf(f), factor), out);
    return true;
  }
  if (!scaler_.scale(f)) return false;
  orient(RgbaRows(RgbaFrame{scaler_.data(), sw_, sh_, scaler_.stride()}), out);
  return true;
}

void Converter::convertPart(const AVFrame* f, int factor, const core::Region& region,
                            core::Img& out) {
  out.w = info_.GW;
  out.h = info_.GH;
  out.p.resize(static_cast<size_t>(info_.GW * info_.GH));
  greyRegion(yuvPlanes(f), yuvMatrixOf(f), factor, orientation_, region, out.p.data(),
             partScratch_);
}

// The grey rows of the scaled frame, turned as the display matrix says.
void Converter::orient(const GreyRows& rows, core::Img& out) {
  out.w = info_.GW;
  out.h = info_.GH;
  out.p.resize(static_cast<size_t>(info_.GW * info_.GH));
  const auto [layout, flipX, flipY] = orientation_;
  switch (layout) {
    case Layout::kFlip:
      greyMirrored(rows, flipX, flipY, out.p.data());
      break;
    case Layout::kTranspose:
      greyTurned(rows, flipX, flipY, stored_.data(), out.p.data());
      break;
    case Layout::kGeneral:
      greyMirrored(rows, false, false, stored_.data());
      resampleGrey(GreyFrame{stored_.data(), sw_, sh_}, static_cast<double>(info_.naturalW),
                   static_cast<double>(info_.naturalH), info_.xf, out.p.data(), out.w, out.h);
      break;
  }
}

void Converter::useRgbaConversion(bool accurate) {
  directAllowed_ = false;
  scaler_.setExtraFlags(accurate ? SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT : 0);
}

}  // namespace video
