// The OpenEXR and DICOM module (extra_module.hpp), found as every module of
// the programs is (module.hpp).
#include <dlfcn.h>

#include <new>

#include "stills/extra_module.hpp"
#include "stills/module.hpp"

namespace stills::detail {

namespace {

StillsExtraDecode entry() {
  static const StillsExtraDecode decode = []() -> StillsExtraDecode {
    void* module = openModule(kExtraModule, STILLS_MODULE_DIR);
    if (module == nullptr) return nullptr;  // not installed: such files are unreadable
    return reinterpret_cast<StillsExtraDecode>(dlsym(module, kExtraEntry));
  }();
  return decode;
}

struct Request {
  Image image;
  bool made = false;
};

std::uint8_t* allocate(void* owner, std::int64_t w, std::int64_t h) {
  auto* request = static_cast<Request*>(owner);
  if (request->made || !sizeAllowed(w, h)) return nullptr;
  try {
    request->image.raster = Raster(static_cast<int>(w), static_cast<int>(h));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  request->made = true;
  return request->image.raster.px.get();
}

}  // namespace

std::optional<Image> decodeExtra(Bytes file) {
  const StillsExtraDecode decode = entry();
  if (decode == nullptr) return std::nullopt;
  Request request;
  if (decode(file.data(), file.size(), allocate, &request) == 0 || !request.made) {
    return std::nullopt;
  }
  return std::move(request.image);
}

}  // namespace stills::detail
