// U²-Netp, the 4.6 MB lite U²-Net salient-object detector (weights by the
// U²-Net authors, Apache-2.0; ONNX conversion, MIT), run with OpenCV's dnn
// module. It answers "what would a viewer look at", learned from thousands of
// photos: the cue the hand-made ones lack on subjects whose colours recur in
// the background, on thin subjects and on busy textures.
//
// The model file is found beside the running program, or, installed, in
// <prefix>/share/seguir-recortar (common/companions.hpp). It is not in the
// repository:
// scripts/fetch-model.sh fetches it and the build copies it into place.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

namespace recortar {

inline constexpr char kModelName[] = "u2netp.onnx";
// The network's fixed input: kNetworkSide × kNetworkSide (a 448 input fails
// in OpenCV's concat layer).
inline constexpr int kNetworkSide = 320;

// The places searched for the model, in order.
std::vector<std::string> modelPlaces();

class SaliencyNetwork {
 public:
  // Loads the first model of modelPlaces(). Throws std::runtime_error whose
  // what() is the one line the user sees: which file is missing, and where it
  // was looked for, or which file could not be loaded.
  SaliencyNetwork();
  // Loads the model at `path`; throws as above.
  explicit SaliencyNetwork(const std::string& path);

  // Saliency of an 8-bit BGR image as CV_32F at `size` (the image's own size
  // when empty), each value in 0..1 as the network gives it (already through
  // its sigmoid, not rescaled): 0.5 is the network's own "salient or not"
  // boundary.
  cv::Mat saliency(const cv::Mat& bgr, cv::Size size = {});

 private:
  cv::dnn::Net net_;
  std::string fused_;  // name of the fused output
};

}  // namespace recortar
