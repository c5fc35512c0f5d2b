// WebP through libwebp: the picture decoded straight from memory, its
// profile and EXIF orientation from the container's chunks.
#include <webp/decode.h>
#include <webp/demux.h>

#include <memory>

#include "stills/codecs.hpp"

namespace stills::detail {

namespace {

void readProfileAndOrientation(Bytes file, Image& image) {
  const WebPData data{file.data(), file.size()};
  const std::unique_ptr<WebPDemuxer, void (*)(WebPDemuxer*)> demux(WebPDemux(&data),
                                                                   WebPDemuxDelete);
  if (!demux) return;
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

}  // namespace

std::optional<Image> decodeWebp(Bytes file) {
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(file.data(), file.size(), &features) != VP8_STATUS_OK) return std::nullopt;
  std::optional<Image> image = blankImage(features.width, features.height);
  if (!image) return std::nullopt;
  Raster& r = image->raster;
  if (WebPDecodeRGBAInto(file.data(), file.size(), r.px.get(), r.bytes(), 4 * r.w) == nullptr) {
    return std::nullopt;
  }
  premultiplyInPlace(r.px.get(), r.bytes() / 4);
  readProfileAndOrientation(file, *image);
  return image;
}

}  // namespace stills::detail
