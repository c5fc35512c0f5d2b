// The raster every step of the remover works on: a CV_8UC4 matrix whose bytes
// are red, green, blue, alpha in that order, colour premultiplied by alpha,
// rows top first, one row after another with no padding beyond OpenCV's own.
// A decoded image is whatever OpenCV's imgcodecs returns for IMREAD_UNCHANGED:
// 1 to 4 channels (grey, grey + alpha, BGR, BGRA), 8 or 16 bits per sample.
#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

namespace recortar {

// Image 0 of the file, as decoded, normalised to 8 or 16 bits per sample.
// An empty matrix when OpenCV cannot read the file.
cv::Mat load(const std::string& path);

// Converts `count` pixels of row y of `decoded`, starting at column x, into
// raster pixels at `out` (4 bytes each): grey gives R = G = B, 16-bit samples
// are rounded to 8 bits, a missing alpha is 255, colour is premultiplied with
// rounding. Pixels converted one at a time equal the same pixels of a row.
void toRaster(const cv::Mat& decoded, int y, int x, int count, std::uint8_t* out);

// The whole image as a raster. Throws (std::bad_alloc or cv::Exception) when
// the raster cannot be allocated.
cv::Mat rasterize(const cv::Mat& decoded);

// c · a / 255 rounded to the nearest integer, for bytes c and a.
inline std::uint8_t premultiply(unsigned c, unsigned a) {
  const unsigned t = c * a + 128;
  return static_cast<std::uint8_t>((t + (t >> 8)) >> 8);
}

}  // namespace recortar
