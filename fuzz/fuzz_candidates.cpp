// The scale probe's candidate list on any text, against two small pictures
// (one of a single pixel, where every grid position is an edge case). Every
// non-empty piece must give one token: "-1", or a score in [-1, 1] printed
// with four decimals.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tracker/probe.hpp"

namespace {

const core::Img& picture() {
  static const core::Img img = [] {
    core::Img p{13, 7, std::vector<float>(13 * 7)};
    for (size_t k = 0; k < p.p.size(); ++k) p.p[k] = static_cast<float>(k * 37 % 251) + 0.3f;
    return p;
  }();
  return img;
}

size_t pieces(std::string_view text) {
  size_t n = 0, run = 0;
  for (char c : text) {
    if (c == ';') {
      n += run > 0;
      run = 0;
    } else {
      ++run;
    }
  }
  return n + (run > 0);
}

bool isToken(std::string_view t) {
  if (t == "-1") return true;
  if (!t.empty() && t.front() == '-') t.remove_prefix(1);
  if (t.size() != 6 || t[1] != '.') return false;
  for (size_t k : {0, 2, 3, 4, 5}) {
    if (t[k] < '0' || t[k] > '9') return false;
  }
  return t[0] == '0' || t == "1.0000";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static const core::Img dot{1, 1, {200.5f}};
  for (const core::Img* second : {&picture(), &dot}) {
    const std::string line = seguir::probeLine(picture(), *second, 0, 0, 1, 1, text);
    size_t count = 0, start = 0;
    while (start <= line.size() && !line.empty()) {
      size_t end = line.find(' ', start);
      if (end == std::string::npos) end = line.size();
      if (!isToken(std::string_view(line).substr(start, end - start))) std::abort();
      ++count;
      start = end + 1;
    }
    if (count != pieces(text)) std::abort();
  }
  return 0;
}
