// The decoders behind stills::decode, one per family of formats, and the
// steps they share. Each returns nothing for a file it cannot read, and
// checks the declared size, and that the file can hold what it declares,
// before allocating the raster.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "stills/stills.hpp"

namespace stills::detail {

using Bytes = std::span<const std::uint8_t>;

std::optional<Image> decodeJpeg(Bytes file);
std::optional<Image> decodePng(Bytes file);
std::optional<Image> decodeWebp(Bytes file);
std::optional<Image> decodeTiff(Bytes file);
std::optional<Image> decodeGif(Bytes file);
std::optional<Image> decodeHeif(Bytes file);
std::optional<Image> decodeJpeg2000(Bytes file);
std::optional<Image> decodeBmp(Bytes file);     // uncompressed, through stb_image
std::optional<Image> decodeBmpRle(Bytes file);  // BI_RLE8 and BI_RLE4
std::optional<Image> decodeRadiance(Bytes file);
std::optional<Image> decodeNetpbm(Bytes file);
std::optional<Image> decodePfm(Bytes file);
std::optional<Image> decodeSunRaster(Bytes file);
// OpenEXR and DICOM, through the module of exr_dicom_module.hpp.
std::optional<Image> decodeExrOrDicom(Bytes file);

// stb_image's reading, once `plausible` (the format's own check of what stb
// would trust blindly) accepts the file with the size stb found in it.
std::optional<Image> decodeWithStb(Bytes file, bool (*plausible)(Bytes file, int w, int h));

// Width and height both positive and their product at most kMaxPixels.
inline bool sizeAllowed(std::int64_t w, std::int64_t h) {
  return w > 0 && h > 0 && w <= kMaxPixels && h <= kMaxPixels && w * h <= kMaxPixels;
}

// The image a decoder fills: a raster of w x h, left uninitialised; nothing
// when the size is not allowed. Throws std::bad_alloc when it cannot be had.
std::optional<Image> blankImage(std::int64_t w, std::int64_t h);

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

inline bool startsWith(Bytes b, std::size_t at, const char* text) {
  const std::size_t n = std::strlen(text);
  return b.size() >= at + n && std::memcmp(b.data() + at, text, n) == 0;
}

inline std::uint32_t u32be(Bytes b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
}
inline std::uint32_t u32le(Bytes b, std::size_t at) {
  return (std::uint32_t{b[at + 3]} << 24) | (b[at + 2] << 16) | (b[at + 1] << 8) | b[at];
}

// A copy of `size` bytes a library hands out, empty for none.
inline std::vector<std::uint8_t> copyOf(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  return p == nullptr ? std::vector<std::uint8_t>{} : std::vector<std::uint8_t>(p, p + size);
}

// The file read in order by a library that asks for bytes (libtiff, giflib):
// what is left, up to `n`, once the end is reached nothing more.
struct MemoryReader {
  Bytes file;
  std::size_t pos = 0;

  std::size_t read(void* out, std::size_t n) {
    n = std::min(n, file.size() - std::min(pos, file.size()));
    if (n > 0) std::memcpy(out, file.data() + pos, n);
    pos += n;
    return n;
  }
};

}  // namespace stills::detail
