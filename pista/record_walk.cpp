#include "pista/record_walk.hpp"

#include <algorithm>
#include <cmath>

namespace pista {

double RecordWalk::last() const {
  return std::max(track_.frames.back().t, track_.lostAt.value_or(track_.frames.back().t));
}

bool RecordWalk::place(double t, FrameState& state, size_t& index) {
  const auto& records = track_.frames;
  if (next_ < records.size() && records[next_].t < t - kSameTime) return false;
  index = std::min(next_, records.size() - 1);
  state = FrameState::kUntracked;
  if (next_ < records.size() && std::fabs(records[next_].t - t) <= kSameTime) {
    state = FrameState::kTracked;
    trail_.emplace_back(records[next_].x, records[next_].y);
    ++next_;
  } else if (track_.lostAt && std::fabs(*track_.lostAt - t) <= kSameTime) {
    state = FrameState::kLost;
    lostSeen_ = true;
  }
  return true;
}

}  // namespace pista
