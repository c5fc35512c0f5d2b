#include "tracker/pixel_geometry.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif
// AVX2 is chosen at run time: the build targets plain x86-64.
#if defined(__x86_64__) && defined(__GNUC__)
#define SEGUIR_AVX2 1
#include <immintrin.h>
#endif

#include "tracker/probe.hpp"  // greyOf, shared with the still images

namespace seguir {

Orientation orientationOf(const Transform& m) {
  if (m.b == 0 && m.c == 0 && m.a != 0 && m.d != 0) return {Layout::kFlip, m.a < 0, m.d < 0};
  // x' = c y, y' = b x: stored rows become displayed columns; stored x runs
  // against displayed y when b < 0, stored y against displayed x when c < 0.
  if (m.a == 0 && m.d == 0 && m.b != 0 && m.c != 0) return {Layout::kTranspose, m.b < 0, m.c < 0};
  return {};
}

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
// four samples go in whole.
YuvMatrix yuvMatrix(double kr, double kb, bool fullRange) {
  const double kg = 1 - kr - kb;
  const double ys = fullRange ? 1.0 : 255.0 / 219.0, cs = fullRange ? 1.0 : 255.0 / 224.0;
  auto fixed = [](double c, double unit) { return static_cast<int32_t>(std::lround(c * unit)); };
  YuvMatrix m;
  m.cy = fixed(ys, 16384);
  m.yOff = fullRange ? 0 : 16 * 4;
  m.crv = fixed(2 * (1 - kr) * cs, 8192);
  m.cgu = -fixed(2 * kb * (1 - kb) / kg * cs, 8192);
  m.cgv = -fixed(2 * kr * (1 - kr) / kg * cs, 8192);
  m.cbu = fixed(2 * (1 - kb) * cs, 8192);
  return m;
}

namespace {

constexpr int kChromaZero = 128 * 4;  // quarter steps
// Half of the final shift by 5, and one more: the products are truncated,
// which would leave every channel about 1/32 level low on average.
constexpr int kRound = 17;

// Which samples of a plane make one output pixel x: sample x, sample x / 2
// (chroma shared by two pixels) or samples 2x and 2x + 1; from one row, or
// the sum of two rows.
enum class Tap { kSame, kDup, kPair };

constexpr int quarterShift(Tap tap, bool twoRows) {
  return 2 - (tap == Tap::kPair ? 1 : 0) - (twoRows ? 1 : 0);
}

struct PlaneRows {
  const uint8_t* r0;
  const uint8_t* r1;  // the second row of a two-row sum, else null
};

template <Tap kTap>
int sample(const uint8_t* r, int64_t x) {
  if constexpr (kTap == Tap::kSame) return r[x];
  if constexpr (kTap == Tap::kDup) return r[x >> 1];
  return r[2 * x] + r[2 * x + 1];
}

// The sample sum of pixel x in quarter steps.
template <Tap kTap, bool kTwo>
int quarters(const PlaneRows& p, int64_t x) {
  int v = sample<kTap>(p.r0, x);
  if constexpr (kTwo) v += sample<kTap>(p.r1, x);
  return v << quarterShift(kTap, kTwo);
}

inline int mulHigh(int a, int b) {
  return (a * b) >> 16;
}

template <Tap kLuma, Tap kChroma, bool kTwoChroma>
void toGreyScalar(const YuvMatrix& m, const PlaneRows* p, float* out, int64_t x, int64_t n) {
  constexpr bool kTwoLuma = kLuma == Tap::kPair;
  for (; x < n; ++x) {
    const int t = mulHigh((quarters<kLuma, kTwoLuma>(p[0], x) - m.yOff) * 32, m.cy) + kRound;
    const int u = (quarters<kChroma, kTwoChroma>(p[1], x) - kChromaZero) * 64;
    const int v = (quarters<kChroma, kTwoChroma>(p[2], x) - kChromaZero) * 64;
    const int r = std::clamp((t + mulHigh(v, m.crv)) >> 5, 0, 255);
    const int g = std::clamp((t + mulHigh(u, m.cgu) + mulHigh(v, m.cgv)) >> 5, 0, 255);
    const int b = std::clamp((t + mulHigh(u, m.cbu)) >> 5, 0, 255);
    out[x] = greyOf(static_cast<unsigned>(r), static_cast<unsigned>(g), static_cast<unsigned>(b));
  }
}

// The constants of the vector loops, each broadcast to every 16-bit lane.
// (C - 512) 64 is taken as a wrapping 16-bit difference: the true value fits.
enum Lane { kYOff, kRoundUp, kChromaZero64, kCy, kCrv, kCgu, kCgv, kCbu, kLanes };
using Lanes = std::array<int16_t, kLanes>;

Lanes lanes(const YuvMatrix& m) {
  auto i16 = [](int v) { return static_cast<int16_t>(v); };
  return {i16(m.yOff * 32), i16(kRound), i16(-32768), i16(m.cy),
          i16(m.crv),       i16(m.cgu),  i16(m.cgv),  i16(m.cbu)};
}

#if defined(__SSE2__)
// Eight output pixels' sample sums as 16-bit lanes.
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

template <Tap kTap, bool kTwo>
__m128i sums8(const PlaneRows& p, int64_t x) {
  if constexpr (kTwo) return _mm_add_epi16(gather8<kTap>(p.r0, x), gather8<kTap>(p.r1, x));
  return gather8<kTap>(p.r0, x);
}

__m128 greyOf4(__m128i r, __m128i g, __m128i b) {
  const __m128 wr = _mm_set1_ps(0.299f), wg = _mm_set1_ps(0.587f), wb = _mm_set1_ps(0.114f);
  return _mm_add_ps(
      _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(r), wr), _mm_mul_ps(_mm_cvtepi32_ps(g), wg)),
      _mm_mul_ps(_mm_cvtepi32_ps(b), wb));
}
#endif

