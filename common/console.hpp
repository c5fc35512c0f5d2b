// The two ways a run of any of the programs ends: one line on standard output
// and status 0, or one message on standard error and its status. Each line
// goes out in one write, flushed at once, so that lines of runs in parallel
// never interleave.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace common {

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

}  // namespace common
