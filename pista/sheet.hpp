// The contact sheet: which records it shows and how its tiles are laid out.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <vector>

namespace pista {

// Which records the sheet shows: twelve at equal steps from the first to the
// last, or eleven and the frame where the region was lost.
std::vector<size_t> sheetRecords(size_t records, bool lost);

// The size of one tile for a displayed frame of `displayed`: its longest
// side at most 480 pixels, never enlarged.
cv::Size tileSize(cv::Size displayed);

// The tiles in rows of four on a dark ground.
cv::Mat assembleSheet(const std::vector<cv::Mat>& tiles);

}  // namespace pista
