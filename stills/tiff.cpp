// TIFF through libtiff's RGBA interface, the first page, from memory.
#include <tiffio.h>

#include <memory>

#include "stills/codecs.hpp"

namespace stills::detail {

namespace {

tmsize_t tiffRead(thandle_t h, void* out, tmsize_t n) {
  return static_cast<tmsize_t>(
      static_cast<MemoryReader*>(h)->read(out, static_cast<std::size_t>(n)));
}
tmsize_t tiffWrite(thandle_t, void*, tmsize_t) {
  return -1;
}
toff_t tiffSeek(thandle_t h, toff_t off, int whence) {
  auto* r = static_cast<MemoryReader*>(h);
  const std::size_t base = whence == SEEK_CUR ? r->pos : whence == SEEK_END ? r->file.size() : 0;
  r->pos = base + off;
  return r->pos;
}
int tiffClose(thandle_t) {
  return 0;
}
toff_t tiffSize(thandle_t h) {
  return static_cast<MemoryReader*>(h)->file.size();
}
int tiffMap(thandle_t h, void** base, toff_t* size) {
  auto* r = static_cast<MemoryReader*>(h);
  *base = const_cast<std::uint8_t*>(r->file.data());
  *size = r->file.size();
  return 1;
}
void tiffUnmap(thandle_t, void*, toff_t) {}

using Tiff = std::unique_ptr<TIFF, void (*)(TIFF*)>;

Tiff open(MemoryReader& reader) {
  // libtiff's handlers are process-wide; with none, it prints nothing.
  static const bool silenced = [] {
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
    return true;
  }();
  (void)silenced;
  return Tiff(TIFFClientOpen("image", "r", &reader, tiffRead, tiffWrite, tiffSeek, tiffClose,
                             tiffSize, tiffMap, tiffUnmap),
              TIFFClose);
}

// libtiff's words hold A, B, G, R from the high byte down; its alpha is
// already associated (premultiplied), as the raster's is. A file that
// declares associated alpha is taken at its word, so colour above alpha
// (which no premultiplied pixel can hold) is cut to it.
void wordsToRgba(Raster& r) {
  std::uint8_t* px = r.px.get();
  for (std::size_t i = 0, n = r.bytes() / 4; i < n; ++i, px += 4) {
    std::uint32_t v;
    std::memcpy(&v, px, 4);
    const std::uint8_t a = static_cast<std::uint8_t>(TIFFGetA(v));
    px[0] = std::min(static_cast<std::uint8_t>(TIFFGetR(v)), a);
    px[1] = std::min(static_cast<std::uint8_t>(TIFFGetG(v)), a);
    px[2] = std::min(static_cast<std::uint8_t>(TIFFGetB(v)), a);
    px[3] = a;
  }
}

}  // namespace

std::optional<Image> decodeTiff(Bytes file) {
  MemoryReader reader{file};
  const Tiff tif = open(reader);
  if (!tif) return std::nullopt;
  std::uint32_t w = 0, h = 0;
  if (!TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w) ||
      !TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h) || !sizeAllowed(w, h)) {
    return std::nullopt;
  }
  char message[1024];
  TIFFRGBAImage rgba;
  if (!TIFFRGBAImageOK(tif.get(), message) || !TIFFRGBAImageBegin(&rgba, tif.get(), 0, message)) {
    return std::nullopt;
  }
  // Asking for the file's own orientation keeps the rows as stored; the
  // orientation is handed on like EXIF's, whose values TIFF's are.
  std::uint16_t orientation = ORIENTATION_TOPLEFT;
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_ORIENTATION, &orientation);
  rgba.req_orientation = orientation;
  const struct Ended {
    TIFFRGBAImage* rgba;
    ~Ended() { TIFFRGBAImageEnd(rgba); }
  } ended{&rgba};
  std::optional<Image> image = blankImage(w, h);
  if (!image) return std::nullopt;
  auto* words = reinterpret_cast<std::uint32_t*>(image->raster.px.get());
  if (!TIFFRGBAImageGet(&rgba, words, w, h)) return std::nullopt;
  wordsToRgba(image->raster);
  image->orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
  std::uint32_t iccSize = 0;
  void* icc = nullptr;
  if (TIFFGetField(tif.get(), TIFFTAG_ICCPROFILE, &iccSize, &icc))
    image->icc = copyOf(icc, iccSize);
  return image;
}

}  // namespace stills::detail
