#include "tracker/pixel_geometry.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

#include "tracker/probe.hpp"  // greyOf, shared with the still images

namespace seguir {

// The vector path does, lane by lane, the same single multiplications and
// additions in the same order as greyOf (no fused multiply-add), so both give
// the same bits. The scalar loop alone took a fifth of a 1080p run in
// bench/tracker.
void greyLine(const uint8_t* s, float* d, int64_t n) {
  int64_t x = 0;
#if defined(__SSE2__)
  const __m128i byte = _mm_set1_epi32(0xff);
  const __m128 wr = _mm_set1_ps(0.299f), wg = _mm_set1_ps(0.587f), wb = _mm_set1_ps(0.114f);
  for (; x + 4 <= n; x += 4) {
    const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * x));
    const __m128 r = _mm_cvtepi32_ps(_mm_and_si128(px, byte));
    const __m128 g = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(px, 8), byte));
    const __m128 b = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(px, 16), byte));
    const __m128 v =
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(r, wr), _mm_mul_ps(g, wg)), _mm_mul_ps(b, wb));
    _mm_storeu_ps(d + x, v);
  }
#endif
  greyLineScalar(s + 4 * x, d + x, n - x);
}

void greyLineScalar(const uint8_t* s, float* d, int64_t n) {
  for (int64_t x = 0; x < n; ++x) d[x] = greyOf(s[4 * x], s[4 * x + 1], s[4 * x + 2]);
}

void RgbaRows::row(int64_t y, float* out) const {
  (vector_ ? greyLine : greyLineScalar)(f_.data + y * f_.stride, out, f_.w);
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
// the frame: it is clamped onto the pixel centres first.
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

// Quarter steps keep the 2 x 2 average exact until the matrix: the sums of
// four samples go in whole, and no rounding happens before the final shift.
YuvMatrix yuvMatrix(double kr, double kb, bool fullRange) {
  const double kg = 1 - kr - kb;
  const double ys = fullRange ? 1.0 : 255.0 / 219.0, cs = fullRange ? 1.0 : 255.0 / 224.0;
  const double unit = (1 << 15) / 4.0;  // one quarter step, before the shift
  auto fixed = [unit](double c) { return static_cast<int32_t>(std::lround(c * unit)); };
  YuvMatrix m;
  m.cy = fixed(ys);
  m.yOff = fullRange ? 0 : 16 * 4;
  m.crv = fixed(2 * (1 - kr) * cs);
  m.cgu = -fixed(2 * kb * (1 - kb) / kg * cs);
  m.cgv = -fixed(2 * kr * (1 - kr) / kg * cs);
  m.cbu = fixed(2 * (1 - kb) * cs);
  return m;
}

namespace {

constexpr int kChromaZero = 128 * 4;  // quarter steps
constexpr int kRound = 1 << 14;
constexpr int kShift = 15;

// Which samples of a plane make one output pixel x: sample x, sample x / 2
// (chroma shared by two pixels) or samples 2x and 2x + 1; from one row, or
// the sum of two rows. `shift` brings the sum to quarter steps.
enum class Tap { kSame, kDup, kPair };
struct Taps {
  const uint8_t* r0;
  const uint8_t* r1;  // null for one row
  Tap tap;
  int shift;
};

template <Tap kTap>
int sample(const uint8_t* r, int64_t x) {
  if constexpr (kTap == Tap::kSame) return r[x];
  if constexpr (kTap == Tap::kDup) return r[x >> 1];
  return r[2 * x] + r[2 * x + 1];
}

template <Tap kTap>
void gatherScalar(const Taps& t, int16_t* d, int64_t x, int64_t n) {
  for (; x < n; ++x) {
    const int v = sample<kTap>(t.r0, x) + (t.r1 ? sample<kTap>(t.r1, x) : 0);
    d[x] = static_cast<int16_t>(v << t.shift);
  }
}

#if defined(__SSE2__)
// Eight output pixels' samples as 16-bit lanes.
template <Tap kTap>
__m128i gather8(const uint8_t* r, int64_t x) {
  const __m128i zero = _mm_setzero_si128();
  if constexpr (kTap == Tap::kSame) {
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(r + x)), zero);
  } else if constexpr (kTap == Tap::kDup) {
    int32_t four;
    std::memcpy(&four, r + x / 2, sizeof four);
    const __m128i v = _mm_unpacklo_epi8(_mm_cvtsi32_si128(four), zero);
    return _mm_unpacklo_epi16(v, v);
  } else {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + 2 * x));
    const __m128i ones = _mm_set1_epi16(1);
    return _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(b, zero), ones),
                           _mm_madd_epi16(_mm_unpackhi_epi8(b, zero), ones));
  }
}
#endif

