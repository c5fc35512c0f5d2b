#include "tracker/output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "tracker/messages.hpp"

namespace seguir {

void trimWeakTail(std::vector<Record>& frames) {
  while (frames.size() >= 2 && frames.back().c < static_cast<double>(kWeakConfidence)) {
    frames.pop_back();
  }
}

std::string toJson(const Track& track) {
  using Json = nlohmann::ordered_json;
  Json records = Json::array();
  for (const Record& r : track.frames) {
    records.push_back(Json{{"t", r.t}, {"x", r.x}, {"y", r.y}, {"s", r.s}, {"r", r.r}, {"c", r.c}});
  }
  Json doc = {{"width", track.width},
              {"height", track.height},
              {"fps", static_cast<double>(track.fps)},
              {"frames", std::move(records)},
              {"lostAt", nullptr}};
  if (track.lostAt) doc["lostAt"] = *track.lostAt;
  // nlohmann writes non-finite numbers as null.
  return doc.dump();
}

namespace {

namespace fs = std::filesystem;

bool writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// What a newly created file gets: an existing target keeps its own mode.
mode_t modeFor(const fs::path& target) {
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) return st.st_mode & 07777;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// A device or a pipe cannot be replaced, nor damaged by a partial write:
// it is written in place, as it always was.
bool writeInPlace(const fs::path& target, const std::string& bytes) {
  const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool wrote = writeAll(fd, bytes);
  return (::close(fd) == 0) && wrote;
}

// Restores the previous action for a signal when it goes out of scope.
class IgnoredSignal {
 public:
  explicit IgnoredSignal(int sig) : sig_(sig) { old_ = std::signal(sig, SIG_IGN); }
  ~IgnoredSignal() {
    if (old_ != SIG_ERR) std::signal(sig_, old_);
  }
  IgnoredSignal(const IgnoredSignal&) = delete;
  IgnoredSignal& operator=(const IgnoredSignal&) = delete;

 private:
  int sig_;
  void (*old_)(int);
};

}  // namespace

ReplacementFile::ReplacementFile(const std::string& target) : target_(target) {
  const fs::path where = target;
  const fs::path folder = where.has_parent_path() ? where.parent_path() : fs::path(".");
  std::string pattern = (folder / ".seguir-XXXXXX").string();
  fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) return;
  path_ = pattern;
  if (::fchmod(fd_, modeFor(where)) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

ReplacementFile::~ReplacementFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!path_.empty()) ::unlink(path_.c_str());
}

bool ReplacementFile::commit() {
  if (fd_ < 0) return false;
  // The data reaches the disk before the name does: a crash leaves the old
  // file or the new one, never a truncated one.
  bool ok = ::fsync(fd_) == 0;
  ok = (::close(fd_) == 0) && ok;
  fd_ = -1;
  if (!ok || ::rename(path_.c_str(), target_.c_str()) != 0) return false;
  path_.clear();
  const fs::path where = target_;
  const fs::path folder = where.has_parent_path() ? where.parent_path() : fs::path(".");
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);  // the rename itself; the file is already whole either way
    ::close(dir);
  }
  return true;
}

bool writeWholeFile(const std::string& path, const std::string& bytes) {
  std::error_code ec;
  fs::path target = path;
  // The file a link names is the one replaced, not the link.
  if (fs::is_symlink(target, ec)) {
    const fs::path resolved = fs::canonical(target, ec);
    if (!ec) target = resolved;
  }
  const fs::file_status status = fs::status(target, ec);
  if (fs::is_directory(status)) return false;
  // A file the user may not write stays refused, however the folder allows.
  if (fs::exists(status) && ::access(target.c_str(), W_OK) != 0) return false;
  if (fs::exists(status) && !fs::is_regular_file(status)) return writeInPlace(target, bytes);

  // A file-size limit then fails the write instead of killing the process
  // with the temporary file half written.
  const IgnoredSignal noSizeSignal(SIGXFSZ);
  ReplacementFile file(target.string());
  return file.ok() && writeAll(file.fd(), bytes) && file.commit();
}

std::string summaryLine(size_t records, bool lost) {
  std::string line(kSummaryPrefix);
  line += std::to_string(records);
  line += kSummaryFrames;
  if (lost) line += kSummaryLost;
  return line;
}

}  // namespace seguir
