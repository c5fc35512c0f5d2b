// The subject cut-out, behind the segmentation module (a shared library
// beside the program, loaded on first use). See segmentation_module.cpp.
#pragma once

#include <string>

#include "stills/stills.hpp"

namespace recortar {

// The module's results.
inline constexpr int kCutOut = 1;
inline constexpr int kNoSubject = 0;
inline constexpr int kCutFailed = -1;

inline constexpr char kSegmentationModule[] = "librecortar_segmentation.so";
inline constexpr char kCutOutEntry[] = "recortar_cut_out";

struct CutOut {
  int result = kCutFailed;  // one of the three above
  std::string failure;      // the one-line description when kCutFailed
};

// Cuts the subject out of the raster in place (pixels outside it become
// transparent, those on its edge partly so); the raster is untouched when
// there is no subject. A module that cannot be loaded is a failure.
CutOut cutOutSubject(stills::Raster& raster);

}  // namespace recortar
