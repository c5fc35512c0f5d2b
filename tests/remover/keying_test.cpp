// Flat-background keying on rasters built here, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "remover/keying.hpp"

namespace recortar {
namespace {

stills::Raster filled(int w, int h, Pixel p) {
  stills::Raster r(w, h);
  for (std::size_t i = 0; i < r.bytes(); i += 4) std::copy(p.begin(), p.end(), r.px.get() + i);
  return r;
}

stills::Raster copyOf(const stills::Raster& r) {
  stills::Raster c(r.w, r.h);
  std::copy(r.px.get(), r.px.get() + r.bytes(), c.px.get());
  return c;
}

Pixel at(const stills::Raster& m, int x, int y) {
  const std::uint8_t* v = m.row(y) + 4 * x;
  return {v[0], v[1], v[2], v[3]};
}

void put(stills::Raster& m, int x, int y, Pixel p) {
  std::copy(p.begin(), p.end(), m.row(y) + 4 * x);
}

// One pixel keyed in the middle of a background of one colour.
Pixel keyedOn(Pixel background, Pixel subject) {
  stills::Raster m = filled(20, 20, background);
  put(m, 10, 10, subject);
  EXPECT_TRUE(keyRaster(m));
  return at(m, 10, 10);
}

TEST(Keying, WorkedExamplesAndSoftEdgeDistances) {
  const Pixel white{255, 255, 255, 255};
  const struct {
    Pixel background, subject, keyed;
    const char* why;
  } cases[] = {
      {white, {200, 220, 255, 255}, {136, 156, 191, 191}, "worked example"},
      {white, white, {0, 0, 0, 0}, "the background itself"},
      {white, {245, 255, 255, 255}, {0, 0, 0, 0}, "distance 10 is fully transparent"},
      {white, {185, 255, 255, 255}, {185, 255, 255, 255}, "distance 70 kept"},
      {white, {0, 40, 90, 255}, {0, 40, 90, 255}, "far"},
      {{240, 240, 240, 255}, {250, 250, 250, 255}, {10, 10, 10, 0}, "alpha 0 keeps its colour"},
      {white, {7, 8, 9, 0}, {7, 8, 9, 0}, "transparent pixels are left alone"},
  };
  for (const auto& c : cases) EXPECT_EQ(keyedOn(c.background, c.subject), c.keyed) << c.why;
  EXPECT_EQ(keyedOn(white, {215, 255, 255, 255})[3], 127) << "distance 40: 127.5 truncated";
  // Half transparent at distance >= 70: alpha exact, colour may lose one.
  const Pixel half = keyedOn(white, {50, 100, 100, 128});
  EXPECT_EQ(half[3], 128);
  EXPECT_NEAR(half[0], 50, 1);
}

// When the border counts as flat: enough samples (a declined raster stays
// untouched), all opaque beyond 250, and 90 % of them within 24 of the
// median. On a 5 x 5 raster every border pixel is one sample, except the four
// corners (two each): (2, 0), (2, 4), (0, 2) and (4, 2) are single samples of 20.
TEST(Keying, FlatBorderRules) {
  stills::Raster four = filled(4, 4, {9, 9, 9, 255});
  EXPECT_FALSE(keyRaster(four)) << "16 samples";
  EXPECT_EQ(at(four, 1, 1), (Pixel{9, 9, 9, 255})) << "a declined raster is untouched";
  stills::Raster five = filled(5, 5, {9, 9, 9, 255});
  EXPECT_TRUE(keyRaster(five)) << "20 samples";
  EXPECT_TRUE(std::all_of(five.px.get(), five.px.get() + five.bytes(), [](int v) {
    return v == 0;
  })) << "one colour keys to transparent black";
  stills::Raster at250 = filled(10, 10, {100, 100, 100, 250}),
                 at251 = filled(10, 10, {100, 100, 100, 251});
  EXPECT_FALSE(keyRaster(at250));
  EXPECT_TRUE(keyRaster(at251));

  stills::Raster m = filled(5, 5, {100, 100, 100, 255});
  put(m, 2, 0, {0, 0, 0, 255});
  put(m, 2, 4, {0, 0, 0, 255});
  stills::Raster exactly = copyOf(m);
  EXPECT_TRUE(keyRaster(exactly)) << "18 of 20";
  put(m, 0, 2, {0, 0, 0, 255});
  EXPECT_FALSE(keyRaster(m)) << "17 of 20";
  for (const auto& [step, flat] : {std::pair{23, true}, std::pair{24, false}}) {
    stills::Raster m = filled(5, 5, {100, 100, 100, 255});
    const std::uint8_t off = static_cast<std::uint8_t>(100 + step);
    put(m, 2, 0, {100, off, 100, 255});
    put(m, 2, 4, {100, 100, off, 255});
    put(m, 0, 2, {off, 100, 100, 255});
    EXPECT_EQ(keyRaster(m), flat) << "difference " << step;
  }
}

TEST(Keying, BackgroundFromPremultipliedBytes) {
  // Stored bytes 198 at alpha 252 are a straight 200.4; the median must be
  // 198, so an opaque 238 is at distance 40 (alpha 127), not 37.6 (117).
  stills::Raster m = filled(5, 5, {198, 198, 198, 252});
  put(m, 2, 2, {238, 198, 198, 255});
  ASSERT_TRUE(keyRaster(m));
  EXPECT_EQ(at(m, 2, 2)[3], 127);
}

TEST(Keying, MedianIsPerChannelUpperMiddle) {
  std::vector<Pixel> visited(20, Pixel{10, 20, 30, 255});
  for (int i = 0; i < 10; ++i) visited[i] = {11, 21, 31, 255};
  const std::optional<Rgb> bg = flatBackground(visited);
  ASSERT_TRUE(bg);
  EXPECT_EQ(bg->r, 11);
  EXPECT_EQ(bg->g, 21);
  EXPECT_EQ(bg->b, 31);
}

// The keying formula written out literally, for every pixel alike.
void naiveKey(std::uint8_t* px, const Rgb& bg) {
  if (px[3] == 0) return;
  const auto byte = [](double v) { return v < 0 ? 0 : v >= 255 ? 255 : static_cast<int>(v); };
  const double a = px[3] / 255.0;
  const double r = px[0] / a, g = px[1] / a, b = px[2] / a;
  const double d = std::max({std::abs(r - bg.r), std::abs(g - bg.g), std::abs(b - bg.b)});
  const double t = std::min(1.0, std::max(0.0, (d - 10) / 60));
  px[0] = byte((r - bg.r * (1 - t)) * a);
  px[1] = byte((g - bg.g * (1 - t)) * a);
  px[2] = byte((b - bg.b * (1 - t)) * a);
  px[3] = byte(a * t * 255);
}

TEST(Keying, MatchesLiteralFormula) {
  std::mt19937 rng(11);
  std::vector<std::uint8_t> px(4 * 20000);
  for (auto& v : px) v = static_cast<std::uint8_t>(rng());
  for (std::size_t i = 0; i < px.size(); i += 8) px[i + 3] = 255;  // half opaque
  for (std::size_t i = 4; i < px.size(); i += 28) px[i + 3] = 0;
  // Opaque pixels within 10 of white and of black, where keyPixels takes its
  // integer shortcut.
  for (std::size_t i = 8; i + 16 < px.size(); i += 48) {
    for (int c = 0; c < 3; ++c) {
      px[i + c] = static_cast<std::uint8_t>(245 + rng() % 11);
      px[i + 8 + c] = static_cast<std::uint8_t>(rng() % 11);
    }
  }
  for (const Rgb& bg : {Rgb{255, 255, 255}, Rgb{128, 40, 200}, Rgb{0, 0, 0}}) {
    std::vector<std::uint8_t> fast = px, slow = px;
    keyPixels(fast.data(), 20000, bg);
    for (std::size_t i = 0; i < slow.size(); i += 4) naiveKey(slow.data() + i, bg);
    EXPECT_EQ(fast, slow);
  }
}

}  // namespace
}  // namespace recortar
