// Parts of the subject that GrabCut and the network let go: legs, antennae,
// stems, straps, and the edges of a subject over a busy background, where
// GrabCut's five Gaussians of background take the subject's own colours too.
// They are grown back from the found subject where the background does not
// explain their colour. The soft edge (soft_edge.hpp) then refines them at
// full size like the rest of the mask.
#pragma once

#include <opencv2/core.hpp>

namespace recortar {

// `subject` (CV_8U, 255 subject; keepInstances' result) with the parts joined
// to it whose colour is far likelier in the subject than in the sure
// background (far from it, and dark in the network's map), near it, and not
// quite dark in the map. `lab` is toLab of the working image and `network`
// its map, both at the mask's size.
cv::Mat growThinParts(const cv::Mat& lab, const cv::Mat& subject, const cv::Mat& network);

}  // namespace recortar
