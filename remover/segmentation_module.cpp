// The segmentation path as a module: OpenCV and the libraries behind it are
// loaded only when an image has no flat background, so the keying path (and
// every usage error) starts in a few milliseconds. segmenter.cpp opens it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "remover/segmentation.hpp"
#include "remover/segmenter.hpp"

namespace {

void describe(const char* what, char* out, std::size_t size) {
  if (size == 0) return;
  std::strncpy(out, what, size - 1);
  out[size - 1] = '\0';
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int recortar_cut_out(std::uint8_t* rgba, int w,
                                                                       int h, char* failure,
                                                                       std::size_t failureSize) {
  // OpenCV's own warnings would be a second line on standard error.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  try {
    cv::Mat raster(h, w, CV_8UC4, rgba);
    return recortar::cutOutSubject(raster) ? recortar::kCutOut : recortar::kNoSubject;
  } catch (const std::exception& e) {
    describe(e.what(), failure, failureSize);
  } catch (...) {
    describe("segmentation failed", failure, failureSize);
  }
  return recortar::kCutFailed;
}
