#include "tracker/probe.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "common/numbers.hpp"
#include "core/flatness.hpp"
#include "core/grey.hpp"
#include "core/numeric.hpp"
#include "stills/stills.hpp"

namespace seguir {

namespace {

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
  // As stored: the probe compares rectangles of the file's own raster, so
  // no orientation is applied.
  const std::optional<stills::Image> image = stills::load(path);
  if (!image) return std::nullopt;
  const stills::Raster& r = image->raster;
  core::Img img;
  img.w = r.w;
  img.h = r.h;
  try {
    img.p.resize(static_cast<size_t>(r.w) * static_cast<size_t>(r.h));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  const uint8_t* px = r.px.get();
  for (float& v : img.p) {
    v = core::greyOf(px[0], px[1], px[2]);
    px += 4;
  }
  return img;
}

std::vector<float> grid(const core::Img& picture, double x0, double y0, double x1, double y1) {
  const int64_t w = picture.w, h = picture.h;
  std::vector<float> g(kGridSide * kGridSide);
  for (int j = 0; j < kGridSide; ++j) {
    const auto row =
        core::floorToInt((y0 + ((y1 - y0) * (j + 0.5)) / kGridSide) * static_cast<double>(h));
    for (int i = 0; i < kGridSide; ++i) {
      const auto col =
          core::floorToInt((x0 + ((x1 - x0) * (i + 0.5)) / kGridSide) * static_cast<double>(w));
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
  // A grid without contrast scores 0: once its mean is removed, what is left
  // of a flat grid is the rounding of that mean, which would otherwise
  // correlate perfectly with the same rounding of another flat grid.
  const auto n = static_cast<int64_t>(a.size());
  if (core::detail::flatSamples(a.data(), n) || core::detail::flatSamples(b.data(), n)) return 0;
  float dot = 0, saa = 0, sbb = 0;
  for (size_t k = 0; k < a.size(); ++k) {
    dot += a[k] * b[k];
    saa += a[k] * a[k];
    sbb += b[k] * b[k];
  }
  return core::detail::bounded(dot / std::max(std::sqrt(sbb * saa), 0.001f));
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
      if (auto n = common::parseNumber(field)) v.push_back(*n);
    }
    if (!line.empty()) line += ' ';
    if (v.size() != 4 || !common::allFinite(v)) {
      line += "-1";
      continue;
    }
    const float score = gridNcc(reference, grid(second, v[0], v[1], v[2], v[3]));
    line += formatScore(score);
  }
  return line;
}

}  // namespace seguir
