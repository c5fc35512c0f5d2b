// Every output of the programs replaces its target atomically: the bytes go
// to a temporary file in the target's folder, reach the disk, and the
// temporary file is renamed over the target. A failure (a full disk, a
// file-size limit, a crash) leaves the target as it was, which matters when
// the output is the input itself; a symbolic link is written through to the
// file it names, as an editor saving a file would.
#pragma once

#include <csignal>
#include <cstdint>
#include <span>
#include <string>

namespace common {

enum class Replaced {
  kDone,
  kNotCreated,   // nothing could be created: no file is left behind
  kNotFinished,  // writing, flushing or renaming failed: the target is as it was
};

// Creates or replaces `path` with exactly `bytes`. A target that is a
// folder, or that the user may not write, is refused (kNotCreated) however
// the folder allows. An existing target that is not a regular file (a
// device, a pipe) cannot be replaced and is written in place.
Replaced replaceFile(const std::string& path, std::span<const uint8_t> bytes);

// Ignores a signal while in scope, then restores what was there.
class IgnoredSignal {
 public:
  explicit IgnoredSignal(int sig) : sig_(sig), old_(std::signal(sig, SIG_IGN)) {}
  ~IgnoredSignal() {
    if (old_ != SIG_ERR) std::signal(sig_, old_);
  }
  IgnoredSignal(const IgnoredSignal&) = delete;
  IgnoredSignal& operator=(const IgnoredSignal&) = delete;

 private:
  int sig_;
  void (*old_)(int);
};

// The temporary file itself, for writers that need a path of their own (a
// video muxer): a new file beside the target (so the rename stays within one
// file system), with the mode the target has or a new file would get.
// commit() puts its data on disk and renames it over the target; otherwise
// it is removed when this goes out of scope.
class ReplacementFile {
 public:
  explicit ReplacementFile(const std::string& target);
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  // False, with the temporary file removed and the target as it was, when
  // the data cannot be flushed or the rename fails.
  bool commit();

 private:
  // Past a file-size limit a write then fails instead of the process being
  // killed with the temporary file left beside the target.
  IgnoredSignal noSizeSignal_{SIGXFSZ};
  std::string target_, path_;
  int fd_ = -1;
};

}  // namespace common
