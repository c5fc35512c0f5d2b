// The track document as JSON: compact, keys in a fixed order
// ({"width","height","fps","frames":[{"t","x","y","s","r","c"},...],"lostAt"}).
#pragma once

#include <optional>
#include <string>

#include "trackdoc/track.hpp"

namespace trackdoc {

// The document's text. A value JSON cannot hold (not a number, infinite) is
// written as null. Throws std::exception when the document cannot be made.
std::string toJson(const Track& track);

// The document in `text`, or nothing when it is not a track: not JSON, a key
// missing, a value of the wrong type, or a time, position, scale or angle
// that is not a finite number. A confidence written as null (one seguir could
// not write as a number) reads as 0.
std::optional<Track> parseTrack(const std::string& text);

}  // namespace trackdoc
