// Scoring of resampled candidates against a reference template, several
// candidates at once. Shared by the scale and rotation estimators and by
// refinement, which differ only in where each candidate's grid lies.
#pragma once

#include <cstdint>

#include "core/tracking_core.hpp"

namespace core::detail {

// A candidate's sampling grid: centre (x, y) and the scaled rotation
// c = scale*cos(angle), s = scale*sin(angle), exactly as `patch` uses them.
struct Grid {
  double x;
  double y;
  double c;
  double s;
};

// scores[k] = corr(ref, patch-like candidate on grids[k]) for k in [0, count).
void scoreCandidates(const Img& image, const Tpl& ref, const Grid* grids, int64_t count,
                     float* scores);

}  // namespace core::detail
