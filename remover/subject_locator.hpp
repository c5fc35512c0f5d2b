// Where is the subject? Cues at working size (work_image.hpp), fused into the
// labels GrabCut starts from (grabcut_passes.hpp).
#pragma once

#include <opencv2/core.hpp>

namespace recortar {

// The hand-made cues, multiplied so that each can veto: colour unlike
// anything common on the border (the border is mostly background), saliency
// (fine-grained centre-surround contrast) and a broad centre prior. CV_32F,
// 0..1, at the image's size. `lab` is toLab(bgr).
cv::Mat classicalScore(const cv::Mat& bgr, const cv::Mat& lab);

// GrabCut labels (cv::GC_BGD, GC_PR_BGD, GC_PR_FGD) as CV_8U, from the
// network's map (saliency_network.hpp) and classicalScore() at the same size.
// All cv::GC_BGD when neither cue points anywhere.
cv::Mat seedLabels(const cv::Mat& network, const cv::Mat& classical);

}  // namespace recortar
