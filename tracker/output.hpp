// How a run of seguir ends after tracking: the weak tail trimmed, the track
// document written over the output path, and the summary line.
#pragma once

#include <string>
#include <vector>

#include "trackdoc/track.hpp"

namespace seguir {

// Drops weak records from the end, never the first record: the frames that
// led up to a loss, or that closed the span, say nothing reliable.
void trimWeakTail(std::vector<trackdoc::Record>& frames);

// "ok N cuadros", with " (se perdió)" after a loss; no line feed.
std::string summaryLine(size_t records, bool lost);

// Trims the track, writes it to `path` and prints the summary line; or the
// failure message. Returns the exit status.
int saveTrack(const std::string& path, trackdoc::Track track);

}  // namespace seguir
