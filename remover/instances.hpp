// Which parts of GrabCut's answer are subjects, and whether there is a
// subject at all.
#pragma once

#include <opencv2/core.hpp>

namespace recortar {

// The sizeable connected parts of `fg` (CV_8U, 255 subject), every one of
// them, with small enclosed holes filled.
cv::Mat keepInstances(const cv::Mat& fg);

// Whether `mask` (keepInstances' result) is a subject rather than a piece of
// texture or an empty scene. `lab` is toLab of the working image, `network`
// the network's raw map at the same size.
bool looksLikeSubject(const cv::Mat& lab, const cv::Mat& mask, const cv::Mat& network);

// Whether the network's map is salient enough to count but too little of it
// confident: looksLikeSubject's own doubt, which a closer look may settle.
bool unsureOfSubject(const cv::Mat& network);

}  // namespace recortar
