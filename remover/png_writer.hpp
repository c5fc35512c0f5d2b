// The PNG writer. PNG stores straight alpha, so the premultiplied raster is
// divided back (colour bytes clamped to 255, a fully transparent pixel stored
// as 0,0,0,0) and encoded with libspng; the input's colour profile, if any,
// goes along as iCCP so the cut-out shows in the input's colours.
//
// Encoding happens in memory before the output file is touched. The file is
// then written beside the target under a temporary name, flushed to disk and
// renamed over the target, so a failure (a full disk, a size limit) leaves
// the target as it was, which matters when the output is the input itself.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>

#include "stills/stills.hpp"

namespace recortar {

struct EncodedPng {
  std::unique_ptr<std::uint8_t, decltype(&std::free)> data{nullptr, &std::free};
  std::size_t size = 0;
};

// Encodes the raster as PNG. The raster is consumed: it is turned into
// straight RGBA in place to avoid a second full-size buffer. An empty result
// when libspng cannot encode it. A profile libspng refuses is left out.
EncodedPng encodePng(stills::Raster& raster, std::span<const std::uint8_t> icc);

// Replaces `path` with `bytes` as described above; returns status::kOk,
// kNotCreated (the temporary file cannot be created; nothing is left behind)
// or kNotFinished (writing, flushing or renaming failed; the temporary file
// is removed and the target untouched).
int writeAtomically(const std::string& path, std::span<const std::uint8_t> bytes);

// encodePng, then writeAtomically; an encoding failure is kNotCreated.
int save(stills::Raster& raster, std::span<const std::uint8_t> icc, const std::string& path);

}  // namespace recortar
