// How far the direct Y'CbCr-to-grey conversion lies from libswscale's RGBA
// made grey, both its fast path (the frame source's conversion before) and
// its accurate one: the mean absolute difference over every analysis sample
// of the span, the mean signed difference (direct minus RGBA) and the
// largest, in grey levels.
// Usage: grey_diff VIDEO [inicio fin]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "video/frame_source.hpp"

namespace {

struct Diff {
  double sum = 0, signedSum = 0, worst = 0;
  double samples = 0;
  void add(const core::Img& direct, const core::Img& ref) {
    for (size_t k = 0; k < direct.p.size(); ++k) {
      const double d = static_cast<double>(direct.p[k]) - ref.p[k];
      sum += std::fabs(d);
      signedSum += d;
      worst = std::max(worst, std::fabs(d));
    }
    samples += static_cast<double>(direct.p.size());
  }
  void print(const char* name) const {
    const double n = samples > 0 ? samples : 1;
    std::printf(" %s: mean_abs=%.3f mean=%+.3f max_abs=%.2f", name, sum / n, signedSum / n, worst);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    std::fprintf(stderr, "usage: grey_diff VIDEO [inicio fin]\n");
    return 2;
  }
  const double inicio = argc == 4 ? std::atof(argv[2]) : 0;
  const double fin = argc == 4 ? std::atof(argv[3]) : 1e9;
  video::Opened src[3];
  for (auto& s : src) {
    s = video::FrameSource::open(argv[1], inicio, fin);
    if (!s.source) {
      std::fprintf(stderr, "grey_diff: %s\n", s.error.detail.c_str());
      return 1;
    }
  }
  src[1].source->useRgbaConversion(false);
  src[2].source->useRgbaConversion(true);
  Diff fast, accurate;
  long long frames = 0;
  double t = 0;
  core::Img img[3];
  while (src[0].source->next(t, img[0]) && src[1].source->next(t, img[1]) &&
         src[2].source->next(t, img[2])) {
    fast.add(img[0], img[1]);
    accurate.add(img[0], img[2]);
    ++frames;
  }
  std::printf("%s frames=%lld", argv[1], frames);
  fast.print("vs_fast_rgba");
  accurate.print("vs_accurate_rgba");
  std::printf("\n");
  return 0;
}
