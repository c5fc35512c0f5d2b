#include "remover/saliency_network.hpp"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <opencv2/imgproc.hpp>

#include "common/companions.hpp"
#include "remover/messages.hpp"

namespace recortar {

namespace {

// The network's input: RGB, NCHW, each image divided by its own largest
// sample and then standardised with the ImageNet statistics it was trained
// with.
constexpr int kSide = kNetworkSide;
constexpr float kMean[3] = {0.485f, 0.456f, 0.406f};
constexpr float kStd[3] = {0.229f, 0.224f, 0.225f};

cv::Mat inputBlob(const cv::Mat& bgr) {
  cv::Mat square;
  cv::resize(bgr, square, cv::Size(kSide, kSide), 0, 0, cv::INTER_AREA);
  double most = 0.0;
  cv::minMaxLoc(square.reshape(1), nullptr, &most);
  const float scale = most > 0.0 ? static_cast<float>(1.0 / most) : 1.0f;  // black stays black
  const int shape[] = {1, 3, kSide, kSide};
  cv::Mat blob(4, shape, CV_32F);
  float* planes = blob.ptr<float>();
  for (int y = 0; y < kSide; ++y) {
    const cv::Vec3b* row = square.ptr<cv::Vec3b>(y);
    for (int x = 0; x < kSide; ++x) {
      for (int c = 0; c < 3; ++c) {  // c counts R, G, B; the row holds B, G, R
        const float v = row[x][2 - c] * scale;
        planes[(c * kSide + y) * kSide + x] = (v - kMean[c]) / kStd[c];
      }
    }
  }
  return blob;
}

}  // namespace

std::vector<std::string> modelPlaces() {
  return common::companionPlaces(kModelName, common::Companion::kData);
}

SaliencyNetwork::SaliencyNetwork()
    : SaliencyNetwork([] {
        const std::vector<std::string> places = modelPlaces();
        for (const std::string& place : places) {
          std::error_code error;
          if (std::filesystem::is_regular_file(place, error)) return place;
        }
        std::string where;
        for (const std::string& place : places) where += (where.empty() ? "" : " ni en ") + place;
        throw std::runtime_error(text::kModelMissing + where);
      }()) {}

SaliencyNetwork::SaliencyNetwork(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    throw std::runtime_error(text::kModelMissing + path);
  }
  try {
    net_ = cv::dnn::readNetFromONNX(path);
    net_.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net_.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    // The fused map comes first among the outputs; a plain forward() would
    // return the coarsest side output instead, off by up to 0.74.
    const std::vector<std::string> outputs = net_.getUnconnectedOutLayersNames();
    if (outputs.empty()) throw std::runtime_error("no outputs");
    fused_ = outputs.front();
  } catch (const std::exception&) {
    throw std::runtime_error(text::kModelUnreadable + path);
  }
}

cv::Mat SaliencyNetwork::saliency(const cv::Mat& bgr, cv::Size size) {
  CV_Assert(bgr.type() == CV_8UC3 && !bgr.empty());
  if (size.empty()) size = bgr.size();
  net_.setInput(inputBlob(bgr));
  const cv::Mat out = net_.forward(fused_);
  CV_Assert(out.total() == static_cast<size_t>(kSide) * kSide);
  const cv::Mat map(kSide, kSide, CV_32F, const_cast<float*>(out.ptr<float>()));
  cv::Mat sized;
  const bool shrink = size.width <= kSide && size.height <= kSide;
  cv::resize(map, sized, size, 0, 0, shrink ? cv::INTER_AREA : cv::INTER_LINEAR);
  return sized;
}

}  // namespace recortar
