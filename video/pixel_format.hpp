// What a decoded frame's format says about its pixels: which frames the
// direct Y'CbCr pass can take, their planes, and the matrix and range
// libswscale would use for them.
#pragma once

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "video/yuv_grey.hpp"

struct AVFrame;

namespace video {

// The deprecated full-range "J" formats say their range through the format;
// libswscale wants the plain format and the range as a flag.
AVPixelFormat plainFormat(AVPixelFormat f, bool& fullRange);

// 8-bit planar 4:2:0, 4:2:2 or 4:4:4, the formats of the direct pass.
bool isPlanarYuv8(int format);

// The planes of a frame of such a format.
YuvFrame yuvPlanes(const AVFrame* f);

// The matrix and range libswscale would use for this frame (its coefficient
// table, indexed by the colour space, with BT.601 where it has no entry).
YuvMatrix yuvMatrixOf(const AVFrame* f);

}  // namespace video
