#include "tracker/prefetch.hpp"

namespace seguir {

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
    core::Img buffer;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return stop_ || ready_.size() < depth_; });
      if (stop_) return;
      if (!free_.empty()) {
        buffer = std::move(free_.back());
        free_.pop_back();
      }
    }
    // Decoding runs unlocked: the consumer only ever touches the queue.
    double t = 0;
    const bool got = source_.next(t, buffer);
    {
      std::lock_guard lock(mutex_);
      if (got) {
        ready_.push_back({t, std::move(buffer)});
      } else {
        ended_ = true;
      }
    }
    changed_.notify_all();
    if (!got) return;
  }
}

bool Prefetcher::next(double& t, core::Img& frame) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !ready_.empty() || ended_; });
  if (ready_.empty()) {
    if (failure_) std::rethrow_exception(failure_);
    return false;
  }
  t = ready_.front().t;
  frame = std::move(ready_.front().frame);
  ready_.pop_front();
  lock.unlock();
  changed_.notify_all();
  return true;
}

void Prefetcher::recycle(core::Img&& buffer) {
  if (buffer.p.empty()) return;
  std::lock_guard lock(mutex_);
  if (free_.size() < depth_) free_.push_back(std::move(buffer));
}

}  // namespace seguir
