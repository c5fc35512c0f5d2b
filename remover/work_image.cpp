#include "remover/work_image.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace recortar {

namespace {
constexpr std::uint64_t kSeed = 0x5eed5eedULL;
}

cv::Size scaledTo(cv::Size s, int side) {
  const int longest = std::max(s.width, s.height);
  if (longest <= side) return s;
  const double f = static_cast<double>(side) / longest;
  return {std::max(1, static_cast<int>(std::lround(s.width * f))),
          std::max(1, static_cast<int>(std::lround(s.height * f)))};
}

// OpenCV's own float conversion builds its lookup tables on first use, which
// measured about 150 ms: more than all of the locating step. One 256-entry
// table of linear values suffices for 8-bit input.
cv::Mat toLab(const cv::Mat& bgr) {
  float linear[256];
  for (int i = 0; i < 256; ++i) {
    const double c = i / 255.0;
    linear[i] = static_cast<float>(c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
  }
  const auto f = [](float t) { return t > 0.008856f ? std::cbrt(t) : 7.787f * t + 16.0f / 116.0f; };
  cv::Mat lab(bgr.size(), CV_32FC3);
  for (int y = 0; y < bgr.rows; ++y) {
    const std::uint8_t* in = bgr.ptr<std::uint8_t>(y);
    cv::Vec3f* out = lab.ptr<cv::Vec3f>(y);
    for (int x = 0; x < bgr.cols; ++x, in += 3) {
      const float b = linear[in[0]], g = linear[in[1]], r = linear[in[2]];
      const float fx = f((0.412453f * r + 0.357580f * g + 0.180423f * b) / 0.950456f);
      const float fy = f(0.212671f * r + 0.715160f * g + 0.072169f * b);
      const float fz = f((0.019334f * r + 0.119193f * g + 0.950227f * b) / 1.088754f);
      out[x] = cv::Vec3f(116.0f * fy - 16.0f, 500.0f * (fx - fy), 200.0f * (fy - fz));
    }
  }
  return lab;
}

cv::Mat paintLabels(const cv::Mat& ids, const std::vector<std::uint8_t>& value) {
  cv::Mat out(ids.size(), CV_8U);
  for (int y = 0; y < ids.rows; ++y) {
    const int* id = ids.ptr<int>(y);
    std::uint8_t* px = out.ptr<std::uint8_t>(y);
    for (int x = 0; x < ids.cols; ++x) px[x] = value[id[x]];
  }
  return out;
}

void seedRandom() {
  cv::theRNG().state = kSeed;
}

}  // namespace recortar
