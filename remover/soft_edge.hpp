// The soft edge: the working-size mask carried to the raster's full size so
// that its edge follows the image's own edges, partly transparent where
// subject and background mix (hair, blur, antialiasing).
#pragma once

#include <opencv2/core.hpp>

namespace recortar {

// Scales every pixel of `raster` (raster.hpp: RGBA, premultiplied) by the
// subject's opacity there, from `mask` (CV_8U, 255 subject) of any smaller
// size with the raster's aspect.
void applySoftEdge(cv::Mat& raster, const cv::Mat& mask);

}  // namespace recortar
