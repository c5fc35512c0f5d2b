// Flat-background keying: when the outermost rows and columns of an image are
// one uniform colour, that colour is keyed out by its distance, with a linear
// soft edge, and the background's share is taken out of the edge pixels.
//
// Works on the raster of stills/stills.hpp (RGBA, premultiplied, 8 bits). All keying
// arithmetic is double precision in the order written in keying.cpp; the
// build forbids contraction, so the bytes are the same on every machine.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "stills/stills.hpp"

namespace recortar {

struct Rgb {
  double r, g, b;
};

using Pixel = std::array<std::uint8_t, 4>;  // R, G, B, A as stored in the raster

struct Point {
  int x, y;
  bool operator==(const Point&) const = default;
};

// The border positions of a w × h image in the order they are sampled: along
// the rows (top then bottom at each x), then along the columns (left then right
// at each y), every s pixels with s = (w + h) / 400, at least 1. Positions
// visited twice (the corners, the single row of a one-pixel-high image) stay
// twice: each visit is one sample.
std::vector<Point> borderVisits(int w, int h);

// The background colour of the visited border pixels, or nothing when the
// border is not flat: fewer than 20 pixels with alpha above 250, or fewer than
// 90 % of them within 24 of the per-channel median in every channel. The
// median is taken from the stored, premultiplied bytes.
std::optional<Rgb> flatBackground(const std::vector<Pixel>& visited);

// Keys `count` raster pixels in place against the background colour.
void keyPixels(std::uint8_t* px, std::int64_t count, const Rgb& bg);

// Judges and keys a raster in place; false (raster untouched) when not flat.
bool keyRaster(stills::Raster& raster);

}  // namespace recortar
