#include "video/prefetch.hpp"

namespace video {

Prefetcher::Prefetcher(FrameSource& source, size_t depth)
    : source_(source), depth_(depth < 1 ? 1 : depth), thread_([this] { produce(); }) {}

Prefetcher::~Prefetcher() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

// An exception must not escape the thread, where it would abort the process:
// it ends the reading and goes to the consumer.
void Prefetcher::produce() {
  try {
    readAhead();
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      failure_ = std::current_exception();
      ended_ = true;
    }
    changed_.notify_all();
  }
}

void Prefetcher::readAhead() {
  for (;;) {
    Picture picture;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return stop_ || ready_.size() < depth_; });
      if (stop_) return;
      if (!free_.empty()) {
        picture = std::move(free_.back());
        free_.pop_back();
      }
    }
    // Decoding runs unlocked: the consumer only ever touches the queue.
    double t = 0;
    const bool got = source_.nextPicture(t, picture);
    {
      std::lock_guard lock(mutex_);
      if (got) {
        ready_.push_back({t, std::move(picture)});
      } else {
        ended_ = true;
      }
    }
    changed_.notify_all();
    if (!got) return;
  }
}

template <class Render>
bool Prefetcher::handOver(double& t, Render&& render) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !ready_.empty() || ended_; });
  if (ready_.empty()) {
    if (failure_) std::rethrow_exception(failure_);
    return false;
  }
  t = ready_.front().t;
  Picture picture = std::move(ready_.front().picture);
  ready_.pop_front();
  lock.unlock();
  changed_.notify_all();
  render(picture);
  lock.lock();
  if (free_.size() < depth_) free_.push_back(std::move(picture));
  return true;
}

bool Prefetcher::next(double& t, core::Img& frame, const core::Region& region) {
  return handOver(t, [&](Picture& p) { source_.render(p, region, frame); });
}

bool Prefetcher::next(double& t, ColourFrame& frame) {
  return handOver(t, [&](Picture& p) { source_.renderColour(p, frame); });
}

bool Prefetcher::next(double& t, core::Img& frame) {
  const VideoInfo& info = source_.info();
  return next(t, frame, core::Region{0, 0, info.GW, info.GH});
}

}  // namespace video
