// BMP and Radiance HDR through stb_image, and the Netpbm family here: stb
// reads only binary PGM and PPM, where users also bring plain (ASCII) files,
// bitmaps (P1, P4) and PAM (P7) with alpha.
#include <stb_image.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "stills/codecs.hpp"

namespace stills::detail {

namespace {

// stb's Radiance reader loops for ever on some damaged run-length scanlines
// (a run of length 0, or one cut off by the end of the file), so the runs are
// walked here first and such a file is unreadable. Scanlines that are not
// run-length encoded are read by stb in a loop of fixed length, and pass.
bool radianceRunsComplete(Bytes file, int w, int h) {
  const std::size_t n = file.size();
  std::size_t at = 0;
  // The header ends at an empty line; the resolution line follows it.
  while (at + 1 < n && !(file[at] == '\n' && file[at + 1] == '\n')) ++at;
  at += 2;
  while (at < n && file[at] != '\n') ++at;
  ++at;
  if (w < 8 || w >= 32768) return true;
  for (int y = 0; y < h; ++y) {
    if (at + 4 > n) return false;
    if (file[at] != 2 || file[at + 1] != 2 || (file[at + 2] & 0x80)) return true;
    if (((file[at + 2] << 8) | file[at + 3]) != w) return false;
    at += 4;
    for (int channel = 0; channel < 4; ++channel) {
      for (int left = w; left > 0;) {
        if (at >= n) return false;
        int count = file[at++];
        const bool run = count > 128;
        if (run) count -= 128;
        if (count == 0 || count > left) return false;
        at += run ? 1 : static_cast<std::size_t>(count);
        if (at > n) return false;
        left -= count;
      }
    }
  }
  return true;
}

}  // namespace

std::optional<Image> decodeStb(Bytes file) {
  if (file.size() > INT_MAX) return std::nullopt;
  const auto* data = file.data();
  const int len = static_cast<int>(file.size());
  // Radiance HDR holds linear light; it is taken as 0..1 times 255, with no
  // gamma, as earlier versions of the programs did.
  static const bool linear = [] {
    stbi_hdr_to_ldr_gamma(1.0f);
    stbi_hdr_to_ldr_scale(1.0f);
    return true;
  }();
  (void)linear;
  int w = 0, h = 0, channels = 0;
  if (!stbi_info_from_memory(data, len, &w, &h, &channels) || !sizeAllowed(w, h)) {
    return std::nullopt;
  }
  if (file[0] == '#' && !radianceRunsComplete(file, w, h)) return std::nullopt;
  // stb reads only uncompressed BMP, whose rows must all be in the file: a
  // damaged height would otherwise have it fill a large raster from nothing.
  if (file[0] == 'B' && file.size() >= 30) {
    const std::size_t at = file[14] == 12 ? 24 : 28;  // OS/2's short header, or Windows'
    const std::uint64_t bits = static_cast<std::uint64_t>(file[at] | (file[at + 1] << 8));
    const std::uint64_t rowBytes = (static_cast<std::uint64_t>(w) * bits + 31) / 32 * 4;
    if (rowBytes * static_cast<std::uint64_t>(h) > file.size()) return std::nullopt;
  }
  Image image;
  image.raster = Raster(w, h);
  std::uint8_t* px = image.raster.px.get();
  const std::size_t samples = image.raster.bytes();
  if (stbi_is_16_bit_from_memory(data, len)) {
    const std::unique_ptr<stbi_us, void (*)(void*)> deep(
        stbi_load_16_from_memory(data, len, &w, &h, &channels, 4), stbi_image_free);
    if (!deep || w != image.raster.w || h != image.raster.h) return std::nullopt;
    for (std::size_t i = 0; i < samples; ++i) px[i] = eightBits(deep.get()[i]);
  } else {
    const std::unique_ptr<stbi_uc, void (*)(void*)> rgba(
        stbi_load_from_memory(data, len, &w, &h, &channels, 4), stbi_image_free);
    if (!rgba || w != image.raster.w || h != image.raster.h) return std::nullopt;
    std::memcpy(px, rgba.get(), samples);
  }
  premultiplyInPlace(px, samples / 4);
  return image;
}

namespace {

// Netpbm's header and plain samples: numbers between whitespace, with
// comments from '#' to the end of the line.
struct Scanner {
  Bytes b;
  std::size_t pos = 0;

