// The module's entry point (exr_dicom_module.hpp): the format by its signature,
// and every exception of OpenEXR, GDCM or the standard library stopped here.
#include <cstring>

#include "stills/exr_dicom_module.hpp"

extern "C" __attribute__((visibility("default"))) int stills_exr_dicom_decode(
    const std::uint8_t* file, std::size_t size, StillsRasterRequest request, void* owner) {
  using namespace stills::detail;
  const Bytes bytes(file, size);
  const RasterRequest raster{request, owner};
  try {
    if (size >= 4 && std::memcmp(file, "\x76\x2f\x31\x01", 4) == 0) {
      return decodeExr(bytes, raster) ? 1 : 0;
    }
    if (size >= 132 && std::memcmp(file + 128, "DICM", 4) == 0) {
      return decodeDicom(bytes, raster) ? 1 : 0;
    }
  } catch (...) {
  }
  return 0;
}
