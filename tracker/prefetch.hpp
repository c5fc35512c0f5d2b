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

#include "tracker/video.hpp"

namespace seguir {

class Prefetcher {
 public:
  // Keeps at most `depth` converted frames waiting; each is GW x GH floats.
  // One is enough to keep the decoder busy while a frame is tracked (tracking
  // costs less than decoding), and every further one is 8 MB at 1080p.
  explicit Prefetcher(FrameSource& source, size_t depth = 1);
  // Stops decoding (the rest of the span is never read) and waits for the thread.
  ~Prefetcher();
  Prefetcher(const Prefetcher&) = delete;
  Prefetcher& operator=(const Prefetcher&) = delete;

  // As FrameSource::next. An exception thrown while reading ahead (memory
  // running out) is thrown here, on the consumer's thread, after the frames
  // read before it.
  bool next(double& t, core::Img& frame);
  // Hands back a frame buffer for the thread to fill again.
  void recycle(core::Img&& buffer);

 private:
  struct Item {
    double t;
    core::Img frame;
  };
  void produce();
  void readAhead();

  FrameSource& source_;
  const size_t depth_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Item> ready_;
  std::vector<core::Img> free_;
  bool ended_ = false;  // the source has no more frames
  std::exception_ptr failure_;
  bool stop_ = false;   // the consumer wants no more frames
  std::thread thread_;
};

}  // namespace seguir
