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

}  // namespace video
