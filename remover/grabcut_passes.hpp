// GrabCut from the located labels: the cues say roughly where the subject is,
// GrabCut settles its outline with the image's own colours.
#pragma once

#include <opencv2/core.hpp>

namespace recortar {

// The subject of an 8-bit BGR image as CV_8U (255 subject, 0 rest), from
// `labels` (subject_locator.hpp) at the same size. Empty of subject when the
// labels hold no foreground.
cv::Mat grabSubject(const cv::Mat& bgr, const cv::Mat& labels);

}  // namespace recortar
