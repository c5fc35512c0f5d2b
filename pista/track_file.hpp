// Reading a track document written by seguir, through its own keys.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tracker/track.hpp"

namespace pista {

struct TrackDoc {
  double width = 0, height = 0, fps = 0;
  std::vector<seguir::Record> frames;
  std::optional<double> lostAt;
};

// The document in `text`, or nothing when it is not a track: not JSON, a key
// missing, a value of the wrong type, or a time, position, scale or angle
// that is not a finite number. A confidence seguir could not write as a
// number (null) reads as 0.
std::optional<TrackDoc> parseTrack(const std::string& text);

}  // namespace pista
