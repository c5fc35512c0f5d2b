// Subject segmentation for images without a flat background: finds the
// subject instances and keeps them, with a soft edge, at full size.
//
// Classical, on OpenCV: a box located from border colours, saliency and a
// centre prior, GrabCut from that box, a second GrabCut pass that lets a
// subject cut by the frame grow back, instance filtering, a test for "no
// subject at all", and a guided filter for the soft edge. The reasons for each
// step are in segmentation.cpp. Deterministic: every random choice is seeded.
#pragma once

#include <opencv2/core.hpp>

namespace recortar {

// The subject mask of a BGR 8-bit image at working size (longest side 320, or
// the image's own size when smaller): CV_8U, 255 for the subject, 0 for the
// rest. Empty when the image shows no subject. Throws cv::Exception.
cv::Mat subjectMask(const cv::Mat& bgr);

// Cuts the subject out of a raster (raster.hpp) in place: pixels outside the
// subject become transparent, those on its edge partly so. False, with the
// raster untouched, when there is no subject. Throws cv::Exception.
bool cutOutSubject(cv::Mat& raster);

}  // namespace recortar
