// WebP, TIFF and GIF: libraries that decode straight from memory.
#include <gif_lib.h>
#include <tiffio.h>
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "stills/codecs.hpp"

namespace stills::detail {

namespace {

std::vector<std::uint8_t> copyOf(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  return p == nullptr ? std::vector<std::uint8_t>{} : std::vector<std::uint8_t>(p, p + size);
}

}  // namespace

std::optional<Image> decodeWebp(Bytes file) {
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(file.data(), file.size(), &features) != VP8_STATUS_OK) return std::nullopt;
  if (!sizeAllowed(features.width, features.height)) return std::nullopt;
  Image image;
  image.raster = Raster(features.width, features.height);
  if (WebPDecodeRGBAInto(file.data(), file.size(), image.raster.px.get(), image.raster.bytes(),
                         4 * features.width) == nullptr) {
    return std::nullopt;
  }
  premultiplyInPlace(image.raster.px.get(), image.raster.bytes() / 4);

  const WebPData data{file.data(), file.size()};
  const std::unique_ptr<WebPDemuxer, void (*)(WebPDemuxer*)> demux(WebPDemux(&data),
                                                                   WebPDemuxDelete);
  if (demux) {
    WebPChunkIterator chunk;
    if (WebPDemuxGetChunk(demux.get(), "ICCP", 1, &chunk)) {
      image.icc = copyOf(chunk.chunk.bytes, chunk.chunk.size);
      WebPDemuxReleaseChunkIterator(&chunk);
    }
    if (WebPDemuxGetChunk(demux.get(), "EXIF", 1, &chunk)) {
      image.orientation = exifOrientation({chunk.chunk.bytes, chunk.chunk.size});
      WebPDemuxReleaseChunkIterator(&chunk);
    }
  }
  return image;
}

namespace {

struct Reader {
  Bytes file;
  std::size_t pos = 0;

  std::size_t read(void* out, std::size_t n) {
    n = std::min(n, file.size() - std::min(pos, file.size()));
    if (n > 0) std::memcpy(out, file.data() + pos, n);
    pos += n;
    return n;
  }
};

tmsize_t tiffRead(thandle_t h, void* out, tmsize_t n) {
  return static_cast<tmsize_t>(static_cast<Reader*>(h)->read(out, static_cast<std::size_t>(n)));
}
tmsize_t tiffWrite(thandle_t, void*, tmsize_t) {
  return -1;
}
toff_t tiffSeek(thandle_t h, toff_t off, int whence) {
  auto* r = static_cast<Reader*>(h);
  const std::size_t base = whence == SEEK_CUR ? r->pos : whence == SEEK_END ? r->file.size() : 0;
  r->pos = base + off;
  return r->pos;
}
int tiffClose(thandle_t) {
  return 0;
}
toff_t tiffSize(thandle_t h) {
  return static_cast<Reader*>(h)->file.size();
}
int tiffMap(thandle_t h, void** base, toff_t* size) {
  auto* r = static_cast<Reader*>(h);
  *base = const_cast<std::uint8_t*>(r->file.data());
  *size = r->file.size();
  return 1;
}
void tiffUnmap(thandle_t, void*, toff_t) {}

}  // namespace

std::optional<Image> decodeTiff(Bytes file) {
  // libtiff's handlers are process-wide; with none, it prints nothing.
  static const bool silenced = [] {
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
    return true;
  }();
  (void)silenced;
  Reader reader{file};
  const std::unique_ptr<TIFF, void (*)(TIFF*)> tif(
      TIFFClientOpen("image", "r", &reader, tiffRead, tiffWrite, tiffSeek, tiffClose, tiffSize,
                     tiffMap, tiffUnmap),
      TIFFClose);
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
  Image image;
  image.raster = Raster(static_cast<int>(w), static_cast<int>(h));
  auto* words = reinterpret_cast<std::uint32_t*>(image.raster.px.get());
  const int got = TIFFRGBAImageGet(&rgba, words, w, h);
  TIFFRGBAImageEnd(&rgba);
  if (!got) return std::nullopt;
  // libtiff's words hold A, B, G, R from the high byte down; its alpha is
  // already associated (premultiplied), as the raster's is. A file that
  // declares associated alpha is taken at its word, so colour above alpha
  // (which no premultiplied pixel can hold) is cut to it.
  std::uint8_t* px = image.raster.px.get();
  for (std::size_t i = 0, n = image.raster.bytes() / 4; i < n; ++i, px += 4) {
    std::uint32_t v;
    std::memcpy(&v, px, 4);
    const std::uint8_t a = static_cast<std::uint8_t>(TIFFGetA(v));
    px[0] = std::min(static_cast<std::uint8_t>(TIFFGetR(v)), a);
    px[1] = std::min(static_cast<std::uint8_t>(TIFFGetG(v)), a);
    px[2] = std::min(static_cast<std::uint8_t>(TIFFGetB(v)), a);
    px[3] = a;
  }
  image.orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
  std::uint32_t iccSize = 0;
  void* icc = nullptr;
  if (TIFFGetField(tif.get(), TIFFTAG_ICCPROFILE, &iccSize, &icc)) image.icc = copyOf(icc, iccSize);
  return image;
}