// Returns the first x left to the scalar loop.
template <Tap kTap>
int64_t gatherVector(const Taps& t, int16_t* d, int64_t n) {
  int64_t x = 0;
#if defined(__SSE2__)
  const __m128i shift = _mm_cvtsi32_si128(t.shift);
  if (t.r1) {
    for (; x + 8 <= n; x += 8) {
      const __m128i v = _mm_add_epi16(gather8<kTap>(t.r0, x), gather8<kTap>(t.r1, x));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x), _mm_sll_epi16(v, shift));
    }
  } else {
    for (; x + 8 <= n; x += 8) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x),
                       _mm_sll_epi16(gather8<kTap>(t.r0, x), shift));
    }
  }
#else
  (void)t, (void)d, (void)n;
#endif
  return x;
}

void gather(const Taps& t, int16_t* d, int64_t n, bool vector) {
  switch (t.tap) {
    case Tap::kSame:
      gatherScalar<Tap::kSame>(t, d, vector ? gatherVector<Tap::kSame>(t, d, n) : 0, n);
      break;
    case Tap::kDup:
      gatherScalar<Tap::kDup>(t, d, vector ? gatherVector<Tap::kDup>(t, d, n) : 0, n);
      break;
    case Tap::kPair:
      gatherScalar<Tap::kPair>(t, d, vector ? gatherVector<Tap::kPair>(t, d, n) : 0, n);
      break;
  }
}

void toGreyScalar(const YuvMatrix& m, const int16_t* yq, const int16_t* uq, const int16_t* vq,
                  float* out, int64_t x, int64_t n) {
  for (; x < n; ++x) {
    const int32_t y = m.cy * (yq[x] - m.yOff) + kRound;
    const int32_t u = uq[x] - kChromaZero, v = vq[x] - kChromaZero;
    const int r = std::clamp((y + m.crv * v) >> kShift, 0, 255);
    const int g = std::clamp((y + m.cgu * u + m.cgv * v) >> kShift, 0, 255);
    const int b = std::clamp((y + m.cbu * u) >> kShift, 0, 255);
    out[x] = greyOf(static_cast<unsigned>(r), static_cast<unsigned>(g), static_cast<unsigned>(b));
  }
}