// Eight pixels per step in 16-bit lanes: _mm_mulhi_epi16 is mulHigh, the
// sums cannot overflow (see YuvMatrix), and the saturating pack to bytes is
// the clamp, so the lanes hold the scalar loop's numbers exactly. Returns
// the first x left to the scalar loop.
template <Tap kLuma, Tap kChroma, bool kTwoChroma>
int64_t toGreyVector(const YuvMatrix& m, const PlaneRows* p, float* out, int64_t x, int64_t n) {
#if defined(__SSE2__)
  constexpr bool kTwoLuma = kLuma == Tap::kPair;
  constexpr int kLumaShift = quarterShift(kLuma, kTwoLuma) + 5;
  constexpr int kChromaShift = quarterShift(kChroma, kTwoChroma) + 6;
  const __m128i zero = _mm_setzero_si128();
  const Lanes l = lanes(m);
  __m128i c[kLanes];
  for (int i = 0; i < kLanes; ++i) c[i] = _mm_set1_epi16(l[i]);
  const __m128i yOff = c[kYOff], round = c[kRoundUp], chromaZero = c[kChromaZero64];
  const __m128i cy = c[kCy], crv = c[kCrv], cgu = c[kCgu], cgv = c[kCgv], cbu = c[kCbu];
  for (; x + 8 <= n; x += 8) {
    const __m128i y =
        _mm_sub_epi16(_mm_slli_epi16(sums8<kLuma, kTwoLuma>(p[0], x), kLumaShift), yOff);
    const __m128i u = _mm_sub_epi16(
        _mm_slli_epi16(sums8<kChroma, kTwoChroma>(p[1], x), kChromaShift), chromaZero);
    const __m128i v = _mm_sub_epi16(
        _mm_slli_epi16(sums8<kChroma, kTwoChroma>(p[2], x), kChromaShift), chromaZero);
    const __m128i t = _mm_add_epi16(_mm_mulhi_epi16(y, cy), round);
    const __m128i r = _mm_srai_epi16(_mm_add_epi16(t, _mm_mulhi_epi16(v, crv)), 5);
    const __m128i g = _mm_srai_epi16(
        _mm_add_epi16(_mm_add_epi16(t, _mm_mulhi_epi16(u, cgu)), _mm_mulhi_epi16(v, cgv)), 5);
    const __m128i b = _mm_srai_epi16(_mm_add_epi16(t, _mm_mulhi_epi16(u, cbu)), 5);
    const __m128i rg = _mm_packus_epi16(r, g);  // bytes R0..R7 G0..G7, clamped
    const __m128i r16 = _mm_unpacklo_epi8(rg, zero), g16 = _mm_unpackhi_epi8(rg, zero);
    const __m128i b16 = _mm_unpacklo_epi8(_mm_packus_epi16(b, b), zero);
    _mm_storeu_ps(out + x, greyOf4(_mm_unpacklo_epi16(r16, zero), _mm_unpacklo_epi16(g16, zero),
                                   _mm_unpacklo_epi16(b16, zero)));
    _mm_storeu_ps(out + x + 4, greyOf4(_mm_unpackhi_epi16(r16, zero), _mm_unpackhi_epi16(g16, zero),
                                       _mm_unpackhi_epi16(b16, zero)));
  }
#else
  (void)m, (void)p, (void)out, (void)n;
#endif
  return x;
}