namespace {

int gifRead(GifFileType* gif, GifByteType* out, int n) {
  return static_cast<int>(
      static_cast<Reader*>(gif->UserData)->read(out, static_cast<std::size_t>(n)));
}

void closeGif(GifFileType* gif) {
  int error = 0;
  DGifCloseFile(gif, &error);
}

}  // namespace

// The first frame on the logical screen, as a viewer shows it before any
// animation; the screen outside the frame is transparent.
std::optional<Image> decodeGif(Bytes file) {
  Reader reader{file};
  int error = 0;
  const std::unique_ptr<GifFileType, void (*)(GifFileType*)> gif(DGifOpen(&reader, gifRead, &error),
                                                                 closeGif);
  if (!gif || !sizeAllowed(gif->SWidth, gif->SHeight)) return std::nullopt;
  int transparent = -1;
  for (;;) {
    GifRecordType record;
    if (DGifGetRecordType(gif.get(), &record) != GIF_OK) return std::nullopt;
    if (record == TERMINATE_RECORD_TYPE) return std::nullopt;
    if (record == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* ext = nullptr;
      if (DGifGetExtension(gif.get(), &code, &ext) != GIF_OK) return std::nullopt;
      if (code == GRAPHICS_EXT_FUNC_CODE && ext != nullptr && ext[0] >= 4) {
        transparent = (ext[1] & 1) ? ext[4] : -1;
      }
      while (ext != nullptr) {
        if (DGifGetExtensionNext(gif.get(), &ext) != GIF_OK) return std::nullopt;
      }
      continue;
    }
    if (record != IMAGE_DESC_RECORD_TYPE) continue;
    if (DGifGetImageDesc(gif.get()) != GIF_OK) return std::nullopt;
    break;
  }
  const GifImageDesc& frame = gif->Image;
  const ColorMapObject* map = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
  if (map == nullptr || frame.Width <= 0 || frame.Height <= 0) return std::nullopt;

  Image image;
  Raster& r = image.raster;
  r = Raster(gif->SWidth, gif->SHeight);
  std::memset(r.px.get(), 0, r.bytes());
  std::vector<GifPixelType> line(static_cast<std::size_t>(frame.Width));
  // Interlaced frames arrive in four passes of rows.
  static constexpr int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
  const int passes = frame.Interlace ? 4 : 1;
  for (int pass = 0; pass < passes; ++pass) {
    const int start = frame.Interlace ? kStart[pass] : 0, step = frame.Interlace ? kStep[pass] : 1;
    for (int y = start; y < frame.Height; y += step) {
      // A damaged file keeps the rows read before the damage.
      if (DGifGetLine(gif.get(), line.data(), frame.Width) != GIF_OK) return image;
      const int ry = frame.Top + y;
      if (ry < 0 || ry >= r.h) continue;
      for (int x = 0; x < frame.Width; ++x) {
        const int rx = frame.Left + x;
        const int index = line[static_cast<std::size_t>(x)];
        if (rx < 0 || rx >= r.w || index == transparent) continue;
        std::uint8_t* px = r.row(ry) + 4 * static_cast<std::size_t>(rx);
        if (index < map->ColorCount) {
          px[0] = map->Colors[index].Red;
          px[1] = map->Colors[index].Green;
          px[2] = map->Colors[index].Blue;
        } else {
          px[0] = px[1] = px[2] = 0;
        }
        px[3] = 255;
      }
    }
  }
  return image;
}

}  // namespace stills::detail
