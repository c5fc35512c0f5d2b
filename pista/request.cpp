#include "pista/request.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string_view>

#include "common/numbers.hpp"

namespace pista {

namespace {

bool endsWith(std::string s, std::string_view suffix) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::optional<Request> parseRequest(int argc, const char* const* argv) {
  if (argc != 4 && argc != 8) return std::nullopt;
  Request req;
  req.video = argv[1];
  req.trackPath = argv[2];
  req.output = argv[3];
  req.toVideo = endsWith(req.output, ".mp4");
  if (!req.toVideo && !endsWith(req.output, ".png")) return std::nullopt;
  if (argc == 8) {
    double n[4];
    for (int k = 0; k < 4; ++k) {
      const auto v = common::parseNumber(argv[4 + k]);
      if (!v || !std::isfinite(*v)) return std::nullopt;
      n[k] = *v;
    }
    req.hasBox = true;
    req.x0 = n[0], req.y0 = n[1], req.x1 = n[2], req.y1 = n[3];
  }
  return req;
}

}  // namespace pista
