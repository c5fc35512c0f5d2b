#include "tracker/output.hpp"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "tracker/messages.hpp"

namespace seguir {

void trimWeakTail(std::vector<Record>& frames) {
  while (frames.size() >= 2 && frames.back().c < static_cast<double>(kWeakConfidence)) {
    frames.pop_back();
  }
}

std::string toJson(const Track& track) {
  using Json = nlohmann::ordered_json;
  Json records = Json::array();
  for (const Record& r : track.frames) {
    records.push_back(Json{{"t", r.t}, {"x", r.x}, {"y", r.y}, {"s", r.s}, {"r", r.r}, {"c", r.c}});
  }
  Json doc = {{"width", track.width},
              {"height", track.height},
              {"fps", static_cast<double>(track.fps)},
              {"frames", std::move(records)},
              {"lostAt", nullptr}};
  if (track.lostAt) doc["lostAt"] = *track.lostAt;
  // nlohmann writes non-finite numbers as null.
  return doc.dump();
}

bool writeWholeFile(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool wrote = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  // A full disk may only show when the buffer is flushed.
  const bool closed = std::fclose(f) == 0;
  return wrote && closed;
}

std::string summaryLine(size_t records, bool lost) {
  std::string line(kSummaryPrefix);
  line += std::to_string(records);
  line += kSummaryFrames;
  if (lost) line += kSummaryLost;
  return line;
}

}  // namespace seguir
