// The raster every decoder fills, and the steps around it they all share.
#include "stills/codecs.hpp"

namespace stills {

Raster::Raster(int width, int height)
    : w(width), h(height), px(new std::uint8_t[std::size_t{4} * width * height]) {}

namespace detail {

std::optional<Image> blankImage(std::int64_t w, std::int64_t h) {
  if (!sizeAllowed(w, h)) return std::nullopt;
  Image image;
  image.raster = Raster(static_cast<int>(w), static_cast<int>(h));
  return image;
}

void premultiplyInPlace(std::uint8_t* px, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, px += 4) {
    const unsigned a = px[3];
    if (a == 255) continue;
    px[0] = premultiply(px[0], a);
    px[1] = premultiply(px[1], a);
    px[2] = premultiply(px[2], a);
  }
}

}  // namespace detail

}  // namespace stills
