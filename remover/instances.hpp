// Which parts of GrabCut's answer are subjects, and whether there is a
// subject at all.
#pragma once

#include <opencv2/core.hpp>

namespace recortar {

// The sizeable connected parts of `fg` (CV_8U, 255 subject), every one of
// them, with small enclosed holes filled.
cv::Mat keepInstances(const cv::Mat& fg);

// Whether the network's map alone shows no subject: too little of it salient,
// too little of that confident, or the marks of a texture. `lab` is toLab of
// the working image, `network` the map at the same size. Asked before
// GrabCut, whose max-flow is slowest on exactly these busy frames (a page of
// text took 2.4 times the time of a composite, in GrabCut).
bool mapShowsNoSubject(const cv::Mat& lab, const cv::Mat& network);

// Whether `mask` (keepInstances' result), found from a map that showed a
// subject, is one rather than a scrap: neither nearly nothing nor nearly the
// whole frame, and set apart by its colours when the map's subject is small.
bool looksLikeSubject(const cv::Mat& lab, const cv::Mat& mask, const cv::Mat& network);

// Whether enough of the network's map is salient for it to count as a subject
// without its colours' word: what lets the map stand in for GrabCut's answer.
bool mapStandsAlone(const cv::Mat& network);

// Whether the network's map is salient enough to count but too little of it
// confident: mapShowsNoSubject's own doubt, which a closer look may settle.
bool unsureOfSubject(const cv::Mat& network);

}  // namespace recortar
