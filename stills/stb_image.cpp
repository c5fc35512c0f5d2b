// BMP and Radiance HDR through stb_image. stb trusts what a file declares,
// so each format first has its own check (bmp.cpp, radiance.cpp).
#include <stb_image.h>

#include <climits>
#include <memory>

#include "stills/codecs.hpp"

namespace stills::detail {

std::optional<Image> decodeWithStb(Bytes file, bool (*plausible)(Bytes file, int w, int h)) {
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
  if (!stbi_info_from_memory(data, len, &w, &h, &channels) || !sizeAllowed(w, h) ||
      !plausible(file, w, h)) {
    return std::nullopt;
  }
  std::optional<Image> image = blankImage(w, h);
  if (!image) return std::nullopt;
  Raster& r = image->raster;
  // Both formats come as 8 bits a sample: stb has 16 only for PNG, PSD and
  // PNM, whose signatures never reach here.
  const std::unique_ptr<stbi_uc, void (*)(void*)> rgba(
      stbi_load_from_memory(data, len, &w, &h, &channels, 4), stbi_image_free);
  if (!rgba || w != r.w || h != r.h) return std::nullopt;
  std::memcpy(r.px.get(), rgba.get(), r.bytes());
  premultiplyInPlace(r.px.get(), r.bytes() / 4);
  return image;
}

}  // namespace stills::detail
