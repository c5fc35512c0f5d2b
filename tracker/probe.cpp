#include "tracker/probe.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tracker/numbers.hpp"

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

std::vector<std::string_view> splitNonEmpty(std::string_view text, char sep) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(sep, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

}  // namespace

std::optional<core::Img> loadStill(const std::string& path) {
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

std::vector<float> grid(const core::Img& picture, double x0, double y0, double x1, double y1) {
  const int64_t w = picture.w, h = picture.h;
  std::vector<float> g(kGridSide * kGridSide);
  for (int j = 0; j < kGridSide; ++j) {
    const auto row =
        floorToInt((y0 + ((y1 - y0) * (j + 0.5)) / kGridSide) * static_cast<double>(h));
    for (int i = 0; i < kGridSide; ++i) {
      const auto col =
          floorToInt((x0 + ((x1 - x0) * (i + 0.5)) / kGridSide) * static_cast<double>(w));
      float v = 0;
      if (row && col && *col >= 0 && *col < w && *row >= 0 && *row < h) {
        v = picture.p[static_cast<size_t>(*row * w + *col)];
      }
      g[static_cast<size_t>(j * kGridSide + i)] = v;
    }
  }
  float sum = 0;
  for (float v : g) sum += v;
  const float mean = sum / static_cast<float>(g.size());
  for (float& v : g) v -= mean;
  return g;
}

float gridNcc(const std::vector<float>& a, const std::vector<float>& b) {
  float dot = 0, saa = 0, sbb = 0;
  for (size_t k = 0; k < a.size(); ++k) {
    dot += a[k] * b[k];
    saa += a[k] * a[k];
    sbb += b[k] * b[k];
  }
  return dot / std::max(std::sqrt(sbb * saa), 0.001f);
}

std::string formatScore(float score) {
  // to_chars formats as "%.4f" does, but never with the user's decimal comma.
  char buf[400];
  const auto res =
      std::to_chars(buf, buf + sizeof buf, static_cast<double>(score), std::chars_format::fixed, 4);
  return std::string(buf, res.ptr);
}

std::string probeLine(const core::Img& first, const core::Img& second, double x0, double y0,
                      double x1, double y1, std::string_view candidates) {
  const std::vector<float> reference = grid(first, x0, y0, x1, y1);
  std::string line;
  for (std::string_view piece : splitNonEmpty(candidates, ';')) {
    std::vector<double> v;
    for (std::string_view field : splitNonEmpty(piece, ',')) {
      if (auto n = parseNumber(field)) v.push_back(*n);
    }
    if (!line.empty()) line += ' ';
    if (v.size() != 4) {
      line += "-1";
      continue;
    }
    const float score = gridNcc(reference, grid(second, v[0], v[1], v[2], v[3]));
    line += formatScore(score);
  }
  return line;
}

}  // namespace seguir
