// The frame source's pixel geometry on random buffers: each vector path gives
// the bits of its scalar twin, and the fast layouts give the picture that the
// general resampling defines for their matrices.
#include "tracker/pixel_geometry.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace seguir {
namespace {

// Random bytes from a fixed linear congruential sequence.
std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (uint8_t& b : v) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(seed >> 24);
  }
  return v;
}

// A random RGBA frame whose rows are padded to a stride of their own.
struct RandomRgba {
  RandomRgba(int64_t w, int64_t h, uint32_t seed)
      : bytes(randomBytes(static_cast<size_t>((4 * w + 12) * h), seed)),
        frame{bytes.data(), w, h, 4 * w + 12} {}
  std::vector<uint8_t> bytes;
  RgbaFrame frame;
};

std::vector<float> turned(const RgbaFrame& f, bool flipX, bool flipY, bool vector) {
  std::vector<float> strip(static_cast<size_t>(f.w * kTurnStripRows));
  std::vector<float> out(static_cast<size_t>(f.w * f.h), -1.0f);
  if (vector) {
    greyTurned(f, flipX, flipY, strip.data(), out.data());
  } else {
    greyTurnedScalar(f, flipX, flipY, strip.data(), out.data());
  }
  return out;
}

TEST(PixelGeometry, VectorGreyLineIsItsScalarTwin) {
  for (int64_t n : {1, 3, 4, 7, 13, 31, 257}) {
    const std::vector<uint8_t> rgba = randomBytes(static_cast<size_t>(4 * n), 7u + n);
    std::vector<float> fast(static_cast<size_t>(n)), slow(static_cast<size_t>(n));
    greyLine(rgba.data(), fast.data(), n);
    greyLineScalar(rgba.data(), slow.data(), n);
    EXPECT_EQ(fast, slow) << n;  // bit for bit (no NaN can arise)
  }
}

// Heights over one strip of 64 rows, so the 4 x 4 blocks run, and odd widths,
// so the scalar columns finish each strip.
TEST(PixelGeometry, BlockedQuarterTurnIsItsScalarTwin) {
  for (auto [w, h] : {std::pair<int64_t, int64_t>{37, 131}, {5, 64}, {3, 9}, {67, 193}}) {
    const RandomRgba src(w, h, static_cast<uint32_t>(w * 1000 + h));
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
  std::vector<float> grey(static_cast<size_t>(w * h));
  greyMirrored(src.frame, false, false, grey.data());
  const Transform axisAligned[] = {{1, 0, 0, 1, 7, -3}, {-1, 0, 0, 1, 7, -3},
                                   {1, 0, 0, -1, 7, -3}, {-1, 0, 0, -1, 7, -3},
                                   {0, 1, 1, 0, 7, -3}, {0, -1, 1, 0, 7, -3},
                                   {0, 1, -1, 0, 7, -3}, {0, -1, -1, 0, 7, -3}};
  for (const Transform& m : axisAligned) {
    const Orientation o = orientationOf(m);
    const bool quarter = m.a == 0;
    ASSERT_EQ(o.layout, quarter ? Layout::kTranspose : Layout::kFlip);
    std::vector<float> fast(grey.size());
    if (quarter) {
      fast = turned(src.frame, o.flipX, o.flipY, true);
    } else {
      greyMirrored(src.frame, o.flipX, o.flipY, fast.data());
    }
    std::vector<float> general(grey.size());
    resampleGrey(GreyFrame{grey.data(), w, h}, w, h, m, general.data(), quarter ? h : w,
                 quarter ? w : h);
    for (size_t k = 0; k < fast.size(); ++k) {
      ASSERT_NEAR(fast[k], general[k], 1e-3) << m.a << " " << m.b << " " << m.c << " " << m.d
                                             << " at " << k;
    }
  }
}

TEST(PixelGeometry, ResamplingLeavesUncoveredAndSingularPicturesBlack) {
  const float flat[4] = {200, 200, 200, 200};
  const GreyFrame g{flat, 2, 2};
  const double r = 0.70710678118654752;
  std::vector<float> out(36, -1.0f);
  resampleGrey(g, 2, 2, Transform{r, r, -r, r, 0, 0}, out.data(), 6, 6);  // 45 degrees
  EXPECT_EQ(out[0], 0.0f);                                                // corner
  EXPECT_EQ(out[2 * 6 + 2], 200.0f);                                      // centre
  resampleGrey(g, 2, 2, Transform{1, 1, 1, 1, 0, 0}, out.data(), 6, 6);   // singular
  EXPECT_EQ(out, std::vector<float>(36, 0.0f));
}

}  // namespace
}  // namespace seguir
