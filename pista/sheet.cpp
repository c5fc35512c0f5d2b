#include "pista/sheet.hpp"

#include <algorithm>
#include <cmath>

namespace pista {

namespace {

constexpr int kSheetColumns = 4;
constexpr int kSheetTiles = 12;
constexpr int kTileSide = 480;  // longest side of one tile of the sheet, pixels
constexpr int kGap = 6;

}  // namespace

std::vector<size_t> sheetRecords(size_t records, bool lost) {
  const size_t wanted = std::min<size_t>(records, lost ? kSheetTiles - 1 : kSheetTiles);
  std::vector<size_t> picks;
  for (size_t k = 0; k < wanted; ++k) {
    const size_t i = wanted == 1 ? 0 : (k * (records - 1) + (wanted - 1) / 2) / (wanted - 1);
    if (picks.empty() || picks.back() != i) picks.push_back(i);
  }
  return picks;
}

cv::Size tileSize(cv::Size displayed) {
  const double zoom =
      std::min(1.0, static_cast<double>(kTileSide) / std::max(displayed.width, displayed.height));
  return {std::max(1, static_cast<int>(std::lround(displayed.width * zoom))),
          std::max(1, static_cast<int>(std::lround(displayed.height * zoom)))};
}

cv::Mat assembleSheet(const std::vector<cv::Mat>& tiles) {
  int tw = 0, th = 0;
  for (const cv::Mat& t : tiles) {
    tw = std::max(tw, t.cols);
    th = std::max(th, t.rows);
  }
  const int columns = std::min<int>(kSheetColumns, static_cast<int>(tiles.size()));
  const int rows = (static_cast<int>(tiles.size()) + columns - 1) / columns;
  cv::Mat sheet(rows * th + (rows + 1) * kGap, columns * tw + (columns + 1) * kGap, CV_8UC3,
                cv::Scalar(32, 32, 32));
  for (size_t i = 0; i < tiles.size(); ++i) {
    const int c = static_cast<int>(i) % columns, r = static_cast<int>(i) / columns;
    tiles[i].copyTo(sheet(
        cv::Rect(kGap + c * (tw + kGap), kGap + r * (th + kGap), tiles[i].cols, tiles[i].rows)));
  }
  return sheet;
}

}  // namespace pista
