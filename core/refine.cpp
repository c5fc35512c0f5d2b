#include <cmath>
#include <vector>

#include "core/candidates.hpp"
#include "core/tracking_core.hpp"

namespace core {

Found refine(const Img& image, const Tpl& tpl, double x, double y, double scale, int64_t r,
             double angle) {
  const double c = scale * std::cos(angle);
  const double s = scale * std::sin(angle);
  const int64_t side = 2 * r + 1;
  std::vector<detail::Grid> grids;
  grids.reserve(static_cast<size_t>(side * side));
  for (int64_t dy = -r; dy <= r; ++dy) {
    for (int64_t dx = -r; dx <= r; ++dx) {
      grids.push_back({x + static_cast<double>(dx), y + static_cast<double>(dy), c, s});
    }
  }
  std::vector<float> grid(grids.size());
  detail::scoreCandidates(image, tpl, grids.data(), static_cast<int64_t>(grids.size()),
                          grid.data());
  float best = -2;
  int64_t bx = 0, by = 0;
  for (int64_t dy = -r; dy <= r; ++dy) {
    for (int64_t dx = -r; dx <= r; ++dx) {
      const float score = grid[(dy + r) * side + (dx + r)];
      if (score > best) best = score, bx = dx, by = dy;
    }
  }
  auto at = [&](int64_t dx, int64_t dy) { return grid[(dy + r) * side + (dx + r)]; };
  double offx = 0, offy = 0;
  if (-r < bx && bx < r) offx = peak(at(bx - 1, by), best, at(bx + 1, by));
  if (-r < by && by < r) offy = peak(at(bx, by - 1), best, at(bx, by + 1));
  Found f;
  f.x = (x + static_cast<double>(bx)) + offx;
  f.y = (y + static_cast<double>(by)) + offy;
  f.score = best;
  return f;
}

}  // namespace core
