// A decoder of the module run in a child process of its own: a library that
// stops the process on a damaged file (GDCM's assertions are compiled in)
// ends the child, never the program.
#pragma once

#include "stills/exr_dicom_module.hpp"

namespace stills::detail {

using ModuleDecoder = bool (*)(Bytes file, const RasterRequest& raster);

// `decode` of `file` in a child, whose raster arrives through a pipe into the
// one that `raster` hands out. False when the child fails, dies or its raster
// is refused. The child's standard error goes to /dev/null.
bool decodeInChild(Bytes file, const RasterRequest& raster, ModuleDecoder decode);

}  // namespace stills::detail
