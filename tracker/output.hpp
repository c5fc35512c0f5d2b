// The track document and the summary line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tracker/track.hpp"

namespace seguir {

struct Track {
  double width = 0, height = 0;  // displayed size of the video, pixels
  float fps = 0;
  std::vector<Record> frames;
  std::optional<double> lostAt;
};

// Drops weak records from the end, never the first record: the frames that
// led up to a loss, or that closed the span, say nothing reliable.
void trimWeakTail(std::vector<Record>& frames);

// Compact JSON, keys in the document's fixed order; a value JSON cannot hold
// (not a number, infinite) is written as null.
std::string toJson(const Track& track);

// Creates or replaces the file with exactly `bytes`, atomically: the bytes
// go to a temporary file in the same folder, reach the disk, and the
// temporary file is renamed over the target. False on any failure, with the
// temporary file removed and the target as it was. An existing target that
// is not a regular file (a device, a pipe) is written in place.
bool writeWholeFile(const std::string& path, const std::string& bytes);

// A new file beside `target` (so the rename stays within one file system),
// with the mode the target has or a new file would get. commit() puts its data
// on disk and then renames it over the target; otherwise it is removed.
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
  std::string target_, path_;
  int fd_ = -1;
};

// "ok N cuadros", with " (se perdió)" after a loss; no line feed.
std::string summaryLine(size_t records, bool lost);

}  // namespace seguir
