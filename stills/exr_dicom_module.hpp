// OpenEXR and DICOM are read by a module of their own, opened on first use:
// OpenEXR with Imath and GDCM with its ten libraries would otherwise load on
// every start of every program, where hardly any run meets such a file.
//
// The module's one entry point is plain C, so that no exception and no
// library type crosses it. The caller owns the raster: the module asks for it
// once, with the size the file declares, and the caller refuses a size it
// does not allow or cannot allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "stills/codecs.hpp"

extern "C" {

// 4 · w · h bytes for the premultiplied RGBA raster, or null when refused.
typedef std::uint8_t* (*StillsRasterRequest)(void* owner, std::int64_t w, std::int64_t h);

// 1 when `file` was decoded into the raster that `request` handed out, 0 when
// it cannot be read (the raster may then be partly written).
typedef int (*StillsExtraDecode)(const std::uint8_t* file, std::size_t size,
                                 StillsRasterRequest request, void* owner);
}

namespace stills::detail {

inline constexpr const char* kExtraModule = "libstills_exr_dicom.so";
inline constexpr const char* kExtraEntry = "stills_exr_dicom_decode";

// The side that asks for a raster, and owns it: the caller of the entry
// point, and inside the module the child process that decodes DICOM.
struct RasterHolder {
  std::optional<Image> image;

  // A StillsRasterRequest: one raster per decoding, of an allowed size.
  static std::uint8_t* request(void* holder, std::int64_t w, std::int64_t h) {
    auto& self = *static_cast<RasterHolder*>(holder);
    if (self.image) return nullptr;
    try {
      self.image = blankImage(w, h);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    return self.image ? self.image->raster.px.get() : nullptr;
  }
};

// Inside the module; both may throw, the entry point catches.
struct RasterRequest {
  StillsRasterRequest request;
  void* owner;
  std::uint8_t* operator()(std::int64_t w, std::int64_t h) const { return request(owner, w, h); }
};
bool decodeExr(Bytes file, const RasterRequest& raster);
bool decodeDicom(Bytes file, const RasterRequest& raster);

}  // namespace stills::detail
