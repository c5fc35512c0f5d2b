// Still images: image 0 of a file as an 8-bit premultiplied RGBA raster.
//
// The raster's bytes are red, green, blue, alpha in that order, colour
// premultiplied by alpha with rounding (c · a / 255 to the nearest integer),
// rows top first, 4 · width bytes per row with no padding. Deeper samples are
// reduced with rounding (v · 255 / 65535); grey, grey + alpha, palettes with
// transparency and CMYK all arrive as this one layout.
//
// The decoder is chosen by the file's signature, never by its name: JPEG
// (libjpeg-turbo), PNG (libspng), WebP (libwebp), TIFF (libtiff), GIF's first
// frame (giflib), HEIF/HEIC/AVIF (libheif, loaded on first use: its codecs cost
// every start-up some milliseconds), JPEG 2000 (OpenJPEG), BMP and Radiance HDR
// (stb_image), OpenEXR and DICOM's first frame (OpenEXR, GDCM: a module loaded
// on first use, see exr_dicom_module.hpp), and here the Netpbm family
// PBM/PGM/PPM/PAM, PFM, Sun raster and run-length encoded BMP. Float samples
// are taken as linear 0..1 times 255. A file is read exactly once, from one
// open descriptor, so pipes and FIFOs work; decoding then runs from memory.
//
// A file that declares more than kMaxPixels pixels, or whose raster cannot be
// allocated, is unreadable. No codec library writes to standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace stills {

inline constexpr std::int64_t kMaxPixels = std::int64_t{1} << 29;

struct Raster {
  int w = 0;
  int h = 0;
  std::unique_ptr<std::uint8_t[]> px;  // 4 · w · h bytes, left uninitialised

  Raster() = default;
  Raster(int width, int height);  // throws std::bad_alloc
  std::size_t bytes() const { return std::size_t{4} * static_cast<std::size_t>(w) * h; }
  std::uint8_t* row(int y) { return px.get() + std::size_t{4} * w * static_cast<std::size_t>(y); }
  const std::uint8_t* row(int y) const {
    return px.get() + std::size_t{4} * w * static_cast<std::size_t>(y);
  }
};

struct Image {
  Raster raster;                  // as stored in the file
  int orientation = 1;            // EXIF orientation 1..8 that turns the stored raster upright
  std::vector<std::uint8_t> icc;  // the embedded colour profile, empty when none
};

// The whole content of the file (or FIFO), read through one descriptor.
// Nothing when it cannot be opened or read, or its first bytes are no image
// signature (so an endless device is not read to its end).
std::optional<std::vector<std::uint8_t>> readFile(const std::string& path);

// Image 0 of an encoded file held in memory; nothing when unreadable.
std::optional<Image> decode(std::span<const std::uint8_t> file);

// readFile, then decode.
std::optional<Image> load(const std::string& path);

// Turns the raster the way a viewer shows it and sets orientation to 1.
// Throws std::bad_alloc when a turned copy cannot be allocated.
void applyOrientation(Image& image);

// c · a / 255 rounded to the nearest integer, for bytes c and a.
inline std::uint8_t premultiply(unsigned c, unsigned a) {
  const unsigned t = c * a + 128;
  return static_cast<std::uint8_t>((t + (t >> 8)) >> 8);
}

}  // namespace stills
