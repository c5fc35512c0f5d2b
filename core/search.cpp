#include <algorithm>
#include <vector>

#include "core/numeric.hpp"
#include "core/tracking_core.hpp"

namespace core {

double peak(float a, float b, float c) {
  const float d = (a - (b + b)) + c;
  if (!(d < 0)) return 0;  // opens upward, flat, or NaN: no vertex to trust
  const float o = ((a - c) * 0.5f) / d;
  return std::max(std::min(static_cast<double>(o), 1.0), -1.0);
}

Found search(const Img& image, const Tpl& tpl, double x, double y, int64_t r) {
  const double halfW = static_cast<double>(tpl.w) / 2;
  const double halfH = static_cast<double>(tpl.h) / 2;
  const int64_t x0 = detail::roundToInt((x - halfW) + 0.5);
  const int64_t y0 = detail::roundToInt((y - halfH) + 0.5);
  const int64_t side = 2 * r + 1;
  std::vector<float> grid(static_cast<size_t>(side * side), -2.0f);
  float best = -2;
  int64_t bx = 0, by = 0;
  for (int64_t dy = -r; dy <= r; ++dy) {
    for (int64_t dx = -r; dx <= r; ++dx) {
      const float s = ncc(image, tpl, x0 + dx, y0 + dy);
      grid[(dy + r) * side + (dx + r)] = s;
      if (s > best) best = s, bx = dx, by = dy;
    }
  }
  // A neighbour is usable when it lies inside the grid and holds a real score.
  auto at = [&](int64_t dx, int64_t dy, float& out) {
    if (dx + r < 0 || dx + r > 2 * r || dy + r < 0 || dy + r > 2 * r) return false;
    out = grid[(dy + r) * side + (dx + r)];
    return out > -2.0f;
  };
  float l, m, n;
  double offx = 0, offy = 0;
  if (at(bx - 1, by, l) && at(bx, by, m) && at(bx + 1, by, n)) offx = peak(l, m, n);
  if (at(bx, by - 1, l) && at(bx, by, m) && at(bx, by + 1, n)) offy = peak(l, m, n);
  offx = std::max(std::min(offx, 0.5), -0.5);
  offy = std::max(std::min(offy, 0.5), -0.5);
  Found f;
  f.x = ((halfW + static_cast<double>(x0 + bx)) - 0.5) + offx;
  f.y = ((halfH + static_cast<double>(y0 + by)) - 0.5) + offy;
  f.score = best;
  return f;
}

}  // namespace core
