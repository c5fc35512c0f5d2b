// Display matrices other than the eight axis-aligned ones (a free rotation,
// a shear, a scale): each pixel of the displayed picture is taken back
// through the inverse matrix and sampled bilinearly.
#pragma once

#include <cstdint>

#include "video/grey_rows.hpp"
#include "video/orientation.hpp"

namespace video {

// Any other matrix: each pixel centre of `out` (outW x outH, covering the
// bounding box of the natural frame mapped through `m`, translation ignored)
// is taken back through the inverse matrix into `stored`, the natural frame
// scaled to stored.w x stored.h, and sampled bilinearly. Pixels the frame
// does not cover, and the whole picture for a singular matrix, are 0.
void resampleGrey(const GreyFrame& stored, double naturalW, double naturalH, const Transform& m,
                  float* out, int64_t outW, int64_t outH);

// The same for 8-bit B, G, R pixels, rows `stride` bytes apart; each
// channel is interpolated and rounded, and uncovered pixels are black.
void resampleBgr(const uint8_t* stored, int64_t stride, int64_t sw, int64_t sh, double naturalW,
                 double naturalH, const Transform& m, uint8_t* out, int64_t outW, int64_t outH);

}  // namespace video
