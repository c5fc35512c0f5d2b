// A file read once, through one descriptor, and its decoder chosen by its
// signature.
#include "stills/stills.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "stills/codecs.hpp"

namespace stills {

using detail::Bytes;
using detail::startsWith;

namespace {

// HEIF and AVIF are ISO media files whose "ftyp" box names an image brand,
// as the major brand or among the compatible ones.
bool isHeif(Bytes b) {
  if (!startsWith(b, 4, "ftyp") || b.size() < 16) return false;
  const std::size_t box = detail::u32be(b, 0);
  const std::size_t end = std::min(b.size(), box);
  static constexpr const char* kBrands[] = {"heic", "heix", "hevc", "hevx", "heim", "heis",
                                            "hevm", "hevs", "mif1", "msf1", "avif", "avis"};
  for (std::size_t at = 8; at + 4 <= end; at += 4) {
    if (at == 12) continue;  // the minor version, not a brand
    for (const char* brand : kBrands) {
      if (startsWith(b, at, brand)) return true;
    }
  }
  return false;
}

using Decoder = std::optional<Image> (*)(Bytes);

// The decoder that the first bytes call for, or none.
Decoder decoderFor(Bytes b) {
  if (b.size() >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) return detail::decodeJpeg;
  if (startsWith(b, 0, "\x89PNG\r\n\x1a\n")) return detail::decodePng;
  if (startsWith(b, 0, "RIFF") && startsWith(b, 8, "WEBP")) return detail::decodeWebp;
  if (startsWith(b, 0, "II*") || startsWith(b, 0, "MM\0*") || startsWith(b, 0, "II+") ||
      (b.size() >= 4 && std::memcmp(b.data(), "MM\0+", 4) == 0)) {
    return detail::decodeTiff;
  }
  if (startsWith(b, 0, "GIF87a") || startsWith(b, 0, "GIF89a")) return detail::decodeGif;
  if (isHeif(b)) return detail::decodeHeif;
  // BMP's BI_RLE8 and BI_RLE4, which stb does not read, by their compression field.
  if (startsWith(b, 0, "BM") && b.size() >= 34 && b[14] >= 40 && (b[30] == 1 || b[30] == 2) &&
      b[31] == 0 && b[32] == 0 && b[33] == 0) {
    return detail::decodeBmpRle;
  }
  if (startsWith(b, 0, "BM")) return detail::decodeBmp;
  if (startsWith(b, 0, "#?RADIANCE") || startsWith(b, 0, "#?RGBE")) return detail::decodeRadiance;
  if (b.size() >= 3 && b[0] == 'P' && b[1] >= '1' && b[1] <= '7' &&
      std::strchr(" \t\r\n#", b[2]) != nullptr && b[2] != '\0') {
    return detail::decodeNetpbm;
  }
  if ((b.size() >= 12 && std::memcmp(b.data(), "\0\0\0\x0cjP  \r\n\x87\n", 12) == 0) ||
      (b.size() >= 4 && b[0] == 0xFF && b[1] == 0x4F && b[2] == 0xFF && b[3] == 0x51)) {
    return detail::decodeJpeg2000;
  }
  if (b.size() >= 3 && b[0] == 'P' && (b[1] == 'F' || b[1] == 'f') &&
      std::strchr(" \t\r\n", b[2]) != nullptr && b[2] != '\0') {
    return detail::decodePfm;
  }
  if (b.size() >= 4 && b[0] == 0x59 && b[1] == 0xA6 && b[2] == 0x6A && b[3] == 0x95) {
    return detail::decodeSunRaster;
  }
  if (b.size() >= 4 && b[0] == 0x76 && b[1] == 0x2F && b[2] == 0x31 && b[3] == 0x01) {
    return detail::decodeExrOrDicom;  // OpenEXR
  }
  // DICOM: "DICM" after the 128-byte preamble. Files without the preamble have
  // no signature at all, only a first element's tag, which other data can
  // match by chance, so they are not read.
  if (startsWith(b, 128, "DICM")) return detail::decodeExrOrDicom;
  return nullptr;
}

// The farthest signature above, DICOM's.
constexpr std::size_t kSniffBytes = 132;

}  // namespace

std::optional<std::vector<std::uint8_t>> readFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::vector<std::uint8_t> data;
  bool ok = true;
  try {
    std::size_t chunk = 1 << 16;
    for (;;) {
      const std::size_t used = data.size();
      data.resize(used + chunk);
      const ssize_t got = ::read(fd, data.data() + used, chunk);
      if (got < 0 && errno == EINTR) {
        data.resize(used);
        continue;
      }
      if (got < 0) {
        ok = false;
        break;
      }
      data.resize(used + static_cast<std::size_t>(got));
      if (got == 0) break;
      if (data.size() >= kSniffBytes && decoderFor(data) == nullptr) {
        ok = false;  // no image; do not read a device or a huge file to its end
        break;
      }
      chunk = std::min<std::size_t>(std::max(chunk, data.size()), std::size_t{1} << 26);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return data;
}

std::optional<Image> decode(Bytes file) {
  const Decoder decoder = decoderFor(file);
  if (decoder == nullptr) return std::nullopt;
  try {
    return decoder(file);
  } catch (const std::bad_alloc&) {
    return std::nullopt;  // larger than this machine can hold
  } catch (const std::length_error&) {
    return std::nullopt;
  }
}

std::optional<Image> load(const std::string& path) {
  std::optional<std::vector<std::uint8_t>> data = readFile(path);
  if (!data) return std::nullopt;
  return decode(*data);
}

}  // namespace stills
