// The decoders behind stills::decode, one per family of formats, and the
// helpers they share. Each returns nothing for a file it cannot read and
// checks the declared size before allocating the raster.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>

#include "stills/stills.hpp"

namespace stills::detail {

using Bytes = std::span<const std::uint8_t>;

std::optional<Image> decodeJpeg(Bytes file);
std::optional<Image> decodePng(Bytes file);
std::optional<Image> decodeWebp(Bytes file);
std::optional<Image> decodeTiff(Bytes file);
std::optional<Image> decodeGif(Bytes file);
std::optional<Image> decodeHeif(Bytes file);
std::optional<Image> decodeStb(Bytes file);
std::optional<Image> decodeNetpbm(Bytes file);
std::optional<Image> decodeJpeg2000(Bytes file);
std::optional<Image> decodePfm(Bytes file);
std::optional<Image> decodeSunRaster(Bytes file);
std::optional<Image> decodeBmpRle(Bytes file);
// OpenEXR and DICOM, through the module of extra_module.hpp.
std::optional<Image> decodeExtra(Bytes file);

// Width and height both positive and their product at most kMaxPixels.
inline bool sizeAllowed(std::int64_t w, std::int64_t h) {
  return w > 0 && h > 0 && w <= kMaxPixels && h <= kMaxPixels && w * h <= kMaxPixels;
}

// Straight RGBA bytes to premultiplied ones, in place.
void premultiplyInPlace(std::uint8_t* px, std::size_t count);

// A 16-bit sample to 8 bits with rounding.
inline std::uint8_t eightBits(unsigned v) {
  return static_cast<std::uint8_t>((v * 255u + 32767u) / 65535u);
}

// Linear light 0..1 to 255, rounded half up and saturated, as for Radiance.
inline std::uint8_t fromLinear(float v) {
  if (!(v > 0.0f)) return 0;  // NaN too
  const float s = std::floor(v * 255.0f + 0.5f);
  return s >= 255.0f ? 255 : static_cast<std::uint8_t>(s);
}

// The orientation tag of an EXIF (TIFF-structured) block, 1 when absent or
// malformed. `exif` may start with the "Exif\0\0" prefix of JPEG and WebP.
int exifOrientation(Bytes exif);

}  // namespace stills::detail
