// Still images through OpenCV's imgcodecs, built as a module that seguir
// loads only in the scale-probe mode: OpenCV brings some 80 libraries with it
// (GDAL and its formats), which would add 0.1 s and 20 MB to every video run.
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tracker/probe.hpp"

namespace seguir {
namespace {

// Any depth OpenCV may hand back, brought to 8 bits. 16-bit samples keep their
// top byte with rounding; floating samples are taken as 0..1.
cv::Mat to8Bit(const cv::Mat& m) {
  if (m.depth() == CV_8U) return m;
  cv::Mat out;
  switch (m.depth()) {
    case CV_16U:
      m.convertTo(out, CV_8U, 1.0 / 257.0);
      break;
    case CV_32F:
    case CV_64F:
      m.convertTo(out, CV_8U, 255.0);
      break;
    default:
      m.convertTo(out, CV_8U);
      break;
  }
  return out;
}

// Premultiplication with rounding, as drawing into a premultiplied bitmap does.
unsigned premultiply(unsigned c, unsigned a) {
  return (c * a + 127) / 255;
}

}  // namespace

std::optional<core::Img> decodeStill(const std::string& path) {
  // OpenCV's own warnings would add lines to standard error, where seguir
  // promises at most one.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  cv::Mat raw;
  try {
    raw = cv::imread(path, cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception&) {
    return std::nullopt;
  }
  if (raw.empty() || raw.dims != 2) return std::nullopt;
  const cv::Mat m = to8Bit(raw);
  const int ch = m.channels();
  if (ch < 1 || ch > 4) return std::nullopt;
  core::Img img;
  img.w = m.cols;
  img.h = m.rows;
  img.p.resize(static_cast<size_t>(img.w) * static_cast<size_t>(img.h));
  float* dst = img.p.data();
  for (int y = 0; y < m.rows; ++y) {
    const uint8_t* row = m.ptr<uint8_t>(y);
    for (int x = 0; x < m.cols; ++x, ++dst) {
      const uint8_t* px = row + x * ch;
      unsigned r, g, b, a = 255;
      if (ch <= 2) {  // grey, or grey and alpha
        r = g = b = px[0];
        if (ch == 2) a = px[1];
      } else {  // OpenCV stores B, G, R(, A)
        b = px[0];
        g = px[1];
        r = px[2];
        if (ch == 4) a = px[3];
      }
      if (a != 255) {
        r = premultiply(r, a);
        g = premultiply(g, a);
        b = premultiply(b, a);
      }
      *dst = greyOf(r, g, b);
    }
  }
  return img;
}

}  // namespace seguir

// The module's one entry point; false when the file is not an image.
extern "C" __attribute__((visibility("default"))) bool seguir_load_still(const char* path,
                                                                         core::Img* out) {
  auto img = seguir::decodeStill(path);
  if (!img) return false;
  *out = std::move(*img);
  return true;
}
