#include "video/orientation.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

namespace video {

Orientation orientationOf(const Transform& m) {
  if (m.b == 0 && m.c == 0 && m.a != 0 && m.d != 0) return {Layout::kFlip, m.a < 0, m.d < 0};
  // x' = c y, y' = b x: stored rows become displayed columns; stored x runs
  // against displayed y when b < 0, stored y against displayed x when c < 0.
  if (m.a == 0 && m.d == 0 && m.b != 0 && m.c != 0) return {Layout::kTranspose, m.b < 0, m.c < 0};
  return {};
}

void greyMirrored(const GreyRows& src, bool mirrorX, bool mirrorY, float* out) {
  for (int64_t y = 0; y < src.h; ++y) {
    float* d = out + y * src.w;
    src.row(mirrorY ? src.h - 1 - y : y, d);
    if (mirrorX) std::reverse(d, d + src.w);
  }
}

void greyMirrored(const RgbaFrame& src, bool mirrorX, bool mirrorY, float* out) {
  greyMirrored(RgbaRows(src), mirrorX, mirrorY, out);
}

namespace {

// Where a quarter turn writes: stored column x becomes this row of `out`,
// whose rows are `sh` wide; stored row y becomes column y (or sh - 1 - y).
struct Turn {
  int64_t sw, sh;
  bool flipX, flipY;
  float* out;
  float* row(int64_t x) const { return out + (flipX ? sw - 1 - x : x) * sh; }
};

// Stored columns x.. of a strip of n rows that starts at stored row y0.
void turnColumns(const Turn& t, const float* strip, int64_t y0, int64_t n, int64_t x) {
  for (; x < t.sw; ++x) {
    float* row = t.row(x);
    const float* col = strip + x;
    if (t.flipY) {
      float* d = row + (t.sh - 1 - y0);
      for (int64_t k = 0; k < n; ++k) d[-k] = col[k * t.sw];
    } else {
      float* d = row + y0;
      for (int64_t k = 0; k < n; ++k) d[k] = col[k * t.sw];
    }
  }
}

// 4 x 4 blocks of a full strip: four stored rows in, four displayed rows out;
// a transpose through memory costs twice as much. Returns the first stored
// column left for turnColumns.
int64_t turnBlocks(const Turn& t, const float* strip, int64_t y0) {
  int64_t x = 0;
#if defined(__SSE2__)
  const int64_t sw = t.sw;
  for (; x + 4 <= sw; x += 4) {
    for (int64_t k = 0; k < kTurnStripRows; k += 4) {
      const float* src = strip + k * sw + x;
      __m128 r0 = _mm_loadu_ps(src), r1 = _mm_loadu_ps(src + sw);
      __m128 r2 = _mm_loadu_ps(src + 2 * sw), r3 = _mm_loadu_ps(src + 3 * sw);
      _MM_TRANSPOSE4_PS(r0, r1, r2, r3);  // r_i now holds column x + i
      const __m128 cols[4] = {r0, r1, r2, r3};
      for (int i = 0; i < 4; ++i) {
        float* row = t.row(x + i);
        if (t.flipY) {
          _mm_storeu_ps(row + (t.sh - 1 - y0 - k - 3),
                        _mm_shuffle_ps(cols[i], cols[i], _MM_SHUFFLE(0, 1, 2, 3)));
        } else {
          _mm_storeu_ps(row + y0 + k, cols[i]);
        }
      }
    }
  }
#else
  (void)t, (void)strip, (void)y0;
#endif
  return x;
}

template <bool kVector>
void turned(const GreyRows& src, bool flipX, bool flipY, float* strip, float* out) {
  const Turn t{src.w, src.h, flipX, flipY, out};
  for (int64_t y0 = 0; y0 < src.h; y0 += kTurnStripRows) {
    const int64_t n = std::min(kTurnStripRows, src.h - y0);
    for (int64_t k = 0; k < n; ++k) src.row(y0 + k, strip + k * src.w);
    const int64_t x = kVector && n == kTurnStripRows ? turnBlocks(t, strip, y0) : 0;
    turnColumns(t, strip, y0, n, x);
  }
}

}  // namespace

void greyTurned(const GreyRows& src, bool flipX, bool flipY, float* strip, float* out) {
  turned<true>(src, flipX, flipY, strip, out);
}

void greyTurnedScalar(const GreyRows& src, bool flipX, bool flipY, float* strip, float* out) {
  turned<false>(src, flipX, flipY, strip, out);
}

void greyTurned(const RgbaFrame& src, bool flipX, bool flipY, float* strip, float* out) {
  turned<true>(RgbaRows(src, true), flipX, flipY, strip, out);
}

void greyTurnedScalar(const RgbaFrame& src, bool flipX, bool flipY, float* strip, float* out) {
  turned<false>(RgbaRows(src, false), flipX, flipY, strip, out);
}

namespace {

struct Box {
  double minX = 0, maxX = 0, minY = 0, maxY = 0;
};

// The natural frame's corners through the linear part of the matrix.
Box mappedBounds(const Transform& m, double nw, double nh) {
  Box b;
  for (auto [x, y] : {std::pair{nw, 0.0}, std::pair{0.0, nh}, std::pair{nw, nh}}) {
    const double X = m.a * x + m.c * y, Y = m.b * x + m.d * y;
    b.minX = std::min(b.minX, X);
    b.maxX = std::max(b.maxX, X);
    b.minY = std::min(b.minY, Y);
    b.maxY = std::max(b.maxY, Y);
  }
  return b;
}

// Bilinear value at (sx, sy), a point known to lie within half a pixel of
// the frame: it is clamped onto the pixel centres first. Not the tracking
// core's sampler, which stops a thousandth short of the last pixel so that
// its right and lower neighbours always exist: here the last row and column
// must come out exactly, and a frame may be one pixel wide.
float bilinear(const GreyFrame& g, double sx, double sy) {
  const int64_t sw = g.w, sh = g.h;
  const double cx = std::clamp(sx, 0.0, static_cast<double>(sw - 1));
  const double cy = std::clamp(sy, 0.0, static_cast<double>(sh - 1));
  const int64_t ix = std::min(static_cast<int64_t>(cx), sw - 2 < 0 ? 0 : sw - 2);
  const int64_t iy = std::min(static_cast<int64_t>(cy), sh - 2 < 0 ? 0 : sh - 2);
  const int64_t jx = std::min(ix + 1, sw - 1), jy = std::min(iy + 1, sh - 1);
  const float fx = static_cast<float>(cx - static_cast<double>(ix));
  const float fy = static_cast<float>(cy - static_cast<double>(iy));
  const float* s = g.p;
  const float top = s[iy * sw + ix] + (s[iy * sw + jx] - s[iy * sw + ix]) * fx;
  const float bot = s[jy * sw + ix] + (s[jy * sw + jx] - s[jy * sw + ix]) * fx;
  return top + (bot - top) * fy;
}

}  // namespace

void resampleGrey(const GreyFrame& stored, double nw, double nh, const Transform& m, float* out,
                  int64_t outW, int64_t outH) {
  std::fill(out, out + outW * outH, 0.0f);
  const double det = m.a * m.d - m.b * m.c;
  if (det == 0 || !std::isfinite(det)) return;
  const Box box = mappedBounds(m, nw, nh);
  const double kx = (box.maxX - box.minX) / static_cast<double>(outW);
  const double ky = (box.maxY - box.minY) / static_cast<double>(outH);
  const double sw = static_cast<double>(stored.w), sh = static_cast<double>(stored.h);
  const double toSx = sw / nw, toSy = sh / nh;
  for (int64_t Y = 0; Y < outH; ++Y) {
    const double py = box.minY + (static_cast<double>(Y) + 0.5) * ky;
    for (int64_t X = 0; X < outW; ++X) {
      const double px = box.minX + (static_cast<double>(X) + 0.5) * kx;
      const double sx = (m.d * px - m.c * py) / det * toSx - 0.5;
      const double sy = (m.a * py - m.b * px) / det * toSy - 0.5;
      if (sx >= -0.5 && sx <= sw - 0.5 && sy >= -0.5 && sy <= sh - 0.5) {
        out[Y * outW + X] = bilinear(stored, sx, sy);
      }
    }
  }
}

}  // namespace video
