// PNG through libspng, which reports failures by code and never prints.
// Palettes, transparency chunks and low bit depths are expanded by libspng;
// 16-bit samples are read as such and rounded here, where libspng's own
// 8-bit output would truncate them.
#include <spng.h>

#include <memory>
#include <vector>

#include "stills/codecs.hpp"

namespace stills::detail {

namespace {

using Context = std::unique_ptr<spng_ctx, void (*)(spng_ctx*)>;

// The header, when its size is allowed and the file can hold its rows.
std::optional<spng_ihdr> readHeader(spng_ctx* ctx, Bytes file) {
  spng_ihdr ihdr{};
  if (spng_get_ihdr(ctx, &ihdr) != 0) return std::nullopt;
  if (!sizeAllowed(ihdr.width, ihdr.height)) return std::nullopt;
  // Deflate expands at most 1032-fold, so a file too short to hold its own
  // rows is cut off and unreadable; knowing so before the raster is allocated
  // keeps a few bytes declaring a gigapixel from taking the memory first.
  const int channels[] = {1, 0, 3, 1, 2, 0, 4};
  const std::uint64_t rowBits =
      std::uint64_t{ihdr.width} * ihdr.bit_depth * channels[ihdr.color_type % 7];
  const std::uint64_t rawBytes = std::uint64_t{ihdr.height} * (1 + (rowBits + 7) / 8);
  if (rawBytes > std::uint64_t{file.size()} * 1032 + 65536) return std::nullopt;
  return ihdr;
}

// The samples as straight RGBA, 8 bits each, into the raster.
bool readSamples(spng_ctx* ctx, const spng_ihdr& ihdr, Raster& raster) {
  std::uint8_t* px = raster.px.get();
  if (ihdr.bit_depth != 16) {
    return spng_decode_image(ctx, px, raster.bytes(), SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) == 0;
  }
  std::vector<std::uint16_t> deep(raster.bytes());
  if (spng_decode_image(ctx, deep.data(), deep.size() * 2, SPNG_FMT_RGBA16, SPNG_DECODE_TRNS) !=
      0) {
    return false;
  }
  for (std::size_t i = 0; i < deep.size(); ++i) px[i] = eightBits(deep[i]);
  return true;
}

void readProfileAndOrientation(spng_ctx* ctx, Image& image) {
  spng_iccp iccp{};
  if (spng_get_iccp(ctx, &iccp) == 0 && iccp.profile != nullptr) {
    image.icc = copyOf(iccp.profile, iccp.profile_len);
  }
  spng_exif exif{};
  if (spng_get_exif(ctx, &exif) == 0 && exif.data != nullptr) {
    image.orientation =
        exifOrientation({reinterpret_cast<const std::uint8_t*>(exif.data), exif.length});
  }
}

}  // namespace

std::optional<Image> decodePng(Bytes file) {
  const Context ctx(spng_ctx_new(0), spng_ctx_free);
  if (!ctx || spng_set_png_buffer(ctx.get(), file.data(), file.size()) != 0) return std::nullopt;
  const std::optional<spng_ihdr> ihdr = readHeader(ctx.get(), file);
  if (!ihdr) return std::nullopt;
  std::optional<Image> image = blankImage(ihdr->width, ihdr->height);
  if (!image || !readSamples(ctx.get(), *ihdr, image->raster)) return std::nullopt;
  premultiplyInPlace(image->raster.px.get(), image->raster.bytes() / 4);
  readProfileAndOrientation(ctx.get(), *image);
  return image;
}

}  // namespace stills::detail
