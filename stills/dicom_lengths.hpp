// DICOM element lengths checked against the file, before GDCM reads it.
#pragma once

#include "stills/codecs.hpp"

namespace stills::detail {

// GDCM allocates (and clears) what an element's 32-bit length declares before
// reading it, so a kilobyte of damaged file could take gigabytes. True when
// every length, through nested sequences and items, fits in the bytes that
// follow it; false too for a deflated data set, whose lengths cannot be seen
// without inflating it.
bool lengthsFitFile(Bytes file);

}  // namespace stills::detail
