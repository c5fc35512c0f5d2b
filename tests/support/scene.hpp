// A textured square patch over a background, drawn at a known pose: the
// ground truth of the tracking tests, as encoded video or as frames handed
// straight to the tracker.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "core/tracking_core.hpp"

namespace support {

constexpr int kW = 320, kH = 240;
constexpr double kSide = 64;  // the patch's side on the first frame, pixels

// Where the patch is on frame k: centre, scale and clockwise angle (degrees).
struct Pose {
  double x, y, s, deg;
};

// Smooth texture: enough structure in both directions for the correlation,
// no detail finer than the encoder keeps.
inline double patchTexture(double u, double v) {
  return 128 + 50 * std::sin(0.31 * u + 0.17 * v) + 40 * std::sin(0.11 * u - 0.27 * v + 1.0) +
         25 * std::cos(0.05 * u * v / 8 + 0.4);
}
inline double backgroundTexture(double x, double y) {
  return 110 + 30 * std::sin(0.045 * x + 0.3) * std::cos(0.06 * y);
}

// Renders the patch at `pose` over the background (or a flat grey), with 2 x 2
// supersampling so that its edges move smoothly with sub-pixel motion. The
// patch's texture turns into another one as `change` goes from 0 to 1.
inline std::vector<uint8_t> render(const Pose& pose, bool showPatch, bool flat, double change = 0) {
  std::vector<uint8_t> img(kW * kH);
  const double a = pose.deg * std::numbers::pi / 180, c = std::cos(a), s = std::sin(a);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      double sum = 0;
      for (double oy : {-0.25, 0.25}) {
        for (double ox : {-0.25, 0.25}) {
          const double dx = x + ox - pose.x, dy = y + oy - pose.y;
          // Image offset = scale * R(angle) * (u, v): undo the turn and scale.
          const double u = (c * dx + s * dy) / pose.s, v = (-s * dx + c * dy) / pose.s;
          const bool inside = std::fabs(u) < kSide / 2 && std::fabs(v) < kSide / 2;
          if (showPatch && inside) {
            sum += (1 - change) * patchTexture(u, v) + change * patchTexture(v + 9, -u);
          } else {
            sum += flat ? 128 : backgroundTexture(x + ox, y + oy);
          }
        }
      }
      img[static_cast<size_t>(y * kW + x)] =
          static_cast<uint8_t>(std::clamp(std::lround(sum / 4), 0l, 255l));
    }
  }
  return img;
}

// The same picture as an analysis frame.
inline core::Img renderImg(const Pose& pose, bool showPatch, bool flat, double change = 0) {
  const std::vector<uint8_t> bytes = render(pose, showPatch, flat, change);
  return core::Img{kW, kH, std::vector<float>(bytes.begin(), bytes.end())};
}

}  // namespace support
