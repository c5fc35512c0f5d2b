// Sun raster: 1, 8, 24 or 32 bits, with or without a colour map, stored or
// run-length encoded (0x80 escapes). Colour is blue first unless the type is
// RT_FORMAT_RGB; the fourth byte of 32-bit pixels is padding.
#include <vector>

#include "stills/codecs.hpp"

namespace stills::detail {

namespace {

struct Header {
  std::int64_t w, h;
  std::uint32_t depth, type, mapType, mapLength;
  std::size_t rowBytes;  // padded to 16 bits
};

std::optional<Header> readHeader(Bytes file) {
  if (file.size() < 32) return std::nullopt;
  Header hd{u32be(file, 4),
            u32be(file, 8),
            u32be(file, 12),
            u32be(file, 20),
            u32be(file, 24),
            u32be(file, 28),
            0};
  if (hd.depth != 1 && hd.depth != 8 && hd.depth != 24 && hd.depth != 32) return std::nullopt;
  if (hd.type > 3 || hd.mapType > 2 || !sizeAllowed(hd.w, hd.h)) return std::nullopt;
  if (hd.mapLength > file.size() - 32) return std::nullopt;
  hd.rowBytes = (static_cast<std::size_t>(hd.w) * hd.depth + 15) / 16 * 2;
  return hd;
}

using Palette = std::uint8_t[256][3];

// The map holds its reds, then greens, then blues; without one, 1-bit
// pixels are white for 0 and 8-bit ones are grey.
void readPalette(Bytes file, const Header& hd, Palette& palette) {
  for (int i = 0; i < 256; ++i) {
    const auto grey = static_cast<std::uint8_t>(hd.depth == 1 ? (i == 0 ? 255 : 0) : i);
    palette[i][0] = palette[i][1] = palette[i][2] = grey;
  }
  if (hd.mapType != 1 || hd.depth > 8) return;
  const std::size_t entries = std::min<std::size_t>(hd.mapLength / 3, 256);
  for (std::size_t i = 0; i < entries; ++i) {
    for (std::size_t c = 0; c < 3; ++c) palette[i][c] = file[32 + c * (hd.mapLength / 3) + i];
  }
}

// Run-length encoded rows, up to `total` bytes: 0x80 0 stands for 0x80
// itself, 0x80 n v for n + 1 copies of v. False for data far too short.
bool unpack(Bytes data, std::size_t total, std::vector<std::uint8_t>& out) {
  // Every run costs at least two bytes of file and yields at most 256, so
  // a file far too short for its size is refused before allocating.
  if (data.size() < total / 128) return false;
  out.reserve(total);
  for (std::size_t at = 0; at < data.size() && out.size() < total;) {
    const std::uint8_t b = data[at++];
    if (b != 0x80) {
      out.push_back(b);
    } else if (at < data.size() && data[at] == 0) {
      out.push_back(0x80);
      ++at;
    } else if (at + 1 < data.size()) {
      out.insert(out.end(), std::min<std::size_t>(data[at] + 1u, total - out.size()), data[at + 1]);
      at += 2;
    } else {
      break;
    }
  }
  return true;
}

void fillRows(Bytes rows, const Header& hd, const Palette& palette, Raster& r) {
  const bool rgb = hd.type == 3;
  for (int y = 0; y < r.h; ++y) {
    const std::uint8_t* in = rows.data() + hd.rowBytes * static_cast<std::size_t>(y);
    std::uint8_t* px = r.row(y);
    for (int x = 0; x < r.w; ++x, px += 4) {
      if (hd.depth <= 8) {
        const unsigned index = hd.depth == 8 ? in[x] : (in[x >> 3] >> (7 - (x & 7))) & 1;
        std::memcpy(px, palette[index], 3);
      } else {
        const std::uint8_t* p =
            in + static_cast<std::size_t>(x) * (hd.depth / 8) + (hd.depth == 32);
        px[0] = rgb ? p[0] : p[2];
        px[1] = p[1];
        px[2] = rgb ? p[2] : p[0];
      }
      px[3] = 255;
    }
  }
}

}  // namespace

std::optional<Image> decodeSunRaster(Bytes file) {
  const std::optional<Header> hd = readHeader(file);
  if (!hd) return std::nullopt;
  Palette palette;
  readPalette(file, *hd, palette);
  const std::size_t total = hd->rowBytes * static_cast<std::size_t>(hd->h);
  Bytes rows = file.subspan(32 + hd->mapLength);
  std::vector<std::uint8_t> unpacked;
  if (hd->type == 2) {
    if (!unpack(rows, total, unpacked)) return std::nullopt;
    rows = unpacked;
  }
  if (rows.size() < total) return std::nullopt;
  std::optional<Image> image = blankImage(hd->w, hd->h);
  if (!image) return std::nullopt;
  fillRows(rows, *hd, palette, image->raster);
  return image;
}

}  // namespace stills::detail
