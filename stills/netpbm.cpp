// The Netpbm family, read here: stb reads only binary PGM and PPM, where
// users also bring plain (ASCII) files, bitmaps (P1, P4), PAM (P7) with
// alpha, and Portable Float Maps.
#include <cctype>
#include <cstdlib>
#include <string>

#include "stills/codecs.hpp"

namespace stills::detail {

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

// Where the samples lie and how they are stored.
struct Layout {
  bool plain, bits;
  std::size_t sampleBytes, rowBytes;
};

Layout layoutOf(const Header& hd) {
  Layout l;
  l.plain = hd.kind <= 3, l.bits = hd.kind == 1 || hd.kind == 4;
  l.sampleBytes = hd.maxval > 255 ? 2 : 1;
  l.rowBytes = l.bits ? (std::size_t{hd.w} + 7) / 8 : std::size_t{hd.w} * hd.depth * l.sampleBytes;
  return l;
}

// Sample c of pixel (x, y) as stored, clamped to the maximum value; nothing
// when a plain file runs out of samples. Plain samples come in file order.
std::optional<unsigned> sampleAt(Scanner& s, const Header& hd, const Layout& l, std::size_t x,
                                 std::size_t y, unsigned c) {
  const Bytes file = s.b;
  if (l.plain && l.bits) {  // plain bitmap digits need no separators
    s.skipSpace();
    if (s.pos >= file.size() || (file[s.pos] != '0' && file[s.pos] != '1')) return std::nullopt;
    return file[s.pos++] - '0';
  }
  if (l.plain) {
    const auto n = s.number(65535);
    if (!n) return std::nullopt;
    return std::min<unsigned>(*n, hd.maxval);
  }
  const std::uint8_t* row = file.data() + s.pos + l.rowBytes * y;
  if (l.bits) return (row[x / 8] >> (7 - x % 8)) & 1;
  const std::uint8_t* at = row + (x * hd.depth + c) * l.sampleBytes;
  return std::min<unsigned>(l.sampleBytes == 2 ? (at[0] << 8) | at[1] : at[0], hd.maxval);
}

// Grey, grey and alpha, RGB or RGBA by depth, straight, into the raster.
bool readPixels(Scanner& s, const Header& hd, const Layout& l, Raster& r) {
  std::uint8_t* px = r.px.get();
  const std::size_t w = static_cast<std::size_t>(r.w), count = w * r.h;
  const unsigned depth = hd.depth, maxval = hd.maxval;
  unsigned sample[4] = {0, 0, 0, 0};
  for (std::size_t i = 0; i < count; ++i, px += 4) {
    for (unsigned c = 0; c < depth; ++c) {
      const std::optional<unsigned> v = sampleAt(s, hd, l, i % w, i / w, c);
      if (!v) return false;
      // Bitmaps store 1 for black; everything else scales to 0..255.
      sample[c] = l.bits ? (*v ? 0 : 255) : (*v * 255 + maxval / 2) / maxval;
    }
    const bool colour = depth >= 3, alpha = depth == 2 || depth == 4;
    px[0] = static_cast<std::uint8_t>(sample[0]);
    px[1] = static_cast<std::uint8_t>(colour ? sample[1] : sample[0]);
    px[2] = static_cast<std::uint8_t>(colour ? sample[2] : sample[0]);
    px[3] = static_cast<std::uint8_t>(alpha ? sample[depth - 1] : 255);
  }
  return true;
}

}  // namespace

std::optional<Image> decodeNetpbm(Bytes file) {
  Scanner s{file};
  const std::optional<Header> hd = readHeader(s);
  if (!hd || !sizeAllowed(hd->w, hd->h)) return std::nullopt;
  const Layout l = layoutOf(*hd);
  if (!l.plain && (s.pos > file.size() || (file.size() - s.pos) / l.rowBytes < hd->h)) {
    return std::nullopt;  // truncated binary data
  }
  std::optional<Image> image = blankImage(hd->w, hd->h);
  if (!image || !readPixels(s, *hd, l, image->raster)) return std::nullopt;
  premultiplyInPlace(image->raster.px.get(), image->raster.bytes() / 4);
  return image;
}

namespace {

// "PF" colour or "Pf" grey, width, height and a scale whose sign gives the
// byte order (negative: little endian); rows run bottom to top.
struct PfmHeader {
  long long w, h;
  std::size_t channels, data;
  bool little;
};

std::optional<PfmHeader> readPfmHeader(Bytes file) {
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
  return PfmHeader{w, h, file[1] == 'F' ? std::size_t{3} : std::size_t{1}, pos, scale < 0.0};
}

}  // namespace

std::optional<Image> decodePfm(Bytes file) {
  const std::optional<PfmHeader> hd = readPfmHeader(file);
  if (!hd || !sizeAllowed(hd->w, hd->h)) return std::nullopt;
  const std::size_t rowBytes = 4 * hd->channels * static_cast<std::size_t>(hd->w);
  if ((file.size() - hd->data) / rowBytes < static_cast<std::size_t>(hd->h)) return std::nullopt;
  std::optional<Image> image = blankImage(hd->w, hd->h);
  if (!image) return std::nullopt;
  Raster& r = image->raster;
  for (int y = 0; y < r.h; ++y) {
    const std::uint8_t* in =
        file.data() + hd->data + rowBytes * static_cast<std::size_t>(r.h - 1 - y);
    std::uint8_t* px = r.row(y);
    for (int x = 0; x < r.w; ++x, px += 4) {
      for (std::size_t c = 0; c < hd->channels; ++c, in += 4) {
        const std::uint32_t bits = hd->little ? u32le(Bytes(in, 4), 0) : u32be(Bytes(in, 4), 0);
        float v;
        std::memcpy(&v, &bits, 4);
        px[c] = fromLinear(v);
      }
      if (hd->channels == 1) px[1] = px[2] = px[0];
      px[3] = 255;
    }
  }
  return image;
}

}  // namespace stills::detail