#if defined(SEGUIR_AVX2)
// The same numbers sixteen pixels at a time. AVX2 packs and unpacks within
// 128-bit halves, so the samples are widened in order instead (cvtepu8,
// maddubs for pairs) and the clamp is a max and a min.
template <Tap kTap>
__attribute__((target("avx2"))) __m256i gather16(const uint8_t* r, int64_t x) {
  if constexpr (kTap == Tap::kSame) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r + x)));
  } else if constexpr (kTap == Tap::kDup) {
    const __m256i v =
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(r + x / 2)));
    return _mm256_or_si256(v, _mm256_slli_epi32(v, 16));
  } else {
    return _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r + 2 * x)),
                                _mm256_set1_epi8(1));
  }
}

template <Tap kTap, bool kTwo>
__attribute__((target("avx2"))) __m256i sums16(const PlaneRows& p, int64_t x) {
  if constexpr (kTwo) return _mm256_add_epi16(gather16<kTap>(p.r0, x), gather16<kTap>(p.r1, x));
  return gather16<kTap>(p.r0, x);
}

__attribute__((target("avx2"))) void storeGrey8(float* d, __m128i r, __m128i g, __m128i b) {
  const __m256 wr = _mm256_set1_ps(0.299f), wg = _mm256_set1_ps(0.587f);
  const __m256 wb = _mm256_set1_ps(0.114f);
  const __m256 rf = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(r));
  const __m256 gf = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(g));
  const __m256 bf = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(b));
  _mm256_storeu_ps(d, _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(rf, wr), _mm256_mul_ps(gf, wg)),
                                    _mm256_mul_ps(bf, wb)));
}

