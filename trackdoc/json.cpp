#include "trackdoc/json.hpp"

#include <cmath>
#include <nlohmann/json.hpp>

namespace trackdoc {

std::string toJson(const Track& track) {
  using Json = nlohmann::ordered_json;
  Json records = Json::array();
  for (const Record& r : track.frames) {
    records.push_back(Json{{"t", r.t}, {"x", r.x}, {"y", r.y}, {"s", r.s}, {"r", r.r}, {"c", r.c}});
  }
  Json doc = {{"width", track.width},
              {"height", track.height},
              {"fps", track.fps},
              {"frames", std::move(records)},
              {"lostAt", nullptr}};
  if (track.lostAt) doc["lostAt"] = *track.lostAt;
  return doc.dump();
}

namespace {

using Json = nlohmann::json;

std::optional<double> finiteNumber(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  const double v = it->get<double>();
  if (!std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<Record> parseRecord(const Json& r) {
  if (!r.is_object()) return std::nullopt;
  const auto t = finiteNumber(r, "t"), x = finiteNumber(r, "x"), y = finiteNumber(r, "y");
  const auto s = finiteNumber(r, "s"), a = finiteNumber(r, "r");
  if (!t || !x || !y || !s || !a) return std::nullopt;
  const auto c = r.find("c");
  if (c == r.end() || !(c->is_number() || c->is_null())) return std::nullopt;
  return Record{*t, *x, *y, *s, *a, c->is_number() ? c->get<double>() : 0.0};
}

}  // namespace

std::optional<Track> parseTrack(const std::string& text) {
  const Json doc = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object()) return std::nullopt;
  const auto width = finiteNumber(doc, "width"), height = finiteNumber(doc, "height");
  const auto fps = finiteNumber(doc, "fps");
  const auto frames = doc.find("frames");
  const auto lost = doc.find("lostAt");
  if (!width || !height || !fps || frames == doc.end() || !frames->is_array() ||
      lost == doc.end()) {
    return std::nullopt;
  }
  Track track{*width, *height, *fps, {}, std::nullopt};
  for (const Json& r : *frames) {
    const auto record = parseRecord(r);
    if (!record) return std::nullopt;
    track.frames.push_back(*record);
  }
  if (!lost->is_null()) {
    if (!lost->is_number() || !std::isfinite(lost->get<double>())) return std::nullopt;
    track.lostAt = lost->get<double>();
  }
  return track;
}

}  // namespace trackdoc
