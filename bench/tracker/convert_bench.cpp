// The frame source's conversion alone, on fixed pseudo-random 4:2:0 planes:
// libswscale to RGBA and then grey (the conversion for other formats, and
// the one before the direct pass) against the direct pass from the planes.
// Prints, per size, the median thread CPU time of each over 31 interleaved
// runs and their ratio.
// Usage: convert_bench
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

#include "video/orientation.hpp"
#include "video/yuv_grey.hpp"

namespace {

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void run(int w, int h, int factor) {
  using namespace video;
  const int ow = w / factor, oh = h / factor, cw = w / 2, ch = h / 2;
  std::mt19937 rng(1);
  std::vector<uint8_t> planes[3] = {std::vector<uint8_t>(static_cast<size_t>(w) * h),
                                    std::vector<uint8_t>(static_cast<size_t>(cw) * ch),
                                    std::vector<uint8_t>(static_cast<size_t>(cw) * ch)};
  for (auto& p : planes) {
    for (auto& b : p) b = static_cast<uint8_t>(rng());
  }
  std::vector<uint8_t> rgba(static_cast<size_t>(ow) * oh * 4);
  std::vector<float> grey(static_cast<size_t>(ow) * oh);
  SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_YUV420P, ow, oh, AV_PIX_FMT_RGBA,
                                   factor > 1 ? SWS_AREA : SWS_BILINEAR, nullptr, nullptr, nullptr);
  sws_setColorspaceDetails(sws, sws_getCoefficients(SWS_CS_ITU709), 0,
                           sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
  const uint8_t* src[4] = {planes[0].data(), planes[1].data(), planes[2].data(), nullptr};
  const int srcStride[4] = {w, cw, cw, 0};
  uint8_t* dst[4] = {rgba.data(), nullptr, nullptr, nullptr};
  const int dstStride[4] = {ow * 4, 0, 0, 0};
  YuvFrame f;
  for (int p = 0; p < 3; ++p) {
    f.plane[p] = planes[p].data();
    f.stride[p] = srcStride[p];
  }
  f.w = w;
  f.h = h;
  f.shiftX = f.shiftY = 1;
  const YuvMatrix m = yuvMatrix(0.2126, 0.0722, false);
  std::vector<double> viaRgba, direct;
  for (int i = 0; i < 31; ++i) {
    const double t0 = cpuSeconds();
    sws_scale(sws, src, srcStride, 0, h, dst, dstStride);
    greyMirrored(RgbaFrame{rgba.data(), ow, oh, ow * 4}, false, false, grey.data());
    const double t1 = cpuSeconds();
    greyMirrored(YuvRows(f, m, factor), false, false, grey.data());
    const double t2 = cpuSeconds();
    viaRgba.push_back(t1 - t0);
    direct.push_back(t2 - t1);
  }
  sws_freeContext(sws);
  const double a = median(viaRgba), b = median(direct);
  std::printf("%5dx%-5d -> %5dx%-5d  swscale+grey %6.2f ms  direct %6.2f ms  ratio %.2f\n", w, h,
              ow, oh, a * 1e3, b * 1e3, b / a);
}

}  // namespace

int main() {
  run(1280, 720, 1);
  run(1920, 1080, 1);
  run(3840, 2160, 2);
  return 0;
}
