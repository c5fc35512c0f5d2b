// The PNG writer. PNG stores straight alpha, so the premultiplied raster is
// divided back (colour bytes clamped to 255, a fully transparent pixel stored
// as 0,0,0,0) and encoded here with zlib; the input's colour profile, if any,
// goes along as iCCP so the cut-out shows in the input's colours.
//
// Encoding happens in memory before the output file is touched; the file
// then replaces the target atomically.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "stills/stills.hpp"

namespace recortar {

// The whole file; empty when it could not be made.
struct EncodedPng {
  std::vector<std::uint8_t> bytes;
};

// Encodes the raster as PNG. The raster is consumed: it is turned into
// straight RGBA in place to avoid a second full-size buffer. An empty result
// when it cannot be encoded (memory, a failing zlib).
EncodedPng encodePng(stills::Raster& raster, std::span<const std::uint8_t> icc);

// The raster's alpha alone, as an 8-bit grey PNG (white is the subject): a
// matte for compositing in another tool. The raster is left as it is.
EncodedPng encodeMattePng(const stills::Raster& raster);

// encodePng, then the replacement of `path` (common/replacement_file.hpp):
// status::kOk, kNotCreated (nothing is left behind; an encoding failure is
// one too) or kNotFinished (the target is untouched).
int save(stills::Raster& raster, std::span<const std::uint8_t> icc, const std::string& path);
// encodeMattePng, then the replacement of `path`, with save()'s statuses.
int saveMatte(const stills::Raster& raster, const std::string& path);

}  // namespace recortar
