// Three simple formats that no codec library here reads: Portable Float Map,
// Sun raster, and run-length encoded BMP (stb_image reads BMP uncompressed
// only).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "stills/codecs.hpp"

namespace stills::detail {

namespace {

std::uint32_t u32be(Bytes b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
}
std::uint32_t u32le(Bytes b, std::size_t at) {
  return (std::uint32_t{b[at + 3]} << 24) | (b[at + 2] << 16) | (b[at + 1] << 8) | b[at];
}

}  // namespace

// "PF" colour or "Pf" grey, width, height and a scale whose sign gives the
// byte order (negative: little endian); rows run bottom to top.
std::optional<Image> decodePfm(Bytes file) {
  std::size_t pos = 2;
  std::string words[3];
  for (std::string& word : words) {
    while (pos < file.size() && std::strchr(" \t\r\n", file[pos]) && file[pos] != 0) ++pos;
    while (pos < file.size() && !std::strchr(" \t\r\n", file[pos]) && word.size() < 40) {
      word.push_back(static_cast<char>(file[pos++]));
    }
  }
  ++pos;  // the one whitespace character before the samples
  if (pos > file.size()) return std::nullopt;
  char* end = nullptr;
  const long long w = std::strtoll(words[0].c_str(), &end, 10);
  if (words[0].empty() || *end != '\0') return std::nullopt;
  const long long h = std::strtoll(words[1].c_str(), &end, 10);
  if (words[1].empty() || *end != '\0') return std::nullopt;
  const double scale = std::strtod(words[2].c_str(), &end);
  if (words[2].empty() || *end != '\0' || !(scale != 0.0)) return std::nullopt;
  if (!sizeAllowed(w, h)) return std::nullopt;
  const std::size_t channels = file[1] == 'F' ? 3 : 1;
  const std::size_t rowBytes = 4 * channels * static_cast<std::size_t>(w);
  if ((file.size() - pos) / rowBytes < static_cast<std::size_t>(h)) return std::nullopt;
  const bool little = scale < 0.0;
  Image image;
  Raster& r = image.raster;
  r = Raster(static_cast<int>(w), static_cast<int>(h));
  for (int y = 0; y < r.h; ++y) {
    const std::uint8_t* in = file.data() + pos + rowBytes * static_cast<std::size_t>(r.h - 1 - y);
    std::uint8_t* px = r.row(y);
    for (int x = 0; x < r.w; ++x, px += 4) {
      for (std::size_t c = 0; c < channels; ++c, in += 4) {
        const std::uint32_t bits = little ? u32le(Bytes(in, 4), 0) : u32be(Bytes(in, 4), 0);
        float v;
        std::memcpy(&v, &bits, 4);
        px[c] = fromLinear(v);
      }
      if (channels == 1) px[1] = px[2] = px[0];
      px[3] = 255;
    }
  }
  return image;
}

// Sun raster: 1, 8, 24 or 32 bits, with or without a colour map, stored or
// run-length encoded (0x80 escapes). Colour is blue first unless the type is
// RT_FORMAT_RGB; the fourth byte of 32-bit pixels is padding.
std::optional<Image> decodeSunRaster(Bytes file) {
  if (file.size() < 32) return std::nullopt;
  const std::int64_t w = u32be(file, 4), h = u32be(file, 8);
  const std::uint32_t depth = u32be(file, 12), type = u32be(file, 20);
  const std::uint32_t mapType = u32be(file, 24), mapLength = u32be(file, 28);
  if (depth != 1 && depth != 8 && depth != 24 && depth != 32) return std::nullopt;
  if (type > 3 || mapType > 2 || !sizeAllowed(w, h)) return std::nullopt;
  if (mapLength > file.size() - 32) return std::nullopt;
  // The map holds its reds, then greens, then blues; without one, 1-bit
  // pixels are white for 0 and 8-bit ones are grey.
  std::uint8_t palette[256][3];
  for (int i = 0; i < 256; ++i) {
    const auto grey = static_cast<std::uint8_t>(depth == 1 ? (i == 0 ? 255 : 0) : i);
    palette[i][0] = palette[i][1] = palette[i][2] = grey;
  }
  if (mapType == 1 && depth <= 8) {
    const std::size_t entries = std::min<std::size_t>(mapLength / 3, 256);
    for (std::size_t i = 0; i < entries; ++i) {
      for (std::size_t c = 0; c < 3; ++c) palette[i][c] = file[32 + c * (mapLength / 3) + i];
    }
  }
  const std::size_t rowBytes = (static_cast<std::size_t>(w) * depth + 15) / 16 * 2;
  const std::size_t total = rowBytes * static_cast<std::size_t>(h);
  const Bytes data = file.subspan(32 + mapLength);
  std::vector<std::uint8_t> unpacked;
  Bytes rows = data;
  if (type == 2) {
    // Every run costs at least two bytes of file and yields at most 256, so
    // a file far too short for its size is refused before allocating.
    if (data.size() < total / 128) return std::nullopt;
    unpacked.reserve(total);
    for (std::size_t at = 0; at < data.size() && unpacked.size() < total;) {
      const std::uint8_t b = data[at++];
      if (b != 0x80) {
        unpacked.push_back(b);
      } else if (at < data.size() && data[at] == 0) {
        unpacked.push_back(0x80);
        ++at;
      } else if (at + 1 < data.size()) {
        unpacked.insert(unpacked.end(),
                        std::min<std::size_t>(data[at] + 1u, total - unpacked.size()),
                        data[at + 1]);
        at += 2;
      } else {
        break;
      }
    }
    rows = unpacked;
  }
  if (rows.size() < total) return std::nullopt;
  const bool rgb = type == 3;
  Image image;
  Raster& r = image.raster;
  r = Raster(static_cast<int>(w), static_cast<int>(h));
  for (int y = 0; y < r.h; ++y) {
    const std::uint8_t* in = rows.data() + rowBytes * static_cast<std::size_t>(y);
    std::uint8_t* px = r.row(y);
    for (int x = 0; x < r.w; ++x, px += 4) {
      if (depth <= 8) {
        const unsigned index = depth == 8 ? in[x] : (in[x >> 3] >> (7 - (x & 7))) & 1;
        std::memcpy(px, palette[index], 3);
      } else {
        const std::uint8_t* p = in + static_cast<std::size_t>(x) * (depth / 8) + (depth == 32);
        px[0] = rgb ? p[0] : p[2];
        px[1] = p[1];
        px[2] = rgb ? p[2] : p[0];
      }
      px[3] = 255;
    }
  }
  return image;
}

// BMP compressed with BI_RLE8 or BI_RLE4: pairs of a count and a colour
// index, or escapes (0 end of line, 1 end of bitmap, 2 a move right and up,
// 3 and more a literal run padded to 16 bits). Rows run bottom to top;
// pixels that no code reaches take the palette's first colour.
std::optional<Image> decodeBmpRle(Bytes file) {
  if (file.size() < 54) return std::nullopt;
  const std::uint32_t offset = u32le(file, 10), header = u32le(file, 14);
  const auto w = static_cast<std::int32_t>(u32le(file, 18));
  const auto height = static_cast<std::int32_t>(u32le(file, 22));
  const unsigned bits = file[28] | (file[29] << 8);
  const std::uint32_t compression = u32le(file, 30), used = u32le(file, 46);
  const bool four = compression == 2;
  if (bits != (four ? 4u : 8u) || header < 40 || header > file.size() - 14) return std::nullopt;
  const std::int64_t h = height < 0 ? -std::int64_t{height} : height;
  if (!sizeAllowed(w, h) || offset > file.size()) return std::nullopt;
  std::uint8_t palette[256][4] = {};
  const std::size_t paletteAt = 14 + std::size_t{header};
  std::size_t entries = used == 0 || used > (1u << bits) ? (1u << bits) : used;
  if (paletteAt <= offset)
    entries = std::min<std::size_t>(entries, (offset - paletteAt) / 4);
  else
    entries = 0;
  for (std::size_t i = 0; i < entries; ++i) {
    const std::uint8_t* e = file.data() + paletteAt + 4 * i;
    palette[i][0] = e[2], palette[i][1] = e[1], palette[i][2] = e[0], palette[i][3] = 255;
  }
  for (std::size_t i = entries; i < 256; ++i) palette[i][3] = 255;  // black

  Image image;
  Raster& r = image.raster;
  r = Raster(w, static_cast<int>(h));
  for (std::size_t i = 0; i < r.bytes(); i += 4) std::memcpy(r.px.get() + i, palette[0], 4);
  const auto put = [&](std::int64_t x, std::int64_t y, unsigned index) {
    if (x >= r.w || y >= r.h) return;
    const int row = height < 0 ? static_cast<int>(y) : r.h - 1 - static_cast<int>(y);
    std::memcpy(r.row(row) + 4 * x, palette[index], 4);
  };
  std::int64_t x = 0, y = 0;
  std::size_t at = offset;
  while (y < r.h) {
    if (at + 2 > file.size()) return std::nullopt;  // cut short
    const unsigned count = file[at], value = file[at + 1];
    at += 2;
    if (count > 0) {
      for (unsigned i = 0; i < count; ++i, ++x) {
        put(x, y, four ? (i & 1 ? value & 15 : value >> 4) : value);
      }
    } else if (value == 0) {
      x = 0, ++y;
    } else if (value == 1) {
      break;
    } else if (value == 2) {
      if (at + 2 > file.size()) return std::nullopt;
      x += file[at], y += file[at + 1];
      at += 2;
    } else {
      const std::size_t bytes = four ? (value + 1) / 2 : value;
      if (at + bytes > file.size()) return std::nullopt;
      for (unsigned i = 0; i < value; ++i, ++x) {
        put(x, y, four ? (i & 1 ? file[at + i / 2] & 15 : file[at + i / 2] >> 4) : file[at + i]);
      }
      at += bytes + (bytes & 1);
    }
  }
  return image;
}

}  // namespace stills::detail
