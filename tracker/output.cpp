#include "tracker/output.hpp"

#include <exception>

#include "common/console.hpp"
#include "common/replacement_file.hpp"
#include "trackdoc/json.hpp"
#include "tracker/messages.hpp"

namespace seguir {

void trimWeakTail(std::vector<trackdoc::Record>& frames) {
  while (frames.size() >= 2 && frames.back().c < static_cast<double>(trackdoc::kWeakConfidence)) {
    frames.pop_back();
  }
}

std::string summaryLine(size_t records, bool lost) {
  std::string line(kSummaryPrefix);
  line += std::to_string(records);
  line += kSummaryFrames;
  if (lost) line += kSummaryLost;
  return line;
}

int saveTrack(const std::string& path, trackdoc::Track track) {
  trimWeakTail(track.frames);
  std::string json;
  try {
    json = trackdoc::toJson(track);
  } catch (const std::exception&) {
    return common::fail(kNotSaved, kStatusNotSaved);
  }
  const std::span bytes(reinterpret_cast<const uint8_t*>(json.data()), json.size());
  if (json.empty() || common::replaceFile(path, bytes) != common::Replaced::kDone) {
    return common::fail(kNotSaved, kStatusNotSaved);
  }
  return common::succeed(summaryLine(track.frames.size(), track.lostAt.has_value()));
}

}  // namespace seguir
