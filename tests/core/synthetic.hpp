// A synthetic image with detail at many places and sizes for the core tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/tracking_core.hpp"

namespace synthetic {

// A smooth, non-periodic texture: soft blobs of random size, place and
// contrast, so that every window is unlike its neighbours. Blob sizes keep
// most detail well above the pixel, as in a real scene seen through a lens.
struct Blob {
  double x, y, radius, amplitude;
};

inline const std::vector<Blob>& blobs() {
  static const std::vector<Blob> list = [] {
    std::vector<Blob> out;
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&state] {  // a fixed generator: the same texture everywhere
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      return static_cast<double>(state >> 11) / 9007199254740992.0;
    };
    for (int k = 0; k < 900; ++k) {
      out.push_back(
          {-100 + 700 * next(), -100 + 600 * next(), 3 + 9 * next(), (next() - 0.5) * 160});
    }
    return out;
  }();
  return list;
}

inline double texture(double x, double y) {
  double v = 128;
  for (const Blob& b : blobs()) {
    const double dx = x - b.x, dy = y - b.y, reach = 3 * b.radius;
    if (dx > reach || dx < -reach || dy > reach || dy < -reach) continue;
    v += b.amplitude * std::exp(-(dx * dx + dy * dy) / (2 * b.radius * b.radius));
  }
  return v;
}

// w x h pixels of the texture.
inline core::Img still(int64_t w, int64_t h) {
  core::Img img{w, h, std::vector<float>(static_cast<size_t>(w * h))};
  for (int64_t j = 0; j < h; ++j) {
    for (int64_t i = 0; i < w; ++i) img.p[j * w + i] = static_cast<float>(texture(i, j));
  }
  return img;
}

}  // namespace synthetic
