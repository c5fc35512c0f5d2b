// Radiance HDR: read by stb_image, once its run-length scanlines are known
// to be whole.
#include "stills/codecs.hpp"

namespace stills::detail {

namespace {

// stb's Radiance reader loops for ever on some damaged run-length scanlines
// (a run of length 0, or one cut off by the end of the file), so the runs are
// walked here first and such a file is unreadable. Scanlines that are not
// run-length encoded are read by stb in a loop of fixed length, and pass.
bool runsComplete(Bytes file, int w, int h) {
  const std::size_t n = file.size();
  std::size_t at = 0;
  // The header ends at an empty line; the resolution line follows it.
  while (at + 1 < n && !(file[at] == '\n' && file[at + 1] == '\n')) ++at;
  at += 2;
  while (at < n && file[at] != '\n') ++at;
  ++at;
  if (w < 8 || w >= 32768) return true;
  for (int y = 0; y < h; ++y) {
    if (at + 4 > n) return false;
    if (file[at] != 2 || file[at + 1] != 2 || (file[at + 2] & 0x80)) return true;
    if (((file[at + 2] << 8) | file[at + 3]) != w) return false;
    at += 4;
    for (int channel = 0; channel < 4; ++channel) {
      for (int left = w; left > 0;) {
        if (at >= n) return false;
        int count = file[at++];
        const bool run = count > 128;
        if (run) count -= 128;
        if (count == 0 || count > left) return false;
        at += run ? 1 : static_cast<std::size_t>(count);
        if (at > n) return false;
        left -= count;
      }
    }
  }
  return true;
}

}  // namespace

std::optional<Image> decodeRadiance(Bytes file) {
  return decodeWithStb(file, runsComplete);
}

}  // namespace stills::detail