  void skipSpace() {
    while (pos < b.size()) {
      if (b[pos] == '#') {
        while (pos < b.size() && b[pos] != '\n' && b[pos] != '\r') ++pos;
      } else if (std::isspace(b[pos])) {
        ++pos;
      } else {
        break;
      }
    }
  }
  // A decimal number up to `limit`; nothing for anything else.
  std::optional<std::uint32_t> number(std::uint32_t limit) {
    skipSpace();
    std::uint64_t v = 0;
    const std::size_t start = pos;
    while (pos < b.size() && b[pos] >= '0' && b[pos] <= '9') {
      v = v * 10 + (b[pos++] - '0');
      if (v > limit) return std::nullopt;
    }
    if (pos == start) return std::nullopt;
    return static_cast<std::uint32_t>(v);
  }
  std::string word() {
    skipSpace();
    std::string w;
    while (pos < b.size() && !std::isspace(b[pos])) w += static_cast<char>(b[pos++]);
    return w;
  }
};

struct Header {
  int kind = 0;  // the digit after 'P'
  std::uint32_t w = 0, h = 0, depth = 0, maxval = 1;
};

std::optional<Header> readHeader(Scanner& s) {
  Header hd;
  hd.kind = s.b[1] - '0';
  s.pos = 2;
  constexpr std::uint32_t kSide = 1u << 29;
  if (hd.kind == 7) {  // PAM: named fields up to ENDHDR
    for (std::string key = s.word(); key != "ENDHDR"; key = s.word()) {
      std::optional<std::uint32_t> v;
      if (key == "WIDTH")
        v = s.number(kSide), hd.w = v.value_or(0);
      else if (key == "HEIGHT")
        v = s.number(kSide), hd.h = v.value_or(0);
      else if (key == "DEPTH")
        v = s.number(4), hd.depth = v.value_or(0);
      else if (key == "MAXVAL")
        v = s.number(65535), hd.maxval = v.value_or(0);
      else if (key == "TUPLTYPE")
        v = static_cast<std::uint32_t>(s.word().size());
      if (!v) return std::nullopt;
    }
    if (hd.depth == 0) return std::nullopt;
  } else {
    const auto w = s.number(kSide), h = s.number(kSide);
    if (!w || !h) return std::nullopt;
    hd.w = *w, hd.h = *h;
    hd.depth = hd.kind == 3 || hd.kind == 6 ? 3 : 1;
    if (hd.kind != 1 && hd.kind != 4) {
      const auto m = s.number(65535);
      if (!m) return std::nullopt;
      hd.maxval = *m;
    }
  }
  if (hd.maxval == 0) return std::nullopt;
  // One whitespace byte ends the header of a binary file.
  if (hd.kind >= 4 && hd.kind != 7) ++s.pos;
  if (hd.kind == 7) {
    while (s.pos < s.b.size() && s.b[s.pos] != '\n') ++s.pos;
    ++s.pos;
  }
  return hd;
}

}  // namespace

std::optional<Image> decodeNetpbm(Bytes file) {
  Scanner s{file};
  const std::optional<Header> hd = readHeader(s);
  if (!hd || !sizeAllowed(hd->w, hd->h)) return std::nullopt;
  const int w = static_cast<int>(hd->w), h = static_cast<int>(hd->h);
  const unsigned depth = hd->depth, maxval = hd->maxval;
  const bool plain = hd->kind <= 3, bits = hd->kind == 1 || hd->kind == 4;
  const std::size_t sampleBytes = maxval > 255 ? 2 : 1;
  const std::size_t rowBytes = bits ? (static_cast<std::size_t>(w) + 7) / 8
                                    : static_cast<std::size_t>(w) * depth * sampleBytes;
  if (!plain &&
      (s.pos > file.size() || (file.size() - s.pos) / rowBytes < static_cast<std::size_t>(h))) {
    return std::nullopt;  // truncated binary data
  }
  Image image;
  image.raster = Raster(w, h);
  std::uint8_t* px = image.raster.px.get();
  const std::size_t count = static_cast<std::size_t>(w) * h;
  unsigned sample[4] = {0, 0, 0, 0};
  for (std::size_t i = 0; i < count; ++i, px += 4) {
    const std::size_t x = i % static_cast<std::size_t>(w), y = i / static_cast<std::size_t>(w);
    for (unsigned c = 0; c < depth; ++c) {
      unsigned v;
      if (plain) {
        if (bits) {  // plain bitmap digits need no separators
          s.skipSpace();
          if (s.pos >= file.size() || (file[s.pos] != '0' && file[s.pos] != '1'))
            return std::nullopt;
          v = file[s.pos++] - '0';
        } else {
          const auto n = s.number(65535);
          if (!n) return std::nullopt;
          v = std::min<unsigned>(*n, maxval);
        }
      } else {
        const std::uint8_t* row = file.data() + s.pos + rowBytes * y;
        if (bits) {
          v = (row[x / 8] >> (7 - x % 8)) & 1;
        } else {
          const std::uint8_t* at = row + (x * depth + c) * sampleBytes;
          v = std::min<unsigned>(sampleBytes == 2 ? (at[0] << 8) | at[1] : at[0], maxval);
        }
      }
      // Bitmaps store 1 for black; everything else scales to 0..255.
      sample[c] = bits ? (v ? 0 : 255) : (v * 255 + maxval / 2) / maxval;
    }
    const bool colour = depth >= 3, alpha = depth == 2 || depth == 4;
    px[0] = static_cast<std::uint8_t>(sample[0]);
    px[1] = static_cast<std::uint8_t>(colour ? sample[1] : sample[0]);
    px[2] = static_cast<std::uint8_t>(colour ? sample[2] : sample[0]);
    px[3] = static_cast<std::uint8_t>(alpha ? sample[depth - 1] : 255);
  }
  premultiplyInPlace(image.raster.px.get(), count);
  return image;
}

}  // namespace stills::detail
