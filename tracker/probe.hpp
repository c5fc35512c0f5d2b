// The scale probe: scores candidate rectangles of one still image against a
// reference rectangle of another on a fixed 48 x 48 grid of samples.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/tracking_core.hpp"

namespace seguir {

inline constexpr int kGridSide = 48;

// Image 0 of the file, as stored (no orientation metadata applied), as grey
// values 0..255 of its premultiplied 8-bit RGB: transparent areas are black.
// Nothing when the file cannot be decoded as an image.
std::optional<core::Img> loadStill(const std::string& path);

// 48 x 48 samples at the centres of the cells of the rectangle (corners as
// fractions of the picture, not reordered), mean removed. A sample outside
// the picture, or at a position no integer can hold, is 0.
std::vector<float> grid(const core::Img& picture, double x0, double y0, double x1, double y1);

// Correlation of two centred sample lists (b at least as long as a), within
// [-1, 1]; 0 when either list is flat.
float gridNcc(const std::vector<float>& a, const std::vector<float>& b);

// "%.4f" in the C locale: fixed point, four decimals, sign kept for -0.0000.
std::string formatScore(float score);

// The output line without its line feed: one token per non-empty piece of
// `candidates`, "%.4f" scores or "-1" for a piece without exactly four numbers
// or with one that is not finite.
std::string probeLine(const core::Img& first, const core::Img& second, double x0, double y0,
                      double x1, double y1, std::string_view candidates);

}  // namespace seguir
