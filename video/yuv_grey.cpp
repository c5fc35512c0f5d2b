#include "video/yuv_grey.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// AVX2 is chosen at run time: the build targets plain x86-64.
#if defined(__x86_64__) && defined(__GNUC__)
#define VIDEO_AVX2 1
#include <immintrin.h>
#endif

#include "core/cpu_features.hpp"
#include "core/grey.hpp"

namespace video {

using core::greyOf;

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

#if defined(VIDEO_AVX2)
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

#endif

template <Tap kLuma, Tap kChroma, bool kTwoChroma>
void toGrey(const YuvMatrix& m, const PlaneRows* p, float* out, int64_t n, bool vector) {
  int64_t x = 0;
  if (vector) {
#if defined(VIDEO_AVX2)
    if (core::hasAvx2()) x = toGreyAvx2<kLuma, kChroma, kTwoChroma>(m, p, out, n);
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

}  // namespace video
