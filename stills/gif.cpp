// GIF through giflib: the first frame on the logical screen, as a viewer
// shows it before any animation; the screen outside the frame is
// transparent, as are the frame's pixels of its transparent index.
#include <gif_lib.h>

#include <memory>
#include <vector>

#include "stills/codecs.hpp"

namespace stills::detail {

namespace {

int gifRead(GifFileType* gif, GifByteType* out, int n) {
  return static_cast<int>(
      static_cast<MemoryReader*>(gif->UserData)->read(out, static_cast<std::size_t>(n)));
}

void closeGif(GifFileType* gif) {
  int error = 0;
  DGifCloseFile(gif, &error);
}

using Gif = std::unique_ptr<GifFileType, void (*)(GifFileType*)>;

// Reads up to the first frame's descriptor: the transparent index that its
// graphic control extension names (-1 for none), or nothing when the file
// ends or breaks first.
std::optional<int> toFirstFrame(GifFileType* gif) {
  int transparent = -1;
  for (;;) {
    GifRecordType record;
    if (DGifGetRecordType(gif, &record) != GIF_OK) return std::nullopt;
    if (record == TERMINATE_RECORD_TYPE) return std::nullopt;
    if (record == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* ext = nullptr;
      if (DGifGetExtension(gif, &code, &ext) != GIF_OK) return std::nullopt;
      if (code == GRAPHICS_EXT_FUNC_CODE && ext != nullptr && ext[0] >= 4) {
        transparent = (ext[1] & 1) ? ext[4] : -1;
      }
      while (ext != nullptr) {
        if (DGifGetExtensionNext(gif, &ext) != GIF_OK) return std::nullopt;
      }
      continue;
    }
    if (record != IMAGE_DESC_RECORD_TYPE) continue;
    if (DGifGetImageDesc(gif) != GIF_OK) return std::nullopt;
    return transparent;
  }
}

// One row of the frame onto the screen; indices beyond the map are black.
void drawRow(const std::vector<GifPixelType>& line, int ry, const GifImageDesc& frame,
             const ColorMapObject& map, int transparent, Raster& r) {
  for (int x = 0; x < frame.Width; ++x) {
    const int rx = frame.Left + x;
    const int index = line[static_cast<std::size_t>(x)];
    if (rx < 0 || rx >= r.w || index == transparent) continue;
    std::uint8_t* px = r.row(ry) + 4 * static_cast<std::size_t>(rx);
    if (index < map.ColorCount) {
      px[0] = map.Colors[index].Red;
      px[1] = map.Colors[index].Green;
      px[2] = map.Colors[index].Blue;
    } else {
      px[0] = px[1] = px[2] = 0;
    }
    px[3] = 255;
  }
}

}  // namespace

std::optional<Image> decodeGif(Bytes file) {
  MemoryReader reader{file};
  int error = 0;
  const Gif gif(DGifOpen(&reader, gifRead, &error), closeGif);
  if (!gif || !sizeAllowed(gif->SWidth, gif->SHeight)) return std::nullopt;
  const std::optional<int> transparent = toFirstFrame(gif.get());
  if (!transparent) return std::nullopt;
  const GifImageDesc& frame = gif->Image;
  const ColorMapObject* map = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
  if (map == nullptr || frame.Width <= 0 || frame.Height <= 0) return std::nullopt;

  std::optional<Image> image = blankImage(gif->SWidth, gif->SHeight);
  if (!image) return std::nullopt;
  Raster& r = image->raster;
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
      if (ry >= 0 && ry < r.h) drawRow(line, ry, frame, *map, *transparent, r);
    }
  }
  return image;
}

}  // namespace stills::detail
