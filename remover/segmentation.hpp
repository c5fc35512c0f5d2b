// Subject segmentation for images without a flat background: finds the
// subject instances and keeps them, with a soft edge, at full size.
//
// On a reduced working copy (work_image.hpp): a saliency network
// (saliency_network.hpp), with a closer look where it is unsure
// (closer_look.hpp), and hand-made cues locate the subject and label
// GrabCut's start (subject_locator.hpp), GrabCut settles the outline
// (grabcut_passes.hpp), every sizeable instance is kept and a scene without a
// subject is told apart (instances.hpp), thin parts that GrabCut let go are
// grown back by colour (thin_parts.hpp); a guided filter carries the mask to
// full size with a soft edge (soft_edge.hpp). Deterministic: every random
// choice is seeded and the network's arithmetic does not depend on threads.
#pragma once

#include <opencv2/core.hpp>

namespace recortar {

// The subject mask of a BGR 8-bit image at working size (longest side 320, or
// the image's own size when smaller): CV_8U, 255 for the subject, 0 for the
// rest. Empty when the image shows no subject. Throws std::exception (a
// missing model, cv::Exception) whose what() is a one-line description.
cv::Mat subjectMask(const cv::Mat& bgr);

// Cuts the subject out of a raster (raster.hpp) in place: pixels outside the
// subject become transparent, those on its edge partly so. False, with the
// raster untouched, when there is no subject. Throws as subjectMask does.
bool cutOutSubject(cv::Mat& raster);

}  // namespace recortar
