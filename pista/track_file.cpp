#include "pista/track_file.hpp"

#include <cmath>
#include <nlohmann/json.hpp>

namespace pista {

namespace {

using Json = nlohmann::json;

std::optional<double> finiteNumber(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  const double v = it->get<double>();
  if (!std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<seguir::Record> parseRecord(const Json& r) {
  if (!r.is_object()) return std::nullopt;
  const auto t = finiteNumber(r, "t"), x = finiteNumber(r, "x"), y = finiteNumber(r, "y");
  const auto s = finiteNumber(r, "s"), a = finiteNumber(r, "r");
  if (!t || !x || !y || !s || !a) return std::nullopt;
  const auto c = r.find("c");
  if (c == r.end() || !(c->is_number() || c->is_null())) return std::nullopt;
  return seguir::Record{*t, *x, *y, *s, *a, c->is_number() ? c->get<double>() : 0.0};
}

}  // namespace

std::optional<TrackDoc> parseTrack(const std::string& text) {
  const Json doc = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object()) return std::nullopt;
  TrackDoc track;
  const auto width = finiteNumber(doc, "width"), height = finiteNumber(doc, "height");
  const auto fps = finiteNumber(doc, "fps");
  const auto frames = doc.find("frames");
  const auto lost = doc.find("lostAt");
  if (!width || !height || !fps || frames == doc.end() || !frames->is_array() ||
      lost == doc.end()) {
    return std::nullopt;
  }
  track.width = *width;
  track.height = *height;
  track.fps = *fps;
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

}  // namespace pista
