// Grey straight from 8-bit planar Y'CbCr, in one pass: each pixel is made
// 8-bit R'G'B' by the frame's matrix and then grey, with no RGBA frame
// written and read again. Rows top first; the vector loops (SSE2, and AVX2
// where the processor has it) give the scalar loop's bits.
#pragma once

#include <cstdint>

#include "video/grey_rows.hpp"

namespace video {

// An 8-bit planar Y'CbCr frame: luma w x h, each chroma plane subsampled by
// 2^shiftX across and 2^shiftY down (4:2:0 is 1, 1; 4:2:2 is 1, 0; 4:4:4 is
// 0, 0), its size rounded up. Planes 0, 1, 2 are Y', Cb, Cr.
struct YuvFrame {
  const uint8_t* plane[3] = {};
  int64_t stride[3] = {};
  int64_t w = 0, h = 0;
  int shiftX = 0, shiftY = 0;
};

// Y'CbCr to 8-bit R'G'B' in 16-bit fixed point. With Y, Cb, Cr in quarter
// steps (a sum of four samples, or one sample times 4), hi(a, b) = a b >> 16
// (arithmetic shift) and
//   t = hi(32 (Y - yOff), cy) + 17,  u = 64 (Cb - 512),  v = 64 (Cr - 512):
//   R = (t + hi(v, crv)) >> 5,  G = (t + hi(u, cgu) + hi(v, cgv)) >> 5,
//   B = (t + hi(u, cbu)) >> 5, each clamped to 0..255.
// cy counts 2^14 per unit, the others 2^13. Every operand and every partial
// sum fits 16 bits, so eight pixels share a vector register.
struct YuvMatrix {
  int32_t cy = 0, yOff = 0, crv = 0, cgu = 0, cgv = 0, cbu = 0;
};

// The matrix of luma weights kr and kb (BT.601: 0.299, 0.114; BT.709:
// 0.2126, 0.0722), for full range (0..255) or limited range (luma 16..235,
// chroma 16..240).
YuvMatrix yuvMatrix(double kr, double kb, bool fullRange);

// The rows of a Y'CbCr frame reduced by `factor` (1, or 2 for a 2 x 2 area
// average; the frame must then be exactly twice the output size), each pixel
// made 8-bit R'G'B' by the matrix and then grey, in one pass. The reduction
// averages Y', Cb and Cr before the matrix, as libswscale does. Chroma is
// taken from the sample that covers the pixel, not interpolated.
class YuvRows : public GreyRows {
 public:
  YuvRows(const YuvFrame& f, const YuvMatrix& m, int factor, bool vector = true);
  void row(int64_t y, float* out) const override;

 private:
  YuvFrame f_;
  YuvMatrix m_;
  int factor_;
  bool vector_;
};

}  // namespace video
