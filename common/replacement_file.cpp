#include "common/replacement_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace common {

namespace {

namespace fs = std::filesystem;

bool writeAll(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return true;
}

// The file a link names is the one replaced, not the link.
fs::path throughLinks(const std::string& path) {
  std::error_code ec;
  fs::path target = path;
  if (fs::is_symlink(target, ec)) {
    fs::path resolved = fs::canonical(target, ec);
    if (!ec) target = std::move(resolved);
  }
  return target;
}

fs::path folderOf(const fs::path& target) {
  return target.has_parent_path() ? target.parent_path() : fs::path(".");
}

// What a newly created file gets: an existing target keeps its own mode.
mode_t modeFor(const fs::path& target) {
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) return st.st_mode & 07777;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

Replaced writeInPlace(const fs::path& target, std::span<const uint8_t> bytes) {
  const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return Replaced::kNotCreated;
  const bool wrote = writeAll(fd, bytes);
  return (::close(fd) == 0) && wrote ? Replaced::kDone : Replaced::kNotFinished;
}

}  // namespace

ReplacementFile::ReplacementFile(const std::string& target) {
  const fs::path where = throughLinks(target);
  target_ = where.string();
  std::string pattern = (folderOf(where) / ("." + where.filename().string() + ".XXXXXX")).string();
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
  const int dir = ::open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);  // the rename itself; the file is already whole either way
    ::close(dir);
  }
  return true;
}

Replaced replaceFile(const std::string& path, std::span<const uint8_t> bytes) {
  const fs::path target = throughLinks(path);
  std::error_code ec;
  const fs::file_status status = fs::status(target, ec);
  if (fs::is_directory(status)) return Replaced::kNotCreated;
  if (fs::exists(status) && ::access(target.c_str(), W_OK) != 0) return Replaced::kNotCreated;
  if (fs::exists(status) && !fs::is_regular_file(status)) return writeInPlace(target, bytes);
  ReplacementFile file(target.string());
  if (!file.ok()) return Replaced::kNotCreated;
  return writeAll(file.fd(), bytes) && file.commit() ? Replaced::kDone : Replaced::kNotFinished;
}

}  // namespace common
