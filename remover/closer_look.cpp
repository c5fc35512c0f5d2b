#include "remover/closer_look.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "remover/instances.hpp"

namespace recortar {

namespace {

// The box holds every pixel above kBoxLevel, with kBoxMargin of its size on
// each side, so that faint thin parts beside the salient core are seen too.
constexpr float kBoxLevel = 0.3f;
constexpr double kBoxMargin = 0.15;
// A box that spans nearly the whole frame both ways is no closer look: the
// second pass would see nearly the first's picture, at the cost of a second
// network pass. That is the diffuse map of a bold repeating pattern (GNOME's
// truchet wallpaper: the box spans all of the width and 86 % of the height).
constexpr double kLeastZoom = 1.25;  // frame side over box side, on either axis

cv::Rect salientBox(const cv::Mat& map) {
  const cv::Rect core = cv::boundingRect(map > kBoxLevel);
  if (core.empty()) return {};
  const int mx = static_cast<int>(std::lround(kBoxMargin * core.width));
  const int my = static_cast<int>(std::lround(kBoxMargin * core.height));
  return cv::Rect(core.x - mx, core.y - my, core.width + 2 * mx, core.height + 2 * my) &
         cv::Rect(0, 0, map.cols, map.rows);
}

}  // namespace

cv::Mat cutCloseUp(const cv::Mat& full, bool rgba, cv::Size work, const cv::Rect& box) {
  const double fx = static_cast<double>(full.cols) / work.width;
  const double fy = static_cast<double>(full.rows) / work.height;
  const int x0 = static_cast<int>(std::floor(box.x * fx));
  const int y0 = static_cast<int>(std::floor(box.y * fy));
  const int x1 = std::min(full.cols, static_cast<int>(std::ceil(box.br().x * fx)));
  const int y1 = std::min(full.rows, static_cast<int>(std::ceil(box.br().y * fy)));
  cv::Mat view;
  cv::resize(full(cv::Rect(x0, y0, x1 - x0, y1 - y0)), view, cv::Size(kNetworkSide, kNetworkSide),
             0, 0, cv::INTER_AREA);
  if (rgba) cv::cvtColor(view, view, cv::COLOR_RGBA2BGR);
  return view;
}

cv::Mat lookCloser(SaliencyNetwork& net, const cv::Mat& work, const CloseUp& closeUp) {
  cv::Mat map = net.saliency(work);
  if (!unsureOfSubject(map)) return map;
  const cv::Rect box = salientBox(map);
  if (box.width < 2 || box.height < 2) return map;
  if (map.cols < kLeastZoom * box.width && map.rows < kLeastZoom * box.height) return map;
  net.saliency(closeUp(box), box.size()).copyTo(map(box));
  return map;
}

}  // namespace recortar
