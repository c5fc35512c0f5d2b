#include "video/resample.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace video {

namespace {

struct Box {
  double minX = 0, maxX = 0, minY = 0, maxY = 0;
};

// The natural frame's corners through the linear part of the matrix.
Box mappedBounds(const Transform& m, double nw, double nh) {
  Box b;
  for (auto [x, y] : {std::pair{nw, 0.0}, std::pair{0.0, nh}, std::pair{nw, nh}}) {
    const double X = m.a * x + m.c * y, Y = m.b * x + m.d * y;
    b.minX = std::min(b.minX, X);
    b.maxX = std::max(b.maxX, X);
    b.minY = std::min(b.minY, Y);
    b.maxY = std::max(b.maxY, Y);
  }
  return b;
}

// Calls sample(k, sx, sy) for each pixel k of the outW x outH picture that
// covers the bounding box of the natural frame mapped through `m`
// (translation ignored), with (sx, sy) its centre taken back into the stored
// frame of sw x sh, the natural frame scaled. Pixels the frame does not
// cover, and every pixel of a singular matrix, are left alone.
template <class Sample>
void forEachMapped(const Transform& m, double nw, double nh, int64_t sw, int64_t sh, int64_t outW,
                   int64_t outH, Sample&& sample) {
  const double det = m.a * m.d - m.b * m.c;
  if (det == 0 || !std::isfinite(det)) return;
  const Box box = mappedBounds(m, nw, nh);
  const double kx = (box.maxX - box.minX) / static_cast<double>(outW);
  const double ky = (box.maxY - box.minY) / static_cast<double>(outH);
  const double w = static_cast<double>(sw), h = static_cast<double>(sh);
  const double toSx = w / nw, toSy = h / nh;
  for (int64_t Y = 0; Y < outH; ++Y) {
    const double py = box.minY + (static_cast<double>(Y) + 0.5) * ky;
    for (int64_t X = 0; X < outW; ++X) {
      const double px = box.minX + (static_cast<double>(X) + 0.5) * kx;
      const double sx = (m.d * px - m.c * py) / det * toSx - 0.5;
      const double sy = (m.a * py - m.b * px) / det * toSy - 0.5;
      if (sx >= -0.5 && sx <= w - 0.5 && sy >= -0.5 && sy <= h - 0.5) sample(Y * outW + X, sx, sy);
    }
  }
}

// The four neighbours and weights of a bilinear lookup at (sx, sy), a point
// known to lie within half a pixel of the frame: it is clamped onto the pixel
// centres first. Not the tracking core's sampler, which stops a thousandth
// short of the last pixel so that its right and lower neighbours always
// exist: here the last row and column must come out exactly, and a frame may
// be one pixel wide.
struct Taps {
  int64_t ix, iy, jx, jy;
  float fx, fy;
};

Taps taps(int64_t sw, int64_t sh, double sx, double sy) {
  const double cx = std::clamp(sx, 0.0, static_cast<double>(sw - 1));
  const double cy = std::clamp(sy, 0.0, static_cast<double>(sh - 1));
  const int64_t ix = std::min(static_cast<int64_t>(cx), sw - 2 < 0 ? 0 : sw - 2);
  const int64_t iy = std::min(static_cast<int64_t>(cy), sh - 2 < 0 ? 0 : sh - 2);
  return {ix,
          iy,
          std::min(ix + 1, sw - 1),
          std::min(iy + 1, sh - 1),
          static_cast<float>(cx - static_cast<double>(ix)),
          static_cast<float>(cy - static_cast<double>(iy))};
}

// `at(x, y)` gives a sample of the stored frame as a float.
template <class At>
float interpolate(const Taps& t, At&& at) {
  const float top = at(t.ix, t.iy) + (at(t.jx, t.iy) - at(t.ix, t.iy)) * t.fx;
  const float bot = at(t.ix, t.jy) + (at(t.jx, t.jy) - at(t.ix, t.jy)) * t.fx;
  return top + (bot - top) * t.fy;
}

}  // namespace

void resampleGrey(const GreyFrame& stored, double nw, double nh, const Transform& m, float* out,
                  int64_t outW, int64_t outH) {
  std::fill(out, out + outW * outH, 0.0f);
  const float* s = stored.p;
  const int64_t sw = stored.w;
  forEachMapped(m, nw, nh, stored.w, stored.h, outW, outH, [&](int64_t k, double sx, double sy) {
    out[k] = interpolate(taps(stored.w, stored.h, sx, sy),
                         [&](int64_t x, int64_t y) { return s[y * sw + x]; });
  });
}

void resampleBgr(const uint8_t* stored, int64_t stride, int64_t sw, int64_t sh, double nw,
                 double nh, const Transform& m, uint8_t* out, int64_t outW, int64_t outH) {
  std::fill(out, out + outW * outH * 3, uint8_t{0});
  forEachMapped(m, nw, nh, sw, sh, outW, outH, [&](int64_t k, double sx, double sy) {
    const Taps t = taps(sw, sh, sx, sy);
    for (int c = 0; c < 3; ++c) {
      const float v = interpolate(t, [&](int64_t x, int64_t y) {
        return static_cast<float>(stored[y * stride + 3 * x + c]);
      });
      out[3 * k + c] = static_cast<uint8_t>(std::lround(std::clamp(v, 0.0f, 255.0f)));
    }
  });
}

}  // namespace video
