#include "stills/decode_in_child.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace stills::detail {

namespace {

// All `size` bytes moved by `io` (read or write), or false.
template <typename Io, typename Byte>
bool whole(Io io, int fd, Byte* p, std::size_t size) {
  while (size > 0) {
    const ssize_t n = io(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The child's side: decode, then send width, height and the raster.
[[noreturn]] void decodeForParent(Bytes file, ModuleDecoder decode, int to) {
  // A fatal signal simply ends the child, with no handler's report: the
  // parent sees the missing answer.
  for (const int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) std::signal(sig, SIG_DFL);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) ::dup2(null, STDERR_FILENO);  // GDCM's failed assertions say so there
  RasterHolder holder;
  bool ok = false;
  try {
    ok = decode(file, RasterRequest{RasterHolder::request, &holder}) && holder.image;
  } catch (...) {
  }
  if (ok) {
    const Raster& r = holder.image->raster;
    const std::int64_t size[2] = {r.w, r.h};
    ok = whole(::write, to, reinterpret_cast<const std::uint8_t*>(size), sizeof size) &&
         whole(::write, to, r.px.get(), r.bytes());
  }
  ::_exit(ok ? 0 : 1);
}

}  // namespace

bool decodeInChild(Bytes file, const RasterRequest& raster, ModuleDecoder decode) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return false;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe[0]);
    decodeForParent(file, decode, pipe[1]);
  }
  ::close(pipe[1]);
  bool ok = false;
  std::int64_t size[2];
  if (child > 0 && whole(::read, pipe[0], reinterpret_cast<std::uint8_t*>(size), sizeof size)) {
    std::uint8_t* out = raster(size[0], size[1]);
    ok = out != nullptr &&
         whole(::read, pipe[0], out, static_cast<std::size_t>(4 * size[0] * size[1]));
  }
  ::close(pipe[0]);  // a child still writing ends on the broken pipe
  int status = 0;
  if (child > 0) {
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  return ok && child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace stills::detail
