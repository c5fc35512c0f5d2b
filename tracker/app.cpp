#include "tracker/app.hpp"

#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/console.hpp"
#include "common/numbers.hpp"
#include "common/progress.hpp"
#include "common/resource_guard.hpp"
#include "tracker/messages.hpp"
#include "tracker/output.hpp"
#include "tracker/probe.hpp"
#include "tracker/tracking_loop.hpp"
#include "video/frame_source.hpp"
#include "video/prefetch.hpp"

namespace seguir {

namespace {

using common::allFinite;
using common::fail;
using common::failVideo;
using common::parseNumber;
using common::succeed;

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
void followRegion(video::FrameSource& source, Tracker& tracker, int64_t expected) {
  video::Prefetcher frames(source);
  common::Progress progress(expected);
  core::Img frame, spare;
  double t = 0;
  while (frames.next(t, frame, tracker.regionOfNextFrame())) {
    if (!tracker.add(t, std::move(frame), spare)) break;
    frame = std::move(spare);
    progress.frame();
  }
}

int trackSpan(const std::vector<std::string>& a, const double (&n)[6]) {
  video::Opened opened = video::FrameSource::open(a[1], n[0], n[1]);
  if (!opened.source) return failVideo(opened.error);
  video::FrameSource& source = *opened.source;
  const video::VideoInfo& info = source.info();

  Tracker tracker(info.GW, info.GH, Box{n[2], n[3], n[4], n[5]});
  followRegion(source, tracker, common::expectedFrames(n[1] - n[0], info.fps));
  if (source.error()) return failVideo(source.error());
  return saveTrack(a[8], trackdoc::Track{info.W, info.H, static_cast<double>(info.fps),
                                         std::move(tracker.records()), tracker.lostAt()});
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
  // failure of the reader.
  return common::guardResources([&] { return trackSpan(a, n); }, common::failReader);
}

}  // namespace

int run(int argc, const char* const* argv) {
  if (argc != kArgCount) return fail(kUsage, kStatusUsage);
  const std::vector<std::string> a(argv, argv + argc);
  if (a[1] == kProbeMode) return probeMode(a);
  return videoMode(a);
}

}  // namespace seguir
