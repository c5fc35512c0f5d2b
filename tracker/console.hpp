// The two ways a run of seguir (and of pista, which shares its frame source)
// ends: one line on standard output and status 0, or one message on standard
// error and its status. Each line goes out in one write, flushed at once.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace seguir {

inline int writeLine(std::FILE* stream, std::string_view text, int status) {
  std::string line(text);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
  return status;
}

// The one way a run ends on an error.
inline int fail(std::string_view message, int status) {
  return writeLine(stderr, message, status);
}

inline int succeed(std::string_view line) {
  return writeLine(stdout, line, 0);
}

}  // namespace seguir
