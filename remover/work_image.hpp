// The reduced copies the segmentation works on, and its colour space.
// Images are OpenCV matrices, rows top first, x to the right.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace recortar {

// Longest side of the working copy every segmentation step sees. Measured on
// composites of known subjects: 512 costs 2.5–4× the time of 320 and scored
// no better; GrabCut's time grows with the area.
inline constexpr int kWorkSide = 320;

// `s` shrunk so that its longest side is at most `side`, aspect kept, each
// side at least 1. Sizes already small enough are returned as they are.
cv::Size scaledTo(cv::Size s, int side);

// CIE Lab (D65, sRGB primaries) of an 8-bit BGR image as CV_32FC3: L in
// 0..100, a and b about -128..127.
cv::Mat toLab(const cv::Mat& bgr);

// Each label of `ids` (CV_32S, as connectedComponents gives them) replaced by
// value[label], as CV_8U.
cv::Mat paintLabels(const cv::Mat& ids, const std::vector<std::uint8_t>& value);

// Seeds the calling thread's OpenCV generator (k-means, GrabCut), so that the
// same input gives the same mask on every run.
void seedRandom();

}  // namespace recortar