// Four pixels per step in 32-bit lanes. Each product is a 16 x 16 bit
// multiply-add of a pair of lanes (Y' with the rounding term, Cb with Cr),
// so the sums are the scalar loop's exactly; the clamp is done on floats,
// which hold these small integers exactly.
int64_t toGreyVector(const YuvMatrix& m, const int16_t* yq, const int16_t* uq, const int16_t* vq,
                     float* out, int64_t n) {
  int64_t x = 0;
#if defined(__SSE2__)
  auto pair = [](int32_t lo, int32_t hi) {
    return _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(hi) << 16) |
                                               (static_cast<uint32_t>(lo) & 0xffff)));
  };
  const __m128i cyRound = pair(m.cy, kRound), cR = pair(0, m.crv), cG = pair(m.cgu, m.cgv),
                cB = pair(m.cbu, 0);
  const __m128i yOff = _mm_set1_epi16(static_cast<int16_t>(m.yOff));
  const __m128i zeroC = _mm_set1_epi16(kChromaZero), one = _mm_set1_epi16(1);
  const __m128 lo = _mm_setzero_ps(), hi = _mm_set1_ps(255.0f);
  const __m128 wr = _mm_set1_ps(0.299f), wg = _mm_set1_ps(0.587f), wb = _mm_set1_ps(0.114f);
  auto channel = [&](__m128i sum) {
    return _mm_min_ps(_mm_max_ps(_mm_cvtepi32_ps(_mm_srai_epi32(sum, kShift)), lo), hi);
  };
  auto four = [&](__m128i y1, __m128i uv, float* d) {
    const __m128i base = _mm_madd_epi16(y1, cyRound);
    const __m128 r = channel(_mm_add_epi32(base, _mm_madd_epi16(uv, cR)));
    const __m128 g = channel(_mm_add_epi32(base, _mm_madd_epi16(uv, cG)));
    const __m128 b = channel(_mm_add_epi32(base, _mm_madd_epi16(uv, cB)));
    _mm_storeu_ps(d,
                  _mm_add_ps(_mm_add_ps(_mm_mul_ps(r, wr), _mm_mul_ps(g, wg)), _mm_mul_ps(b, wb)));
  };
  for (; x + 8 <= n; x += 8) {
    const __m128i y =
        _mm_sub_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(yq + x)), yOff);
    const __m128i u =
        _mm_sub_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(uq + x)), zeroC);
    const __m128i v =
        _mm_sub_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(vq + x)), zeroC);
    four(_mm_unpacklo_epi16(y, one), _mm_unpacklo_epi16(u, v), out + x);
    four(_mm_unpackhi_epi16(y, one), _mm_unpackhi_epi16(u, v), out + x + 4);
  }
#else
  (void)m, (void)yq, (void)uq, (void)vq, (void)out, (void)n;
#endif
  return x;
}

}  // namespace

YuvRows::YuvRows(const YuvFrame& f, const YuvMatrix& m, int factor, int16_t* scratch, bool vector)
    : GreyRows(f.w / factor, f.h / factor),
      f_(f),
      m_(m),
      factor_(factor),
      scratch_(scratch),
      vector_(vector) {}

void YuvRows::row(int64_t y, float* out) const {
  const YuvFrame& f = f_;
  auto at = [&f](int p, int64_t row) { return f.plane[p] + row * f.stride[p]; };
  Taps luma, chroma;
  if (factor_ == 1) {
    luma = {at(0, y), nullptr, Tap::kSame, 2};
    chroma = {nullptr, nullptr, f.shiftX ? Tap::kDup : Tap::kSame, 2};
  } else {
    // Two output rows or columns per chroma sample in 4:2:0 and 4:2:2
    // become one: the 2 x 2 luma box lies inside one chroma sample.
    luma = {at(0, 2 * y), at(0, 2 * y + 1), Tap::kPair, 0};
    const int samples = (f.shiftX ? 1 : 2) * (f.shiftY ? 1 : 2);
    chroma = {nullptr, nullptr, f.shiftX ? Tap::kSame : Tap::kPair,
              samples == 4   ? 0
              : samples == 2 ? 1
                             : 2};
  }
  const int64_t n = w;
  int16_t* q[3] = {scratch_, scratch_ + n, scratch_ + 2 * n};
  gather(luma, q[0], n, vector_);
  for (int p = 1; p <= 2; ++p) {
    Taps c = chroma;
    if (factor_ == 1) {
      c.r0 = at(p, y >> f.shiftY);
    } else if (f.shiftY) {
      c.r0 = at(p, y);
    } else {
      c.r0 = at(p, 2 * y);
      c.r1 = at(p, 2 * y + 1);
    }
    gather(c, q[p], n, vector_);
  }
  const int64_t x = vector_ ? toGreyVector(m_, q[0], q[1], q[2], out, n) : 0;
  toGreyScalar(m_, q[0], q[1], q[2], out, x, n);
}

}  // namespace seguir
