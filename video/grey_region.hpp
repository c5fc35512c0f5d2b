// Only the part of a frame that the tracker will read, made grey and
// oriented: the rest of a 4K or 1080p frame is never converted.
#pragma once

#include <vector>

#include "core/tracking_core.hpp"
#include "video/orientation.hpp"
#include "video/yuv_grey.hpp"

namespace video {

// Only a part of a Y'CbCr frame made grey and oriented: the samples of
// `region` of the oriented picture (YuvRows(f, m, factor) mirrored as
// greyMirrored or turned as greyTurned do, by `o`, which is not kGeneral)
// written into `out`, the whole oriented picture's floats row after row;
// samples elsewhere are left as they were. Each written sample has the bits
// the whole picture's conversion gives it. The region grows to whole chroma
// samples; `scratch` holds the part before it is placed.
void greyRegion(const YuvFrame& f, const YuvMatrix& m, int factor, const Orientation& o,
                core::Region region, float* out, std::vector<float>& scratch);

}  // namespace video
