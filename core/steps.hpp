// The step tables of the scale and rotation estimators and the choice of the
// best step, kept apart so that the choice can be tested on given scores.
#pragma once

#include <array>

#include "core/tracking_core.hpp"

namespace core::detail {

inline constexpr std::array<double, 5> kScaleSteps = {0.97, 0.985, 1.0, 1.015, 1.03};
inline constexpr double kScaleSpacing = 0.015;
inline constexpr std::array<double, 5> kAngleSteps = {-0.03490658503988659, -0.017453292519943295,
                                                      0, 0.017453292519943295, 0.03490658503988659};
inline constexpr double kAngleSpacing = 0.017453292519943295;  // one degree

// Best of five step scores (the first maximum wins), interpolated with a
// parabola unless it is an end step, which has no neighbour on one side.
inline Change pickStep(const std::array<float, 5>& score, const std::array<double, 5>& steps,
                       double spacing) {
  int b = 0;
  for (int i = 1; i < 5; ++i) {
    if (score[i] > score[b]) b = i;
  }
  Change out;
  out.value = steps[b];
  if (b >= 1 && b <= 3) out.value = steps[b] + peak(score[b - 1], score[b], score[b + 1]) * spacing;
  out.score = score[b];
  return out;
}

}  // namespace core::detail
