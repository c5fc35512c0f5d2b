// Plain scalar twins of the core routines that run on vector kernels, for
// bit-for-bit comparison in the tests and as the baseline of the
// micro-benchmarks: one call per sample, one window or candidate at a time.
// Same contracts as the declarations in core/tracking_core.hpp.
#pragma once

#include "core/tracking_core.hpp"

namespace naive {

// The core's scalar correlation is the reference the kernels are held to:
// it is used as it is, not copied (as are sample, centred, ncc and peak).
using core::corr;

core::Img half(const core::Img& image);
core::Tpl templ(const core::Img& image, double x, double y, int64_t tw, int64_t th);
core::Tpl patch(const core::Img& image, double x, double y, int64_t tw, int64_t th, double scale,
                double angle = 0);
core::Found search(const core::Img& image, const core::Tpl& tpl, double x, double y, int64_t r);
core::Change bestScale(const core::Img& image, const core::Tpl& tpl, double x, double y,
                       double scale, double angle = 0);
core::Change bestRot(const core::Img& image, const core::Tpl& tpl, double x, double y, double scale,
                     double angle);
core::Found refine(const core::Img& image, const core::Tpl& tpl, double x, double y, double scale,
                   int64_t r, double angle = 0);

}  // namespace naive
