// The OpenEXR and DICOM module (exr_dicom_module.hpp), found as every module
// of the programs is (common/companions.hpp).
#include <dlfcn.h>

#include "common/companions.hpp"
#include "stills/exr_dicom_module.hpp"

namespace stills::detail {

namespace {

StillsExtraDecode entry() {
  static const StillsExtraDecode decode = []() -> StillsExtraDecode {
    void* module = common::openModule(kExtraModule);
    if (module == nullptr) return nullptr;  // not installed: such files are unreadable
    return reinterpret_cast<StillsExtraDecode>(dlsym(module, kExtraEntry));
  }();
  return decode;
}

}  // namespace

std::optional<Image> decodeExrOrDicom(Bytes file) {
  const StillsExtraDecode decode = entry();
  if (decode == nullptr) return std::nullopt;
  RasterHolder holder;
  if (decode(file.data(), file.size(), RasterHolder::request, &holder) == 0) return std::nullopt;
  return std::move(holder.image);
}

}  // namespace stills::detail
