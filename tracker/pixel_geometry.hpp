// The pixel geometry of the frame source, over plain buffers and free of
// FFmpeg: grey conversion of RGBA rows, the axis-aligned orientations (flips
// and quarter turns) and the general resampling through a display matrix.
//
// Buffers are row-major, top row first. An RGBA frame holds 4 bytes per pixel
// in the order R, G, B, A (alpha unused), its rows `stride` bytes apart; grey
// buffers hold w x h floats with no padding. Grey is 0.299 R + 0.587 G +
// 0.114 B evaluated as (R 0.299 + G 0.587) + B 0.114 in single precision.
// Every vector path has a scalar twin (the `...Scalar` functions) that gives
// the same bits; the tests compare them on random buffers.
#pragma once

#include <cstdint>

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

struct GreyFrame {
  const float* p = nullptr;
  int64_t w = 0, h = 0;
};

// Grey of n RGBA pixels into n floats.
void greyLine(const uint8_t* rgba, float* grey, int64_t n);
void greyLineScalar(const uint8_t* rgba, float* grey, int64_t n);

// Grey of the whole frame into src.w x src.h floats, mirrored left to right
// and/or top to bottom.
void greyMirrored(const RgbaFrame& src, bool mirrorX, bool mirrorY, float* out);

// Stored rows made grey at a time by a quarter turn: the strip stays in cache.
inline constexpr int64_t kTurnStripRows = 64;

// Grey of the frame turned a quarter: stored (x, y) lands in row x and column
// y of `out` (src.h wide, src.w high), the row counted from the bottom when
// `flipX`, the column from the right when `flipY`. `strip` is scratch space
// of src.w x kTurnStripRows floats.
void greyTurned(const RgbaFrame& src, bool flipX, bool flipY, float* strip, float* out);
void greyTurnedScalar(const RgbaFrame& src, bool flipX, bool flipY, float* strip, float* out);

// Any other matrix: each pixel centre of `out` (outW x outH, covering the
// bounding box of the natural frame mapped through `m`, translation ignored)
// is taken back through the inverse matrix into `stored`, the natural frame
// scaled to stored.w x stored.h, and sampled bilinearly. Pixels the frame
// does not cover, and the whole picture for a singular matrix, are 0.
void resampleGrey(const GreyFrame& stored, double naturalW, double naturalH, const Transform& m,
                  float* out, int64_t outW, int64_t outH);

}  // namespace seguir
