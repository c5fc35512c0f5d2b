#include "common/progress.hpp"

#include <unistd.h>

#include <cmath>
#include <string>

namespace common {

namespace {

// Redrawing on every frame would cost more terminal time than tracking.
constexpr std::chrono::milliseconds kRedrawEvery{250};

}  // namespace

Progress::Progress(int64_t total, std::FILE* stream, std::chrono::milliseconds quietFor)
    : stream_(stream),
      enabled_(stream != nullptr && ::isatty(::fileno(stream)) == 1),
      total_(total),
      start_(Clock::now()),
      lastDraw_(start_ - kRedrawEvery),
      quietFor_(quietFor) {}

Progress::~Progress() {
  clear();
}

void Progress::frame() {
  ++done_;
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (now - start_ < quietFor_ || now - lastDraw_ < kRedrawEvery) return;
  lastDraw_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  char line[160];
  if (total_ > 0) {
    std::snprintf(line, sizeof line, "\r\033[K%lld de %lld cuadros, %.1f cuadros/s",
                  static_cast<long long>(done_), static_cast<long long>(total_), done_ / seconds);
  } else {
    std::snprintf(line, sizeof line, "\r\033[K%lld cuadros, %.1f cuadros/s",
                  static_cast<long long>(done_), done_ / seconds);
  }
  std::fputs(line, stream_);
  std::fflush(stream_);
  shown_ = true;
}

void Progress::clear() {
  if (!shown_) return;
  std::fputs("\r\033[K", stream_);
  std::fflush(stream_);
  shown_ = false;
}

int64_t expectedFrames(double seconds, double fps) {
  if (!(fps > 0)) return 0;
  const double n = std::floor(seconds * fps) + 1;
  if (!std::isfinite(n) || n < 1 || n > 1e12) return 0;
  return static_cast<int64_t>(n);
}

}  // namespace common
