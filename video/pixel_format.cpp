#include "video/pixel_format.hpp"

extern "C" {
#include <libavutil/frame.h>
}

namespace video {

AVPixelFormat plainFormat(AVPixelFormat f, bool& fullRange) {
  switch (f) {
    case AV_PIX_FMT_YUVJ420P:
      fullRange = true;
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      fullRange = true;
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      fullRange = true;
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
      fullRange = true;
      return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
      fullRange = true;
      return AV_PIX_FMT_YUV411P;
    default:
      return f;
  }
}

bool isPlanarYuv8(int format) {
  switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P:
      return true;
    default:
      return false;
  }
}

YuvFrame yuvPlanes(const AVFrame* f) {
  YuvFrame y;
  for (int p = 0; p < 3; ++p) {
    y.plane[p] = f->data[p];
    y.stride[p] = f->linesize[p];
  }
  y.w = f->width;
  y.h = f->height;
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(f->format);
  y.shiftX = fmt == AV_PIX_FMT_YUV444P || fmt == AV_PIX_FMT_YUVJ444P ? 0 : 1;
  y.shiftY = fmt == AV_PIX_FMT_YUV420P || fmt == AV_PIX_FMT_YUVJ420P ? 1 : 0;
  return y;
}

YuvMatrix yuvMatrixOf(const AVFrame* f) {
  bool full = f->color_range == AVCOL_RANGE_JPEG;
  plainFormat(static_cast<AVPixelFormat>(f->format), full);
  double kr = 0.299, kb = 0.114;
  switch (f->colorspace) {
    case AVCOL_SPC_RGB:  // libswscale's table reads this entry as BT.709
    case AVCOL_SPC_BT709:
      kr = 0.2126, kb = 0.0722;
      break;
    case AVCOL_SPC_FCC:
      kr = 0.30, kb = 0.11;
      break;
    case AVCOL_SPC_SMPTE240M:
      kr = 0.212, kb = 0.087;
      break;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      kr = 0.2627, kb = 0.0593;
      break;
    default:
      break;
  }
  return yuvMatrix(kr, kb, full);
}

}  // namespace video
