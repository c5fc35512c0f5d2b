// Decodes ahead on a thread of its own, so that decoding and conversion of
// the next frames overlap the tracking of the current one. Frames come out
// exactly as the source gives them, in the same order, so the track does not
// depend on timing.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "video/frame_source.hpp"

namespace video {

class Prefetcher {
 public:
  // Keeps at most `depth` decoded frames waiting. Decoding time swings from
  // frame to frame (a key frame costs several of the others) and the
  // tracking thread shares two cores with the decoder's threads, so a queue
  // of one often ran dry: in interleaved runs of bench/tracker's clips on a
  // loaded two-core machine, depth 2 took 0.94 and depth 3 0.84 of depth 1's
  // wall time at 1080p (no difference at 4K, where decoding dominates).
  // Deeper queues gave nothing more in those runs.
  explicit Prefetcher(FrameSource& source, size_t depth = 3);
  // Stops decoding (the rest of the span is never read) and waits for the thread.
  ~Prefetcher();
  Prefetcher(const Prefetcher&) = delete;
  Prefetcher& operator=(const Prefetcher&) = delete;

  // As FrameSource::next, with only `region` of the frame made, on the
  // caller's thread (see FrameSource::render). An exception thrown while
  // reading ahead (memory running out) is thrown here, after the frames read
  // before it.
  bool next(double& t, core::Img& frame, const core::Region& region);
  bool next(double& t, core::Img& frame);
  // As FrameSource::renderColour, for a source that delivers colour.
  bool next(double& t, ColourFrame& frame);

 private:
  struct Item {
    double t;
    Picture picture;
  };
  void produce();
  void readAhead();
  // The next ready picture, made by `render` on the caller's thread.
  template <class Render>
  bool handOver(double& t, Render&& render);

  FrameSource& source_;
  const size_t depth_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Item> ready_;
  std::vector<Picture> free_;  // made pictures, their buffers to fill again
  bool ended_ = false;         // the source has no more frames
  std::exception_ptr failure_;
  bool stop_ = false;  // the consumer wants no more frames
  std::thread thread_;
};

}  // namespace video
