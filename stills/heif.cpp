// HEIF, HEIC and AVIF through libheif, opened on first use: libheif brings
// its HEVC and AV1 codecs, whose loading measured some 4 ms on every start
// of a program that links it, where most runs never meet a HEIF file.
//
// libheif applies the file's transformations (rotation, mirror, crop) while
// decoding, as HEIF requires of every reader, so the raster comes upright and
// the orientation is 1.
#include <dlfcn.h>
#include <libheif/heif.h>

#include <cstring>
#include <memory>
#include <vector>

#include "stills/codecs.hpp"

namespace stills::detail {

namespace {

struct Heif {
  decltype(&heif_context_alloc) contextAlloc;
  decltype(&heif_context_free) contextFree;
  decltype(&heif_context_read_from_memory_without_copy) read;
  decltype(&heif_context_get_primary_image_handle) primary;
  decltype(&heif_image_handle_release) handleRelease;
  decltype(&heif_image_handle_get_width) handleWidth;
  decltype(&heif_image_handle_get_height) handleHeight;
  decltype(&heif_image_handle_is_premultiplied_alpha) premultiplied;
  decltype(&heif_image_handle_get_raw_color_profile_size) profileSize;
  decltype(&heif_image_handle_get_raw_color_profile) profile;
  decltype(&heif_decode_image) decode;
  decltype(&heif_image_release) imageRelease;
  decltype(&heif_image_get_width) imageWidth;
  decltype(&heif_image_get_height) imageHeight;
  decltype(&heif_image_get_plane_readonly) plane;
};

template <typename F>
bool bind(void* lib, const char* name, F& f) {
  f = reinterpret_cast<F>(dlsym(lib, name));
  return f != nullptr;
}

// The library's functions, or null when it is not installed.
const Heif* heif() {
  static const std::unique_ptr<Heif> table = []() -> std::unique_ptr<Heif> {
    void* lib = dlopen("libheif.so.1", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return nullptr;
    auto t = std::make_unique<Heif>();
    const bool ok = bind(lib, "heif_context_alloc", t->contextAlloc) &&
                    bind(lib, "heif_context_free", t->contextFree) &&
                    bind(lib, "heif_context_read_from_memory_without_copy", t->read) &&
                    bind(lib, "heif_context_get_primary_image_handle", t->primary) &&
                    bind(lib, "heif_image_handle_release", t->handleRelease) &&
                    bind(lib, "heif_image_handle_get_width", t->handleWidth) &&
                    bind(lib, "heif_image_handle_get_height", t->handleHeight) &&
                    bind(lib, "heif_image_handle_is_premultiplied_alpha", t->premultiplied) &&
                    bind(lib, "heif_image_handle_get_raw_color_profile_size", t->profileSize) &&
                    bind(lib, "heif_image_handle_get_raw_color_profile", t->profile) &&
                    bind(lib, "heif_decode_image", t->decode) &&
                    bind(lib, "heif_image_release", t->imageRelease) &&
                    bind(lib, "heif_image_get_width", t->imageWidth) &&
                    bind(lib, "heif_image_get_height", t->imageHeight) &&
                    bind(lib, "heif_image_get_plane_readonly", t->plane);
    // Newer versions want heif_init before use; older ones have no such call.
    using Init = heif_error (*)(heif_init_params*);
    if (auto init = reinterpret_cast<Init>(dlsym(lib, "heif_init"))) init(nullptr);
    return ok ? std::move(t) : nullptr;
  }();
  return table.get();
}

// The raw colour profile, empty when none or unreadable.
std::vector<std::uint8_t> profileOf(const Heif& h, const heif_image_handle* handle) {
  std::vector<std::uint8_t> icc(h.profileSize(handle));
  if (!icc.empty() && h.profile(handle, icc.data()).code != heif_error_Ok) icc.clear();
  return icc;
}

}  // namespace

std::optional<Image> decodeHeif(Bytes file) {
  const Heif* h = heif();
  if (h == nullptr) return std::nullopt;
  const std::unique_ptr<heif_context, void (*)(heif_context*)> ctx(h->contextAlloc(),
                                                                   h->contextFree);
  if (!ctx || h->read(ctx.get(), file.data(), file.size(), nullptr).code != heif_error_Ok) {
    return std::nullopt;
  }
  heif_image_handle* rawHandle = nullptr;
  if (h->primary(ctx.get(), &rawHandle).code != heif_error_Ok) return std::nullopt;
  const std::unique_ptr<heif_image_handle, void (*)(const heif_image_handle*)> handle(
      rawHandle, h->handleRelease);
  if (!sizeAllowed(h->handleWidth(handle.get()), h->handleHeight(handle.get()))) {
    return std::nullopt;
  }
  heif_image* rawImage = nullptr;
  if (h->decode(handle.get(), &rawImage, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr)
          .code != heif_error_Ok) {
    return std::nullopt;
  }
  const std::unique_ptr<heif_image, void (*)(const heif_image*)> decoded(rawImage, h->imageRelease);
  const int w = h->imageWidth(decoded.get(), heif_channel_interleaved);
  const int ht = h->imageHeight(decoded.get(), heif_channel_interleaved);
  int stride = 0;
  const std::uint8_t* plane = h->plane(decoded.get(), heif_channel_interleaved, &stride);
  if (plane == nullptr || !sizeAllowed(w, ht) || stride < 4 * w) return std::nullopt;
  std::optional<Image> image = blankImage(w, ht);
  if (!image) return std::nullopt;
  for (int y = 0; y < ht; ++y) {
    std::memcpy(image->raster.row(y), plane + static_cast<std::size_t>(stride) * y,
                std::size_t{4} * w);
  }
  if (!h->premultiplied(handle.get())) {
    premultiplyInPlace(image->raster.px.get(), static_cast<std::size_t>(w) * ht);
  }
  image->icc = profileOf(*h, handle.get());
  return image;
}

}  // namespace stills::detail
