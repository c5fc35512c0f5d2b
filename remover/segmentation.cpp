#include "remover/segmentation.hpp"

#include <future>

#include <opencv2/imgproc.hpp>

#include "remover/closer_look.hpp"
#include "remover/grabcut_passes.hpp"
#include "remover/instances.hpp"
#include "remover/saliency_network.hpp"
#include "remover/soft_edge.hpp"
#include "remover/subject_locator.hpp"
#include "remover/thin_parts.hpp"
#include "remover/work_image.hpp"

namespace recortar {

namespace {

// Below this the statistics (k-means on the border, GrabCut's colour models)
// have too few pixels to mean anything; such an image shows no subject.
constexpr int kSmallestWork = 16;

cv::Mat maskOfWork(const cv::Mat& work, const CloseUp& closeUp) {
  // The network, the slowest step, runs on its own thread beside the
  // hand-made cues. It runs even on an image too small to segment, so that a
  // missing model is always reported, never taken for "no subject".
  std::future<cv::Mat> network = std::async(std::launch::async, [&work, &closeUp] {
    SaliencyNetwork net;
    return lookCloser(net, work, closeUp);
  });
  if (work.cols < kSmallestWork || work.rows < kSmallestWork) {
    network.get();
    return {};
  }
  const cv::Mat lab = toLab(work);
  const cv::Mat classical = classicalScore(work, lab);
  const cv::Mat map = network.get();
  if (mapShowsNoSubject(lab, map)) return {};
  cv::Mat kept = keepInstances(grabSubject(work, seedLabels(map, classical)));
  // GrabCut's colour models can let go of a subject whose colours the
  // background is full of (a brass trumpet over a crowd of coloured heads:
  // nothing kept); a map salient enough to stand alone answers then. A
  // smaller salient spot needs GrabCut's word: on a drawn circuit board the
  // network lights one chip, which GrabCut rightly lets go.
  if (!looksLikeSubject(lab, kept, map)) {
    if (!mapStandsAlone(map)) return {};
    kept = keepInstances(map > 0.5f);
    if (!looksLikeSubject(lab, kept, map)) return {};
  }
  return growThinParts(lab, kept, map);
}

}  // namespace

cv::Mat subjectMask(const cv::Mat& bgr) {
  CV_Assert(bgr.type() == CV_8UC3);
  const cv::Size size = scaledTo(bgr.size(), kWorkSide);
  const CloseUp closeUp = [&bgr, size](const cv::Rect& box) {
    return cutCloseUp(bgr, false, size, box);
  };
  if (size == bgr.size()) return maskOfWork(bgr, closeUp);
  cv::Mat work;
  cv::resize(bgr, work, size, 0, 0, cv::INTER_AREA);
  return maskOfWork(work, closeUp);
}

bool cutOutSubject(cv::Mat& raster) {
  CV_Assert(raster.type() == CV_8UC4);
  // The working copy comes from the raster itself; a transparent input pixel
  // is black there, as it would be over a black matte.
  const cv::Size size = scaledTo(raster.size(), kWorkSide);
  cv::Mat work;
  cv::resize(raster, work, size, 0, 0, cv::INTER_AREA);
  cv::cvtColor(work, work, cv::COLOR_RGBA2BGR);
  const cv::Mat mask = maskOfWork(
      work, [&raster, size](const cv::Rect& box) { return cutCloseUp(raster, true, size, box); });
  if (mask.empty()) return false;
  applySoftEdge(raster, mask);
  return true;
}

}  // namespace recortar
