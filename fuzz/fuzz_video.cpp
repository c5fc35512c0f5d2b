// libFuzzer target: the video frame source over a file held in memory, read
// through FFmpeg's demuxers and decoders exactly as seguir reads a file.
//
// Input: one byte that chooses where the span starts (so that seeking is
// exercised too), then the file. Seeds: fuzz/video_seeds.sh.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "video/frame_source.hpp"

namespace {

// Enough frames to cross a seek, the first key frame and B-frame reordering;
// few enough that an input costs milliseconds, not seconds.
constexpr int kMaxFrames = 6;
// Larger pictures only cost time: the same code runs on them.
constexpr int64_t kMaxNaturalPixels = int64_t{1} << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const double inicio = (data[0] % 4) * 0.25;
  video::Opened opened = video::FrameSource::openMemory(data + 1, size - 1, inicio, inicio + 2);
  if (!opened.source) return 0;
  video::FrameSource& source = *opened.source;
  const video::VideoInfo& info = source.info();
  if (info.naturalW * info.naturalH > kMaxNaturalPixels) return 0;
  double t = 0;
  core::Img img;
  video::Picture picture;
  for (int k = 0; k < kMaxFrames && source.nextPicture(t, picture); ++k) {
    // Odd frames are made whole, even ones in a part that moves from frame
    // to frame as a tracker's does; what is made holds grey values.
    const int64_t x0 = info.GW * (k % 3) / 5, y0 = info.GH * (k % 4) / 7;
    const core::Region part =
        k % 2 ? core::Region{0, 0, info.GW, info.GH}
              : core::Region{x0, y0, x0 + info.GW / 3 + 1, y0 + info.GH / 2 + 1};
    img.p.assign(static_cast<size_t>(info.GW * info.GH), -1.0f);
    source.render(picture, part, img);
    if (img.w != info.GW || img.h != info.GH ||
        img.p.size() != static_cast<size_t>(info.GW * info.GH)) {
      __builtin_trap();
    }
    for (int64_t y = part.y0; y < std::min(part.y1, info.GH); ++y) {
      for (int64_t x = part.x0; x < std::min(part.x1, info.GW); ++x) {
        const float v = img.p[static_cast<size_t>(y * info.GW + x)];
        if (!(v >= 0 && v <= 255)) __builtin_trap();
      }
    }
  }
  return 0;
}
