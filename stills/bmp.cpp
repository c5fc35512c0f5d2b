// BMP. Uncompressed files are read by stb_image once their rows are known to
// be in the file; run-length encoded ones (BI_RLE8, BI_RLE4), which stb does
// not read, here.
#include "stills/codecs.hpp"

namespace stills::detail {

namespace {

// stb reads only uncompressed BMP, whose rows must all be in the file: a
// damaged height would otherwise have it fill a large raster from nothing.
bool rowsInFile(Bytes file, int w, int h) {
  if (file.size() < 30) return true;
  const std::size_t at = file[14] == 12 ? 24 : 28;  // OS/2's short header, or Windows'
  const std::uint64_t bits = static_cast<std::uint64_t>(file[at] | (file[at + 1] << 8));
  const std::uint64_t rowBytes = (static_cast<std::uint64_t>(w) * bits + 31) / 32 * 4;
  return rowBytes * static_cast<std::uint64_t>(h) <= file.size();
}

// A run-length encoded BMP's header: where its codes start, and its size,
// with rows bottom to top unless the height is negative.
struct RleHeader {
  std::uint32_t offset, header;
  std::int32_t w, height;
  std::int64_t h;
  unsigned bits;
  std::uint32_t used;  // palette entries, 0 for all
};

std::optional<RleHeader> readHeader(Bytes file) {
  if (file.size() < 54) return std::nullopt;
  RleHeader hd;
  hd.offset = u32le(file, 10), hd.header = u32le(file, 14);
  hd.w = static_cast<std::int32_t>(u32le(file, 18));
  hd.height = static_cast<std::int32_t>(u32le(file, 22));
  hd.bits = file[28] | (file[29] << 8);
  hd.used = u32le(file, 46);
  const bool four = u32le(file, 30) == 2;
  if (hd.bits != (four ? 4u : 8u) || hd.header < 40 || hd.header > file.size() - 14) {
    return std::nullopt;
  }
  hd.h = hd.height < 0 ? -std::int64_t{hd.height} : hd.height;
  if (!sizeAllowed(hd.w, hd.h) || hd.offset > file.size()) return std::nullopt;
  return hd;
}

using Palette = std::uint8_t[256][4];

// The colours between the header and the codes, as many as fit there;
// those missing are black.
void readPalette(Bytes file, const RleHeader& hd, Palette& palette) {
  static constexpr std::uint8_t kBlack[3] = {0, 0, 0};
  const std::size_t at = 14 + std::size_t{hd.header};
  std::size_t entries = hd.used == 0 || hd.used > (1u << hd.bits) ? (1u << hd.bits) : hd.used;
  entries = at <= hd.offset ? std::min<std::size_t>(entries, (hd.offset - at) / 4) : 0;
  for (std::size_t i = 0; i < 256; ++i) {
    const std::uint8_t* e = i < entries ? file.data() + at + 4 * i : kBlack;  // stored B, G, R
    palette[i][0] = e[2], palette[i][1] = e[1], palette[i][2] = e[0], palette[i][3] = 255;
  }
}

// The codes: pairs of a count and a colour index, or escapes (0 end of line,
// 1 end of bitmap, 2 a move right and up, 3 and more a literal run padded to
// 16 bits). False when the file ends first.
bool runCodes(Bytes file, const RleHeader& hd, const Palette& palette, Raster& r) {
  const bool four = hd.bits == 4;
  const auto put = [&](std::int64_t x, std::int64_t y, unsigned index) {
    if (x >= r.w || y >= r.h) return;
    const int row = hd.height < 0 ? static_cast<int>(y) : r.h - 1 - static_cast<int>(y);
    std::memcpy(r.row(row) + 4 * x, palette[index], 4);
  };
  std::int64_t x = 0, y = 0;
  for (std::size_t at = hd.offset; y < r.h;) {
    if (at + 2 > file.size()) return false;
    const unsigned count = file[at], value = file[at + 1];
    at += 2;
    if (count > 0) {
      for (unsigned i = 0; i < count; ++i, ++x)
        put(x, y, four ? (i & 1 ? value & 15 : value >> 4) : value);
    } else if (value == 0) {
      x = 0, ++y;
    } else if (value == 1) {
      break;
    } else if (value == 2) {
      if (at + 2 > file.size()) return false;
      x += file[at], y += file[at + 1];
      at += 2;
    } else {
      const std::size_t bytes = four ? (value + 1) / 2 : value;
      if (at + bytes > file.size()) return false;
      for (unsigned i = 0; i < value; ++i, ++x) {
        put(x, y, four ? (i & 1 ? file[at + i / 2] & 15 : file[at + i / 2] >> 4) : file[at + i]);
      }
      at += bytes + (bytes & 1);
    }
  }
  return true;
}

}  // namespace

std::optional<Image> decodeBmp(Bytes file) {
  return decodeWithStb(file, rowsInFile);
}

// Pixels that no code reaches take the palette's first colour.
std::optional<Image> decodeBmpRle(Bytes file) {
  const std::optional<RleHeader> hd = readHeader(file);
  if (!hd) return std::nullopt;
  Palette palette;
  readPalette(file, *hd, palette);
  std::optional<Image> image = blankImage(hd->w, hd->h);
  if (!image) return std::nullopt;
  Raster& r = image->raster;
  for (std::size_t i = 0; i < r.bytes(); i += 4) std::memcpy(r.px.get() + i, palette[0], 4);
  if (!runCodes(file, *hd, palette, r)) return std::nullopt;
  return image;
}

}  // namespace stills::detail
