#include "raster.hpp"

#include <vector>

#include <opencv2/imgcodecs.hpp>

namespace recortar {

cv::Mat load(const std::string& path) {
  cv::Mat img;
  try {
    img = cv::imread(path, cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception&) {
    return {};
  }
  if (img.empty() || img.channels() > 4) return {};
  if (img.depth() != CV_8U && img.depth() != CV_16U) {
    // Floating-point formats (EXR, HDR) hold 0..1; integer ones are saturated.
    const bool floating = img.depth() == CV_32F || img.depth() == CV_64F;
    cv::Mat eight;
    img.convertTo(eight, CV_8U, floating ? 255.0 : 1.0);
    return eight;
  }
  return img;
}

namespace {

// The 8-bit row converter; `src` points at the first sample of pixel x.
void eightBitRow(const std::uint8_t* src, int channels, int count, std::uint8_t* out) {
  switch (channels) {
    case 1:
      for (int i = 0; i < count; ++i, out += 4) {
        out[0] = out[1] = out[2] = src[i];
        out[3] = 255;
      }
      break;
    case 2:
      for (int i = 0; i < count; ++i, src += 2, out += 4) {
        out[0] = out[1] = out[2] = premultiply(src[0], src[1]);
        out[3] = src[1];
      }
      break;
    case 3:
      for (int i = 0; i < count; ++i, src += 3, out += 4) {
        out[0] = src[2];
        out[1] = src[1];
        out[2] = src[0];
        out[3] = 255;
      }
      break;
    default:
      for (int i = 0; i < count; ++i, src += 4, out += 4) {
        const unsigned a = src[3];
        out[0] = premultiply(src[2], a);
        out[1] = premultiply(src[1], a);
        out[2] = premultiply(src[0], a);
        out[3] = static_cast<std::uint8_t>(a);
      }
      break;
  }
}

}  // namespace

void toRaster(const cv::Mat& decoded, int y, int x, int count, std::uint8_t* out) {
  const int channels = decoded.channels();
  if (decoded.depth() == CV_8U) {
    eightBitRow(decoded.ptr<std::uint8_t>(y) + static_cast<std::size_t>(x) * channels, channels,
                count, out);
    return;
  }
  // 16-bit: round each sample to 8 bits (v / 257), then convert as 8-bit. The
  // samples are reduced before premultiplying, so a pixel's bytes do not depend
  // on whether it was converted alone or within its row.
  const std::uint16_t* src = decoded.ptr<std::uint16_t>(y) + static_cast<std::size_t>(x) * channels;
  thread_local std::vector<std::uint8_t> eight;
  eight.resize(static_cast<std::size_t>(count) * channels);
  for (std::size_t i = 0; i < eight.size(); ++i) {
    eight[i] = static_cast<std::uint8_t>((src[i] * 255u + 32767u) / 65535u);
  }
  eightBitRow(eight.data(), channels, count, out);
}

cv::Mat rasterize(const cv::Mat& decoded) {
  cv::Mat raster(decoded.rows, decoded.cols, CV_8UC4);
  for (int y = 0; y < decoded.rows; ++y) toRaster(decoded, y, 0, decoded.cols, raster.ptr(y));
  return raster;
}

}  // namespace recortar
