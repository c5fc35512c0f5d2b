// A self-erasing progress line for long runs on a terminal. On anything else
// (a pipe, a file, every script and test) it writes nothing at all, so the
// streams stay exactly what the programs promise.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace common {

class Progress {
 public:
  // `total` is the expected number of frames, 0 when unknown. The line only
  // appears once the run has taken `quietFor`: short runs never flicker.
  explicit Progress(int64_t total, std::FILE* stream = stderr,
                    std::chrono::milliseconds quietFor = std::chrono::seconds(2));
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // One more frame done; redraws at most a few times a second.
  void frame();
  // Erases the line, so that what follows (the summary or an error message)
  // is the only line left. Safe to call more than once.
  void clear();

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* stream_;
  bool enabled_;
  int64_t total_, done_ = 0;
  Clock::time_point start_, lastDraw_;
  std::chrono::milliseconds quietFor_;
  bool shown_ = false;
};

// Frames expected in a span of `seconds` at `fps`, 0 when that says nothing.
int64_t expectedFrames(double seconds, double fps);

}  // namespace common
