// Orientation: read from EXIF, where JPEG, PNG and WebP carry it, and applied
// by turning the raster the way a viewer shows it.
#include "stills/codecs.hpp"

namespace stills {

void applyOrientation(Image& image) {
  const int o = image.orientation;
  image.orientation = 1;
  if (o < 2 || o > 8) return;
  const Raster& in = image.raster;
  const int W = in.w, H = in.h;
  const bool swap = o >= 5;
  Raster out(swap ? H : W, swap ? W : H);
  // The stored position of display pixel (x, y) is (x0 + ax·x + bx·y,
  // y0 + ay·x + by·y); one table row per orientation.
  struct Map {
    int x0, ax, bx, y0, ay, by;
  };
  const Map maps[9] = {{},
                       {0, 1, 0, 0, 0, 1},
                       {W - 1, -1, 0, 0, 0, 1},
                       {W - 1, -1, 0, H - 1, 0, -1},
                       {0, 1, 0, H - 1, 0, -1},
                       {0, 0, 1, 0, 1, 0},
                       {0, 0, 1, H - 1, -1, 0},
                       {W - 1, 0, -1, H - 1, -1, 0},
                       {W - 1, 0, -1, 0, 1, 0}};
  const Map m = maps[o];
  const auto* src = reinterpret_cast<const std::uint8_t*>(in.px.get());
  for (int y = 0; y < out.h; ++y) {
    std::uint8_t* dst = out.row(y);
    std::int64_t sx = m.x0 + std::int64_t{m.bx} * y;
    std::int64_t sy = m.y0 + std::int64_t{m.by} * y;
    for (int x = 0; x < out.w; ++x, dst += 4, sx += m.ax, sy += m.ay) {
      std::memcpy(dst, src + 4 * (sy * W + sx), 4);
    }
  }
  image.raster = std::move(out);
}

namespace detail {

int exifOrientation(Bytes exif) {
  if (startsWith(exif, 0, "Exif")) exif = exif.subspan(std::min<std::size_t>(6, exif.size()));
  if (exif.size() < 8) return 1;
  const bool little = exif[0] == 'I' && exif[1] == 'I';
  if (!little && !(exif[0] == 'M' && exif[1] == 'M')) return 1;
  const auto u16 = [&](std::size_t at) -> unsigned {
    return little ? exif[at] | (exif[at + 1] << 8) : (exif[at] << 8) | exif[at + 1];
  };
  const auto u32 = [&](std::size_t at) -> std::size_t {
    return little ? u16(at) | (std::size_t{u16(at + 2)} << 16)
                  : (std::size_t{u16(at)} << 16) | u16(at + 2);
  };
  const std::size_t ifd = u32(4);
  if (ifd > exif.size() - 2) return 1;
  const unsigned entries = u16(ifd);
  for (unsigned i = 0; i < entries; ++i) {
    const std::size_t e = ifd + 2 + std::size_t{12} * i;
    if (e + 12 > exif.size()) break;
    if (u16(e) != 0x0112) continue;
    const unsigned v = u16(e + 8);
    return u16(e + 2) == 3 && v >= 1 && v <= 8 ? static_cast<int>(v) : 1;
  }
  return 1;
}

}  // namespace detail

}  // namespace stills
