#include "tracker/app.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tracker/console.hpp"
#include "tracker/messages.hpp"
#include "tracker/numbers.hpp"
#include "tracker/output.hpp"
#include "tracker/prefetch.hpp"
#include "tracker/probe.hpp"
#include "tracker/progress.hpp"
#include "tracker/track.hpp"
#include "tracker/video.hpp"

namespace seguir {

namespace {

constexpr int kArgCount = 9;  // the program path and eight arguments

int probeMode(const std::vector<std::string>& a) {
  const auto first = loadStill(a[2]);
  if (!first) return fail(kNoImages, kStatusUnreadable);
  const auto second = loadStill(a[3]);
  if (!second) return fail(kNoImages, kStatusUnreadable);
  // Elements that are not numbers are skipped; without four numbers, or
  // with one that is not finite, there is no reference rectangle: misuse.
  std::vector<double> rect;
  for (int k = 4; k <= 7; ++k) {
    if (auto v = parseNumber(a[static_cast<size_t>(k)])) rect.push_back(*v);
  }
  if (rect.size() < 4 || !allFinite(rect)) return fail(kUsage, kStatusUsage);
  return succeed(probeLine(*first, *second, rect[0], rect[1], rect[2], rect[3], a[8]));
}

// Decoding runs ahead on a thread of its own until the span ends or the
// tracker loses the region; of each frame only the part the tracker will
// read is made grey, into the buffer it handed back. `expected` frames feed
// the progress line, which is erased before anything else is written.
void followRegion(FrameSource& source, Tracker& tracker, int64_t expected) {
  Prefetcher frames(source);
  Progress progress(expected);
  core::Img frame, spare;
  double t = 0;
  while (frames.next(t, frame, tracker.regionOfNextFrame())) {
    if (!tracker.add(t, std::move(frame), spare)) break;
    frame = std::move(spare);
    progress.frame();
  }
}

// The track document, trimmed and written; then the summary line.
int saveTrack(const std::string& path, const VideoInfo& info, Tracker& tracker) {
  Track track;
  track.width = info.W;
  track.height = info.H;
  track.fps = info.fps;
  track.frames = std::move(tracker.records());
  track.lostAt = tracker.lostAt();
  trimWeakTail(track.frames);
  std::string json;
  try {
    json = toJson(track);
  } catch (const std::exception&) {
    return fail(kNotSaved, kStatusNotSaved);
  }
  if (json.empty() || !writeWholeFile(path, json)) return fail(kNotSaved, kStatusNotSaved);
  return succeed(summaryLine(track.frames.size(), track.lostAt.has_value()));
}

int trackSpan(const std::vector<std::string>& a, const double (&n)[6]) {
  OpenResult opened = FrameSource::open(a[1], n[0], n[1]);
  if (!opened.source) return fail(opened.message, opened.status);
  FrameSource& source = *opened.source;
  const VideoInfo& info = source.info();

  Tracker tracker(info.GW, info.GH, Box{n[2], n[3], n[4], n[5]});
  followRegion(source, tracker, expectedFrames(n[1] - n[0], info.fps));
  if (!source.error().empty()) return fail(source.error(), kStatusReader);
  return saveTrack(a[8], info, tracker);
}

int videoMode(const std::vector<std::string>& a) {
  // Numbers that are not finite would drive the tracker with positions that
  // are not numbers; they are refused like any malformed number.
  double n[6];
  for (int k = 0; k < 6; ++k) {
    const auto v = parseNumber(a[static_cast<size_t>(k + 2)]);
    if (!v || !std::isfinite(*v)) return fail(kUsage, kStatusUsage);
    n[k] = *v;
  }
  // Memory or threads running out while reading and tracking the video is a
  // failure of the reader, never an abort.
  try {
    return trackSpan(a, n);
  } catch (const std::bad_alloc&) {
    return fail(std::string(kReaderFailedPrefix) + std::strerror(ENOMEM), kStatusReader);
  } catch (const std::system_error& e) {
    return fail(std::string(kReaderFailedPrefix) + e.code().message(), kStatusReader);
  }
}

}  // namespace

int run(int argc, const char* const* argv) {
  if (argc != kArgCount) return fail(kUsage, kStatusUsage);
  const std::vector<std::string> a(argv, argv + argc);
  if (a[1] == kProbeMode) return probeMode(a);
  return videoMode(a);
}

}  // namespace seguir
