#include "pista/overlay.hpp"

#include <cmath>
#include <cstdio>
#include <numbers>
#include <opencv2/imgproc.hpp>

namespace pista {

namespace {

// Lines are drawn with 4 fractional bits, so that a thumbnail still places
// them to a sixteenth of a pixel.
constexpr int kShift = 4;
constexpr double kOne = 1 << kShift;

const cv::Scalar kConfident(80, 220, 80);  // B, G, R
const cv::Scalar kWeak(40, 200, 240);
const cv::Scalar kLost(60, 60, 240);
const cv::Scalar kTrail(240, 160, 60);
// Every stroke is drawn over a dark one a little wider, so that it reads on
// any video, even one of its own colour.
const cv::Scalar kHalo(0, 0, 0);

cv::Point fixed(cv::Point2d p) {
  return {static_cast<int>(std::lround(p.x * kOne)), static_cast<int>(std::lround(p.y * kOne))};
}

// A fraction of the displayed frame as a point of `picture`: pixel i covers
// [i, i + 1), so the fraction f lies at f * size - 0.5 in pixel centres.
cv::Point2d placed(double fx, double fy, cv::Size picture) {
  return {fx * picture.width - 0.5, fy * picture.height - 0.5};
}

void drawRegion(cv::Mat& picture, const trackdoc::Record& r, RegionSize region, double zoom,
                const cv::Scalar& colour, int thickness) {
  const cv::Point2d c = placed(r.x, r.y, picture.size());
  const double angle = r.r * std::numbers::pi / 180;
  const double cs = std::cos(angle) * r.s * zoom, sn = std::sin(angle) * r.s * zoom;
  // Turned clockwise on screen for a positive angle, as the track means it.
  const auto at = [&](double u, double v) {
    return cv::Point2d(c.x + cs * u - sn * v, c.y + sn * u + cs * v);
  };
  if (region.w > 0 && region.h > 0) {
    const double u = region.w / 2, v = region.h / 2;
    const cv::Point corners[] = {fixed(at(-u, -v)), fixed(at(u, -v)), fixed(at(u, v)),
                                 fixed(at(-u, v))};
    const cv::Point* poly[] = {corners};
    const int count = 4;
    cv::polylines(picture, poly, &count, 1, true, colour, thickness, cv::LINE_AA, kShift);
    // A tick on the top edge shows which way the region has turned.
    cv::line(picture, fixed(at(0, -v)), fixed(at(0, -v * 0.75)), colour, thickness, cv::LINE_AA,
             kShift);
  } else {
    const double arm = 0.04 * std::min(picture.cols, picture.rows) / zoom;
    cv::line(picture, fixed(at(-arm, 0)), fixed(at(arm, 0)), colour, thickness, cv::LINE_AA,
             kShift);
    cv::line(picture, fixed(at(0, -arm)), fixed(at(0, arm)), colour, thickness, cv::LINE_AA,
             kShift);
  }
}

}  // namespace

void drawOverlay(cv::Mat& picture, const std::vector<cv::Point2d>& trail,
                 const trackdoc::Record& record, FrameState state, RegionSize region,
                 cv::Size displayed, double t) {
  const double zoom = static_cast<double>(picture.cols) / displayed.width;
  const int thickness = std::max(1, static_cast<int>(std::lround(picture.rows / 360.0)));
  std::vector<cv::Point> path;
  for (const cv::Point2d& p : trail) path.push_back(fixed(placed(p.x, p.y, picture.size())));
  if (path.size() >= 2) {
    cv::polylines(picture, path, false, kHalo, thickness + 2, cv::LINE_AA, kShift);
    cv::polylines(picture, path, false, kTrail, thickness, cv::LINE_AA, kShift);
  }
  const cv::Scalar colour = state == FrameState::kLost              ? kLost
                            : record.c >= trackdoc::kWeakConfidence ? kConfident
                                                                    : kWeak;
  if (state != FrameState::kUntracked) {
    drawRegion(picture, record, region, zoom, kHalo, thickness + 2);
    drawRegion(picture, record, region, zoom, colour, thickness);
  }

  char label[96];
  if (state == FrameState::kLost) {
    std::snprintf(label, sizeof label, "t %.3f s  perdida", t);
  } else if (state == FrameState::kUntracked) {
    std::snprintf(label, sizeof label, "t %.3f s", t);
  } else {
    std::snprintf(label, sizeof label, "t %.3f s  c %.2f", t, record.c);
  }
  const double fontScale = std::max(0.35, picture.rows / 900.0);
  const cv::Point origin(thickness * 4, static_cast<int>(picture.rows - thickness * 6));
  cv::putText(picture, label, origin, cv::FONT_HERSHEY_SIMPLEX, fontScale, kHalo, thickness + 2,
              cv::LINE_AA);
  cv::putText(picture, label, origin, cv::FONT_HERSHEY_SIMPLEX, fontScale, colour, thickness,
              cv::LINE_AA);
}

}  // namespace pista