template <Tap kLuma, Tap kChroma, bool kTwoChroma>
__attribute__((target("avx2"))) int64_t toGreyAvx2(const YuvMatrix& m, const PlaneRows* p,
                                                   float* out, int64_t n) {
  constexpr bool kTwoLuma = kLuma == Tap::kPair;
  constexpr int kLumaShift = quarterShift(kLuma, kTwoLuma) + 5;
  constexpr int kChromaShift = quarterShift(kChroma, kTwoChroma) + 6;
  const __m256i zero = _mm256_setzero_si256(), top = _mm256_set1_epi16(255);
  const Lanes l = lanes(m);
  __m256i c[kLanes];
  for (int i = 0; i < kLanes; ++i) c[i] = _mm256_set1_epi16(l[i]);
  const __m256i yOff = c[kYOff], round = c[kRoundUp], chromaZero = c[kChromaZero64];
  const __m256i cy = c[kCy], crv = c[kCrv], cgu = c[kCgu], cgv = c[kCgv], cbu = c[kCbu];
  int64_t x = 0;
  for (; x + 16 <= n; x += 16) {
    const __m256i y =
        _mm256_sub_epi16(_mm256_slli_epi16(sums16<kLuma, kTwoLuma>(p[0], x), kLumaShift), yOff);
    const __m256i u = _mm256_sub_epi16(
        _mm256_slli_epi16(sums16<kChroma, kTwoChroma>(p[1], x), kChromaShift), chromaZero);
    const __m256i v = _mm256_sub_epi16(
        _mm256_slli_epi16(sums16<kChroma, kTwoChroma>(p[2], x), kChromaShift), chromaZero);
    const __m256i t = _mm256_add_epi16(_mm256_mulhi_epi16(y, cy), round);
    __m256i r = _mm256_srai_epi16(_mm256_add_epi16(t, _mm256_mulhi_epi16(v, crv)), 5);
    __m256i g = _mm256_srai_epi16(_mm256_add_epi16(_mm256_add_epi16(t, _mm256_mulhi_epi16(u, cgu)),
                                                   _mm256_mulhi_epi16(v, cgv)),
                                  5);
    __m256i b = _mm256_srai_epi16(_mm256_add_epi16(t, _mm256_mulhi_epi16(u, cbu)), 5);
    r = _mm256_min_epi16(_mm256_max_epi16(r, zero), top);
    g = _mm256_min_epi16(_mm256_max_epi16(g, zero), top);
    b = _mm256_min_epi16(_mm256_max_epi16(b, zero), top);
    storeGrey8(out + x, _mm256_castsi256_si128(r), _mm256_castsi256_si128(g),
               _mm256_castsi256_si128(b));
    storeGrey8(out + x + 8, _mm256_extracti128_si256(r, 1), _mm256_extracti128_si256(g, 1),
               _mm256_extracti128_si256(b, 1));
  }
  return x;
}

bool hasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

template <Tap kLuma, Tap kChroma, bool kTwoChroma>
void toGrey(const YuvMatrix& m, const PlaneRows* p, float* out, int64_t n, bool vector) {
  int64_t x = 0;
  if (vector) {
#if defined(SEGUIR_AVX2)
    if (hasAvx2()) x = toGreyAvx2<kLuma, kChroma, kTwoChroma>(m, p, out, n);
#endif
    x = toGreyVector<kLuma, kChroma, kTwoChroma>(m, p, out, x, n);
  }
  toGreyScalar<kLuma, kChroma, kTwoChroma>(m, p, out, x, n);
}

}  // namespace

YuvRows::YuvRows(const YuvFrame& f, const YuvMatrix& m, int factor, bool vector)
    : GreyRows(f.w / factor, f.h / factor), f_(f), m_(m), factor_(factor), vector_(vector) {}

// One loop per case, chosen once per row.
void YuvRows::row(int64_t y, float* out) const {
  const YuvFrame& f = f_;
  auto at = [&f](int p, int64_t row) { return f.plane[p] + row * f.stride[p]; };
  PlaneRows p[3];
  if (factor_ == 1) {
    p[0] = {at(0, y), nullptr};
    for (int c = 1; c <= 2; ++c) p[c] = {at(c, y >> f.shiftY), nullptr};
    if (f.shiftX) {
      toGrey<Tap::kSame, Tap::kDup, false>(m_, p, out, w, vector_);
    } else {
      toGrey<Tap::kSame, Tap::kSame, false>(m_, p, out, w, vector_);
    }
    return;
  }
  // The 2 x 2 luma box of an output pixel lies inside one chroma sample of
  // 4:2:0, two of 4:2:2 (one above the other) and four of 4:4:4.
  p[0] = {at(0, 2 * y), at(0, 2 * y + 1)};
  for (int c = 1; c <= 2; ++c) {
    p[c] = f.shiftY ? PlaneRows{at(c, y), nullptr} : PlaneRows{at(c, 2 * y), at(c, 2 * y + 1)};
  }
  if (f.shiftX && f.shiftY) {
    toGrey<Tap::kPair, Tap::kSame, false>(m_, p, out, w, vector_);
  } else if (f.shiftX) {
    toGrey<Tap::kPair, Tap::kSame, true>(m_, p, out, w, vector_);
  } else {
    toGrey<Tap::kPair, Tap::kPair, true>(m_, p, out, w, vector_);
  }
}

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

}  // namespace seguir
