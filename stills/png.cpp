// PNG through libspng, which reports failures by code and never prints.
// Palettes, transparency chunks and low bit depths are expanded by libspng;
// 16-bit samples are read as such and rounded here, where libspng's own
// 8-bit output would truncate them.
#include <spng.h>

#include <memory>
#include <vector>

#include "stills/codecs.hpp"

namespace stills::detail {

std::optional<Image> decodePng(Bytes file) {
  const std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(0), spng_ctx_free);
  if (!ctx || spng_set_png_buffer(ctx.get(), file.data(), file.size()) != 0) return std::nullopt;
  spng_ihdr ihdr{};
  if (spng_get_ihdr(ctx.get(), &ihdr) != 0) return std::nullopt;
  if (!sizeAllowed(ihdr.width, ihdr.height)) return std::nullopt;
  const int w = static_cast<int>(ihdr.width), h = static_cast<int>(ihdr.height);
  const std::size_t count = static_cast<std::size_t>(w) * h;
  // Deflate expands at most 1032-fold, so a file too short to hold its own
  // rows is cut off and unreadable; knowing so before the raster is allocated
  // keeps a few bytes declaring a gigapixel from taking the memory first.
  const int channels[] = {1, 0, 3, 1, 2, 0, 4};
  const std::uint64_t rowBits =
      std::uint64_t{ihdr.width} * ihdr.bit_depth * channels[ihdr.color_type % 7];
  const std::uint64_t rawBytes = std::uint64_t{ihdr.height} * (1 + (rowBits + 7) / 8);
  if (rawBytes > std::uint64_t{file.size()} * 1032 + 65536) return std::nullopt;

  Image image;
  image.raster = Raster(w, h);
  std::uint8_t* px = image.raster.px.get();
  if (ihdr.bit_depth == 16) {
    std::vector<std::uint16_t> deep(4 * count);
    if (spng_decode_image(ctx.get(), deep.data(), deep.size() * 2, SPNG_FMT_RGBA16,
                          SPNG_DECODE_TRNS) != 0) {
      return std::nullopt;
    }
    for (std::size_t i = 0; i < deep.size(); ++i) px[i] = eightBits(deep[i]);
  } else if (spng_decode_image(ctx.get(), px, image.raster.bytes(), SPNG_FMT_RGBA8,
                               SPNG_DECODE_TRNS) != 0) {
    return std::nullopt;
  }
  premultiplyInPlace(px, count);

  spng_iccp iccp{};
  if (spng_get_iccp(ctx.get(), &iccp) == 0 && iccp.profile != nullptr) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(iccp.profile);
    image.icc.assign(p, p + iccp.profile_len);
  }
  spng_exif exif{};
  if (spng_get_exif(ctx.get(), &exif) == 0 && exif.data != nullptr) {
    image.orientation =
        exifOrientation({reinterpret_cast<const std::uint8_t*>(exif.data), exif.length});
  }
  return image;
}

}  // namespace stills::detail
