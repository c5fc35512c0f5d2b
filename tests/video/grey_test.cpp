// The frame source's pixel geometry and its direct Y'CbCr-to-grey pass on
// random buffers: each vector path gives the bits of its scalar twin, and the
// fast layouts give the picture that the general resampling defines for their
// matrices. How the frame source uses them is frame_source_test's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "video/grey_region.hpp"
#include "video/grey_rows.hpp"
#include "video/orientation.hpp"
#include "video/resample.hpp"
#include "video/yuv_grey.hpp"

namespace video {
namespace {

struct Format {
  const char* name;
  int shiftX, shiftY;
};
constexpr Format kFormats[] = {{"420", 1, 1}, {"422", 1, 0}, {"444", 0, 0}};

// Random planes of w x h luma, rows padded by a few bytes so that a stride
// mistake shows, every byte value possible so that the clamps are reached.
struct Planes {
  Planes(int64_t w, int64_t h, const Format& fmt, std::mt19937& rng)
      : f{{}, {}, w, h, fmt.shiftX, fmt.shiftY} {
    std::uniform_int_distribution<int> byte(0, 255);
    for (int p = 0; p < 3; ++p) {
      const int64_t pw = p ? (w + (1 << fmt.shiftX) - 1) >> fmt.shiftX : w;
      const int64_t ph = p ? (h + (1 << fmt.shiftY) - 1) >> fmt.shiftY : h;
      f.stride[p] = pw + 5;
      data[p].resize(static_cast<size_t>(f.stride[p] * ph));
      for (auto& b : data[p]) b = static_cast<uint8_t>(byte(rng));
      f.plane[p] = data[p].data();
    }
  }
  YuvFrame f;
  std::vector<uint8_t> data[3];
};

template <class Rows>
std::vector<float> mirrored(const Rows& rows, bool mx, bool my) {
  std::vector<float> out(static_cast<size_t>(rows.w * rows.h));
  greyMirrored(rows, mx, my, out.data());
  return out;
}

// A quarter turn of grey rows or of an RGBA frame, by either path.
template <class Rows>
std::vector<float> turned(const Rows& rows, bool fx, bool fy, bool vector) {
  std::vector<float> strip(static_cast<size_t>(rows.w * kTurnStripRows));
  std::vector<float> out(static_cast<size_t>(rows.w * rows.h), -1.0f);
  if (vector) {
    greyTurned(rows, fx, fy, strip.data(), out.data());
  } else {
    greyTurnedScalar(rows, fx, fy, strip.data(), out.data());
  }
  return out;
}

// A random RGBA frame whose rows are padded to a stride of their own.
struct RandomRgba {
  RandomRgba(int64_t w, int64_t h, uint32_t seed)
      : bytes(static_cast<size_t>((4 * w + 12) * h)), frame{bytes.data(), w, h, 4 * w + 12} {
    std::mt19937 rng(seed);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  }
  std::vector<uint8_t> bytes;
  RgbaFrame frame;
};

// Widths that leave tails after the 16- and 8-pixel steps; heights over one
// strip of 64 rows, so the 4 x 4 blocks of a quarter turn run, and odd
// widths, so the scalar columns finish each strip.
TEST(PixelGeometry, RgbaVectorPathsAreTheirScalarTwins) {
  const std::pair<int64_t, int64_t> sizes[] = {{37, 131}, {5, 64}, {3, 9},  {67, 193},
                                               {1, 1},    {4, 2},  {257, 3}};
  for (const auto& [w, h] : sizes) {
    const RandomRgba src(w, h, static_cast<uint32_t>(w * 1000 + h));
    std::vector<float> fast(static_cast<size_t>(w)), slow(static_cast<size_t>(w));
    greyLine(src.bytes.data(), fast.data(), w);
    greyLineScalar(src.bytes.data(), slow.data(), w);
    EXPECT_EQ(fast, slow) << w;  // bit for bit (no NaN can arise)
    for (int flips = 0; flips < 4; ++flips) {
      const bool flipX = flips & 1, flipY = flips & 2;
      EXPECT_EQ(turned(src.frame, flipX, flipY, true), turned(src.frame, flipX, flipY, false))
          << w << "x" << h << " flips " << flips;
    }
  }
}

// Every axis-aligned matrix through its fast layout, against the general
// resampling of the same matrix (the translation has no effect on either).
// The resampling's interpolation at the last row and column may differ in
// the last bit.
TEST(PixelGeometry, FastLayoutsShowWhatTheMatrixMeans) {
  const int64_t w = 37, h = 69;
  const RandomRgba src(w, h, 5u);
  const std::vector<float> grey = mirrored(src.frame, false, false);
  const Transform axisAligned[] = {
      {1, 0, 0, 1, 7, -3}, {-1, 0, 0, 1, 7, -3}, {1, 0, 0, -1, 7, -3}, {-1, 0, 0, -1, 7, -3},
      {0, 1, 1, 0, 7, -3}, {0, -1, 1, 0, 7, -3}, {0, 1, -1, 0, 7, -3}, {0, -1, -1, 0, 7, -3}};
  for (const Transform& m : axisAligned) {
    const Orientation o = orientationOf(m);
    const bool quarter = m.a == 0;
    ASSERT_EQ(o.layout, quarter ? Layout::kTranspose : Layout::kFlip);
    const std::vector<float> fast =
        quarter ? turned(src.frame, o.flipX, o.flipY, true) : mirrored(src.frame, o.flipX, o.flipY);
    std::vector<float> general(grey.size());
    resampleGrey(GreyFrame{grey.data(), w, h}, w, h, m, general.data(), quarter ? h : w,
                 quarter ? w : h);
    for (size_t k = 0; k < fast.size(); ++k) {
      ASSERT_NEAR(fast[k], general[k], 1e-3)
          << m.a << " " << m.b << " " << m.c << " " << m.d << " at " << k;
    }
  }
}

// Uncovered corners are the free rotation's test.
TEST(PixelGeometry, ResamplingLeavesSingularPicturesBlack) {
  const float flat[4] = {200, 200, 200, 200};
  std::vector<float> out(36, -1.0f);
  resampleGrey(GreyFrame{flat, 2, 2}, 2, 2, Transform{1, 1, 1, 1, 0, 0}, out.data(), 6, 6);
  EXPECT_EQ(out, std::vector<float>(36, 0.0f));
}

// Odd sizes leave tails after the 16- and 8-pixel steps (AVX2 where the
// machine has it, then SSE2) and half chroma samples at the edges; 70 rows
// make a full strip of a quarter turn and a partial one.
TEST(FusedGrey, VectorPathMatchesScalarTwinBitForBit) {
  std::mt19937 rng(12);
  for (const Format& fmt : kFormats) {
    for (const auto& [matrix, kr, kb] :
         {std::tuple{"601", 0.299, 0.114}, std::tuple{"709", 0.2126, 0.0722}}) {
      for (bool full : {false, true}) {
        const YuvMatrix m = yuvMatrix(kr, kb, full);
        const int sizes[][3] = {{37, 23, 1},       {61, 70, 1},         {7, 17, 1},
                                {45, 9, 1},        {2 * 19, 2 * 11, 2}, {2 * 33, 2 * 70, 2},
                                {2 * 29, 2 * 9, 2}};
        for (const auto& [w, h, factor] : sizes) {
          SCOPED_TRACE(::testing::Message()
                       << fmt.name << " " << matrix << (full ? " full " : " limited ") << w << "x"
                       << h << " /" << factor);
          const Planes planes(w, h, fmt, rng);
          const YuvRows vec(planes.f, m, factor, true);
          const YuvRows sca(planes.f, m, factor, false);
          ASSERT_EQ(vec.w, w / factor);
          ASSERT_EQ(vec.h, h / factor);
          // Grey of whole levels has no NaN and no -0: equal values are equal bits.
          EXPECT_EQ(mirrored(vec, false, false), mirrored(sca, false, false));
          EXPECT_EQ(mirrored(vec, true, true), mirrored(sca, true, true));
          EXPECT_EQ(turned(vec, false, true, true), turned(sca, false, true, false));
          EXPECT_EQ(turned(vec, true, false, true), turned(sca, true, false, false));
        }
      }
    }
  }
}

// A part of the picture has the bits of the whole one, in every layout,
// format and reduction, for parts inside, at the edges and at odd places;
// whatever else is written (the part grown to whole chroma samples) is right
// too.
TEST(FusedGrey, APartHasTheBitsOfTheWhole) {
  std::mt19937 rng(3);
  const YuvMatrix m = yuvMatrix(0.2126, 0.0722, false);
  for (const Format& fmt : kFormats) {
    for (int factor : {1, 2}) {
      const int64_t w = factor * 45, h = factor * 31;
      const Planes planes(w, h, fmt, rng);
      const YuvRows rows(planes.f, m, factor);
      for (int layout = 0; layout < 8; ++layout) {
        const Orientation o{layout < 4 ? Layout::kFlip : Layout::kTranspose, (layout & 1) != 0,
                            (layout & 2) != 0};
        const bool turn = o.layout == Layout::kTranspose;
        const int64_t ow = turn ? rows.h : rows.w, oh = turn ? rows.w : rows.h;
        const std::vector<float> whole =
            turn ? turned(rows, o.flipX, o.flipY, true) : mirrored(rows, o.flipX, o.flipY);
        for (const core::Region r : {core::Region{5, 3, 17, 12}, core::Region{0, 0, 8, 8},
                                     core::Region{ow - 7, oh - 9, ow, oh}, core::Region{1, 1, 2, 2},
                                     core::Region{0, 0, ow, oh}}) {
          SCOPED_TRACE(::testing::Message() << fmt.name << " /" << factor << " layout " << layout
                                            << " at " << r.x0 << "," << r.y0);
          std::vector<float> part(whole.size(), NAN), scratch;
          greyRegion(planes.f, m, factor, o, r, part.data(), scratch);
          for (int64_t y = 0; y < oh; ++y) {
            for (int64_t x = 0; x < ow; ++x) {
              const size_t k = static_cast<size_t>(y * ow + x);
              const bool inside = x >= r.x0 && x < r.x1 && y >= r.y0 && y < r.y1;
              if (!inside && std::isnan(part[k])) continue;
              ASSERT_EQ(std::memcmp(&part[k], &whole[k], sizeof(float)), 0) << x << "," << y;
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace video
