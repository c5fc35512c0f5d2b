// A closer look where the network is unsure. It sees every image at 320 × 320,
// so a subject a fifth of the frame tall gets about 60 pixels of its input,
// and a small or thin one comes out faint and unconfident, as a texture does.
// Then a second pass on the salient box, cut from the full-size image, answers
// for the box: seen closer, the subject is salient and confident, while a
// tiling stays unconfident. Own sets (bench/remover/own_set.py): held-out mean
// IoU 0.771 to 0.792, the tuning set and the textures unchanged. Averaging the
// closer pass with the whole one, as for a flip, tied on the tuning set and
// lost held-out (0.797 against 0.814 at working size), and a closer pass on
// every image gained under 0.01 for a second pass of the network everywhere.
// It costs one more pass, on unsure images only.
#pragma once

#include <functional>

#include <opencv2/core.hpp>

#include "remover/saliency_network.hpp"

namespace recortar {

// The full-size image under a box of the working copy, as 8-bit BGR at the
// network's input size (kNetworkSide square).
using CloseUp = std::function<cv::Mat(const cv::Rect& box)>;

// The network's map of the working copy `work` (CV_32F at its size), with the
// closer pass in the salient box when the whole-image pass is unsure.
cv::Mat lookCloser(SaliencyNetwork& net, const cv::Mat& work, const CloseUp& closeUp);

// The closer view for CloseUp: the part of `full` (8-bit BGR, or RGBA when
// `rgba`) under `box` of a working copy of size `work`, at the network's input size.
cv::Mat cutCloseUp(const cv::Mat& full, bool rgba, cv::Size work, const cv::Rect& box);

}  // namespace recortar
