// The pixel geometry of the frame source, over plain buffers and free of
// FFmpeg: grey conversion of RGBA rows or of Y'CbCr planes, the axis-aligned
// orientations (flips and quarter turns) and the general resampling through
// a display matrix.
//
// Buffers are row-major, top row first. An RGBA frame holds 4 bytes per pixel
// in the order R, G, B, A (alpha unused), its rows `stride` bytes apart; grey
// buffers hold w x h floats with no padding. Grey is 0.299 R + 0.587 G +
// 0.114 B evaluated as (R 0.299 + G 0.587) + B 0.114 in single precision.
// Every vector path has a scalar twin (the `...Scalar` functions) that gives
// the same bits; the tests compare them on random buffers.
#pragma once

#include <cstdint>
#include <vector>

#include "core/tracking_core.hpp"

namespace seguir {

// The container's display matrix, linear part and translation, acting on
// top-down pixel coordinates: x' = a x + c y + tx, y' = b x + d y + ty.
struct Transform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
};

// How the stored frame becomes the displayed one. The eight axis-aligned
// matrices (every phone and camera writes one of them) are a mirroring
// (greyMirrored) or a quarter turn with mirrorings (greyTurned); anything
// else is resampled (resampleGrey).
enum class Layout { kFlip, kTranspose, kGeneral };
struct Orientation {
  Layout layout = Layout::kGeneral;
  bool flipX = false, flipY = false;
};
Orientation orientationOf(const Transform& m);

struct RgbaFrame {
  const uint8_t* data = nullptr;
  int64_t w = 0, h = 0;
  int64_t stride = 0;  // bytes from one row to the next, at least 4 w
};

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

struct GreyFrame {
  const float* p = nullptr;
  int64_t w = 0, h = 0;
};

// A grey picture in stored orientation, one row at a time: the orientations
// below pull its rows in the order they need, so that a converted frame is
// never held whole.
class GreyRows {
 public:
  GreyRows(int64_t w, int64_t h) : w(w), h(h) {}
  virtual ~GreyRows() = default;
  // Row y (0 at the top) into w floats.
  virtual void row(int64_t y, float* out) const = 0;
  const int64_t w, h;
};

// The rows of an RGBA frame, through greyLine or its scalar twin.
class RgbaRows : public GreyRows {
 public:
  RgbaRows(const RgbaFrame& f, bool vector = true) : GreyRows(f.w, f.h), f_(f), vector_(vector) {}
  void row(int64_t y, float* out) const override;

 private:
  RgbaFrame f_;
  bool vector_;
};

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

// Grey of n RGBA pixels into n floats.
void greyLine(const uint8_t* rgba, float* grey, int64_t n);
void greyLineScalar(const uint8_t* rgba, float* grey, int64_t n);

// Grey of the whole frame into src.w x src.h floats, mirrored left to right
// and/or top to bottom.
void greyMirrored(const RgbaFrame& src, bool mirrorX, bool mirrorY, float* out);
void greyMirrored(const GreyRows& src, bool mirrorX, bool mirrorY, float* out);

// Stored rows made grey at a time by a quarter turn: the strip stays in cache.
inline constexpr int64_t kTurnStripRows = 64;

// Grey of the frame turned a quarter: stored (x, y) lands in row x and column
// y of `out` (src.h wide, src.w high), the row counted from the bottom when
// `flipX`, the column from the right when `flipY`. `strip` is scratch space
// of src.w x kTurnStripRows floats.
void greyTurned(const RgbaFrame& src, bool flipX, bool flipY, float* strip, float* out);
void greyTurnedScalar(const RgbaFrame& src, bool flipX, bool flipY, float* strip, float* out);
void greyTurned(const GreyRows& src, bool flipX, bool flipY, float* strip, float* out);
void greyTurnedScalar(const GreyRows& src, bool flipX, bool flipY, float* strip, float* out);

// Only a part of a Y'CbCr frame made grey and oriented: the samples of
// `region` of the oriented picture (YuvRows(f, m, factor) mirrored as
// greyMirrored or turned as greyTurned do, by `o`, which is not kGeneral)
// written into `out`, the whole oriented picture's floats row after row;
// samples elsewhere are left as they were. Each written sample has the bits
// the whole picture's conversion gives it. The region grows to whole chroma
// samples; `scratch` holds the part before it is placed.
void greyRegion(const YuvFrame& f, const YuvMatrix& m, int factor, const Orientation& o,
                core::Region region, float* out, std::vector<float>& scratch);

// Any other matrix: each pixel centre of `out` (outW x outH, covering the
// bounding box of the natural frame mapped through `m`, translation ignored)
// is taken back through the inverse matrix into `stored`, the natural frame
// scaled to stored.w x stored.h, and sampled bilinearly. Pixels the frame
// does not cover, and the whole picture for a singular matrix, are 0.
void resampleGrey(const GreyFrame& stored, double naturalW, double naturalH, const Transform& m,
                  float* out, int64_t outW, int64_t outH);

}  // namespace seguir
