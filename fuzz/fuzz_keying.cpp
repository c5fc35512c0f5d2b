// libFuzzer target: the flat-background keying on rasters the fuzzer shapes.
//
// Input: width and height (one byte each, 1..256), then the raster's bytes,
// repeated to fill it. Premultiplied bytes above their alpha are allowed: a
// decoder never makes them, but the keying must not trust that.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "remover/keying.hpp"
#include "stills/stills.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int w = data[0] + 1, h = data[1] + 1;
  stills::Raster raster(w, h);
  const uint8_t* body = data + 2;
  const size_t n = size - 2;
  for (size_t i = 0; i < raster.bytes(); i += n) {
    std::memcpy(raster.px.get() + i, body, std::min(n, raster.bytes() - i));
  }
  std::vector<uint8_t> before(raster.px.get(), raster.px.get() + raster.bytes());
  if (!recortar::keyRaster(raster)) {
    // Declining leaves the raster exactly as it was.
    if (!std::equal(before.begin(), before.end(), raster.px.get())) __builtin_trap();
    return 0;
  }
  // Keying only ever lowers alpha.
  for (size_t i = 3; i < raster.bytes(); i += 4) {
    if (raster.px[i] > before[i]) __builtin_trap();
  }
  return 0;
}
