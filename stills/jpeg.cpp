// JPEG through TurboJPEG with its default settings (accurate integer IDCT,
// fancy chroma upsampling): the pixels libjpeg gives any program that asks
// for RGB, so earlier outputs stay byte for byte the same. TurboJPEG keeps
// libjpeg's warnings in the handle instead of printing them.
#include <turbojpeg.h>

#include <cstring>
#include <map>
#include <memory>

#include "stills/codecs.hpp"

namespace stills::detail {

namespace {

struct Metadata {
  int orientation = 1;
  std::vector<std::uint8_t> icc;
};

// The EXIF orientation and the ICC profile (split over numbered APP2
// segments) from the markers before the first scan.
Metadata readMarkers(Bytes b) {
  Metadata meta;
  std::map<int, Bytes> chunks;
  int chunkCount = 0;
  std::size_t p = 2;
  while (p + 4 <= b.size() && b[p] == 0xFF) {
    const std::uint8_t marker = b[p + 1];
    if (marker == 0xFF) {  // fill byte
      ++p;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) break;
    const std::size_t len = (std::size_t{b[p + 2]} << 8) | b[p + 3];
    if (len < 2 || p + 2 + len > b.size()) break;
    const Bytes body = b.subspan(p + 4, len - 2);
    if (marker == 0xE1 && body.size() > 6 && std::memcmp(body.data(), "Exif\0\0", 6) == 0) {
      meta.orientation = exifOrientation(body);
    } else if (marker == 0xE2 && body.size() > 14 &&
               std::memcmp(body.data(), "ICC_PROFILE\0", 12) == 0) {
      chunkCount = body[13];
      chunks[body[12]] = body.subspan(14);
    }
    p += 2 + len;
  }
  // Only a complete profile is kept: chunks 1..count, each present once.
  if (chunkCount > 0 && static_cast<int>(chunks.size()) == chunkCount &&
      chunks.begin()->first == 1 && chunks.rbegin()->first == chunkCount) {
    for (const auto& [seq, piece] : chunks)
      meta.icc.insert(meta.icc.end(), piece.begin(), piece.end());
  }
  return meta;
}

// CMYK as libjpeg hands it over (inverted, Adobe's convention, which is
// what Photoshop writes and what TurboJPEG reads YCCK into), to RGB in place,
// with the integer formula that earlier versions of the program used.
void cmykToRgba(std::uint8_t* px, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, px += 4) {
    const int k = px[3];
    for (int c = 0; c < 3; ++c) px[c] = static_cast<std::uint8_t>(k - (((255 - px[c]) * k) >> 8));
    px[3] = 255;
  }
}

}  // namespace

std::optional<Image> decodeJpeg(Bytes file) {
  const std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitDecompress(), tjDestroy);
  if (!tj) return std::nullopt;
  int w = 0, h = 0, subsampling = 0, colourspace = 0;
  if (tjDecompressHeader3(tj.get(), file.data(), file.size(), &w, &h, &subsampling, &colourspace) !=
      0) {
    return std::nullopt;
  }
  std::optional<Image> image = blankImage(w, h);
  if (!image) return std::nullopt;
  const bool cmyk = colourspace == TJCS_CMYK || colourspace == TJCS_YCCK;
  const int rc = tjDecompress2(tj.get(), file.data(), file.size(), image->raster.px.get(), w, 4 * w,
                               h, cmyk ? TJPF_CMYK : TJPF_RGBA, 0);
  // A warning (a truncated file, say) leaves the rows libjpeg recovered, the
  // rest grey; that picture is the result, as it always was.
  if (rc != 0 && tjGetErrorCode(tj.get()) != TJERR_WARNING) return std::nullopt;
  if (cmyk) cmykToRgba(image->raster.px.get(), static_cast<std::size_t>(w) * h);
  Metadata meta = readMarkers(file);
  image->orientation = meta.orientation;
  image->icc = std::move(meta.icc);
  return image;
}

}  // namespace stills::detail
