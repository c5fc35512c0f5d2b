// Flat-background keying on rasters built here, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>

#include "remover/keying.hpp"

namespace recortar {
namespace {

stills::Raster filled(int w, int h, Pixel p) {
  stills::Raster r(w, h);
  for (std::size_t i = 0; i < r.bytes(); i += 4) std::copy(p.begin(), p.end(), r.px.get() + i);
  return r;
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
      {white, {244, 255, 255, 255}, {0, 4, 4, 4}, "distance 11 is not"},
      {white, {186, 255, 255, 255}, {181, 250, 250, 250}, "distance 69 is not kept"},
      {white, {185, 255, 255, 255}, {185, 255, 255, 255}, "distance 70 kept"},
      {white, {0, 40, 90, 255}, {0, 40, 90, 255}, "far"},
      {{240, 240, 240, 255}, {250, 250, 250, 255}, {10, 10, 10, 0}, "alpha 0 keeps its colour"},
      {white, {7, 8, 9, 0}, {7, 8, 9, 0}, "transparent pixels are left alone"},
  };
  for (const auto& c : cases) EXPECT_EQ(keyedOn(c.background, c.subject), c.keyed) << c.why;
  EXPECT_EQ(keyedOn(white, {215, 255, 255, 255})[3], 127) << "distance 40: 127.5 truncated";
  // Stored bytes 198 at alpha 252 are a straight 200.4; the median must be
  // 198, so an opaque 238 is at distance 40 (alpha 127), not 37.6 (117).
  EXPECT_EQ(keyedOn({198, 198, 198, 252}, {238, 198, 198, 255})[3], 127) << "premultiplied";
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

  for (const auto& [dark, flat] : {std::pair{2, true}, std::pair{3, false}}) {
    stills::Raster m = filled(5, 5, {100, 100, 100, 255});
    const std::pair<int, int> single[] = {{2, 0}, {2, 4}, {0, 2}};
    for (int k = 0; k < dark; ++k) put(m, single[k].first, single[k].second, {0, 0, 0, 255});
    EXPECT_EQ(keyRaster(m), flat) << 20 - dark << " of 20";
  }
  for (const auto& [step, flat] : {std::pair{23, true}, std::pair{24, false}}) {
    stills::Raster m = filled(5, 5, {100, 100, 100, 255});
    const std::uint8_t off = static_cast<std::uint8_t>(100 + step);
    put(m, 2, 0, {100, off, 100, 255});
    put(m, 2, 4, {100, 100, off, 255});
    put(m, 0, 2, {off, 100, 100, 255});
    EXPECT_EQ(keyRaster(m), flat) << "difference " << step;
  }
}

}  // namespace
}  // namespace recortar
