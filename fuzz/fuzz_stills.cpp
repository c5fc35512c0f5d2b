// libFuzzer target: still-image decoding from bytes, every decoder chosen by
// signature as recortar and the probe use it, then the upright turn.
//
// Seeds: images of every format, written by ImageMagick and ffmpeg, and a
// DICOM file written byte by byte (fuzz/seeds.sh).
#include <cstddef>
#include <cstdint>
#include <new>

#include "stills/stills.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::optional<stills::Image> image = stills::decode({data, size});
  if (!image) return 0;
  const stills::Raster& r = image->raster;
  // A decoded image is a whole raster within the size limit, premultiplied.
  if (r.w <= 0 || r.h <= 0 || int64_t{r.w} * r.h > stills::kMaxPixels) __builtin_trap();
  if (image->orientation < 1 || image->orientation > 8) __builtin_trap();
  for (size_t i = 0; i < r.bytes(); i += 4) {
    const uint8_t a = r.px[i + 3];
    if (r.px[i] > a || r.px[i + 1] > a || r.px[i + 2] > a) __builtin_trap();
  }
  try {
    stills::applyOrientation(*image);
  } catch (const std::bad_alloc&) {
  }
  return 0;
}
