#include "remover/grabcut_passes.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "remover/work_image.hpp"

namespace recortar {

namespace {

constexpr int kIterations = 3;
// GrabCut runs on the labelled zone plus a ring of this share of the longest
// side, not on the whole frame: far background only costs graph time, and a
// colour model of the nearby background separates better (composites: mean
// IoU 0.82 against 0.81, and about a third less time).
constexpr double kCropRing = 0.10;
constexpr int kLeastSamples = 10;

cv::Mat isSubject(const cv::Mat& labels) {
  return (labels == cv::GC_FGD) | (labels == cv::GC_PR_FGD);
}

}  // namespace

cv::Mat grabSubject(const cv::Mat& bgr, const cv::Mat& labels) {
  CV_Assert(bgr.type() == CV_8UC3 && labels.type() == CV_8U && bgr.size() == labels.size());
  const cv::Mat open = labels != cv::GC_BGD;
  const cv::Mat guess = isSubject(labels);
  if (cv::countNonZero(guess) == 0) return guess;
  const int ring = static_cast<int>(std::lround(kCropRing * std::max(bgr.cols, bgr.rows)));
  cv::Rect zone = cv::boundingRect(open);
  zone = cv::Rect(zone.x - ring, zone.y - ring, zone.width + 2 * ring, zone.height + 2 * ring) &
         cv::Rect(0, 0, bgr.cols, bgr.rows);
  cv::Mat mask = labels(zone).clone();
  // GrabCut needs samples of both sides for its colour models (five Gaussians each).
  const int subjectSamples = cv::countNonZero(isSubject(mask));
  const int restSamples = static_cast<int>(mask.total()) - subjectSamples;
  if (subjectSamples < kLeastSamples || restSamples < kLeastSamples) return guess;
  cv::Mat bgModel, fgModel;
  seedRandom();
  cv::grabCut(bgr(zone), mask, cv::Rect(), bgModel, fgModel, kIterations, cv::GC_INIT_WITH_MASK);
  cv::Mat subject = cv::Mat::zeros(bgr.size(), CV_8U);
  isSubject(mask).copyTo(subject(zone));
  return subject;
}

}  // namespace recortar
