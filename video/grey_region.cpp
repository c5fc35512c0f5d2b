#include "video/grey_region.hpp"

#include <algorithm>

namespace video {

namespace {

// The part of the stored (scaled) frame behind a region of the oriented
// picture. Its columns start on a chroma sample (a reduced frame's do
// already: each output column starts on an even luma column), so the part's
// chroma lines up with the whole frame's.
core::Region storedPart(const YuvFrame& f, int factor, const Orientation& o,
                        const core::Region& region) {
  const int64_t sw = f.w / factor, sh = f.h / factor;
  // Region columns are stored columns, or stored rows when turned.
  const core::Region across = o.layout == Layout::kTranspose
                                  ? core::Region{region.y0, region.x0, region.y1, region.x1}
                                  : region;
  core::Region s{o.flipX ? sw - across.x1 : across.x0, o.flipY ? sh - across.y1 : across.y0,
                 o.flipX ? sw - across.x0 : across.x1, o.flipY ? sh - across.y0 : across.y1};
  s = {std::max<int64_t>(s.x0, 0), std::max<int64_t>(s.y0, 0), std::min(s.x1, sw),
       std::min(s.y1, sh)};
  if (factor == 1) {
    s.x0 = s.x0 >> f.shiftX << f.shiftX;
    s.y0 = s.y0 >> f.shiftY << f.shiftY;
  }
  return s;
}

}  // namespace

// The part is made grey and oriented aside, then placed where its first
// stored column and row land.
void greyRegion(const YuvFrame& f, const YuvMatrix& m, int factor, const Orientation& o,
                core::Region region, float* out, std::vector<float>& scratch) {
  const int64_t sw = f.w / factor, sh = f.h / factor;
  const bool turn = o.layout == Layout::kTranspose;
  const core::Region s = storedPart(f, factor, o, region);
  if (s.x0 >= s.x1 || s.y0 >= s.y1) return;
  YuvFrame part = f;
  const int64_t lx = factor * s.x0, ly = factor * s.y0;
  part.plane[0] += ly * f.stride[0] + lx;
  for (int p = 1; p < 3; ++p) part.plane[p] += (ly >> f.shiftY) * f.stride[p] + (lx >> f.shiftX);
  part.w = factor * (s.x1 - s.x0);
  part.h = factor * (s.y1 - s.y0);
  const YuvRows rows(part, m, factor);
  const int64_t pw = s.x1 - s.x0, ph = s.y1 - s.y0;
  const int64_t firstX = o.flipX ? sw - s.x1 : s.x0, firstY = o.flipY ? sh - s.y1 : s.y0;
  // The whole picture goes straight to `out`.
  const bool whole = pw == sw && ph == sh;
  if (turn) {
    scratch.resize(static_cast<size_t>((whole ? 0 : pw * ph) + pw * kTurnStripRows));
    float* strip = scratch.data() + (whole ? 0 : pw * ph);
    greyTurned(rows, o.flipX, o.flipY, strip, whole ? out : scratch.data());
    if (whole) return;
    for (int64_t r = 0; r < pw; ++r) {
      std::copy_n(scratch.data() + r * ph, ph, out + (firstX + r) * sh + firstY);
    }
  } else if (whole) {
    greyMirrored(rows, o.flipX, o.flipY, out);
  } else {
    scratch.resize(static_cast<size_t>(pw * ph));
    greyMirrored(rows, o.flipX, o.flipY, scratch.data());
    for (int64_t r = 0; r < ph; ++r) {
      std::copy_n(scratch.data() + r * pw, pw, out + (firstY + r) * sw + firstX);
    }
  }
}

}  // namespace video
