// How a stored frame becomes the displayed one: the container's display
// matrix, applied to grey rows (grey_rows.hpp) as a mirroring or a quarter
// turn; any other matrix is resampled (resample.hpp).
#pragma once

#include <cstdint>

#include "video/grey_rows.hpp"

namespace video {

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

}  // namespace video
