#include <algorithm>
#include <vector>

#include "core/kernels.hpp"
#include "core/numeric.hpp"
#include "core/tracking_core.hpp"

namespace core {

double peak(float a, float b, float c) {
  const float d = (a - (b + b)) + c;
  if (!(d < 0)) return 0;  // opens upward, flat, or NaN: no vertex to trust
  const float o = ((a - c) * 0.5f) / d;
  return std::max(std::min(static_cast<double>(o), 1.0), -1.0);
}

namespace {

// Fills the score grid of a search: -1 for placements that leave the image,
// and every other placement scored in groups of eight neighbours along a row.
void scoreGrid(const Img& image, const Tpl& tpl, int64_t x0, int64_t y0, int64_t r,
               std::vector<float>& grid) {
  const int64_t side = 2 * r + 1;
  const int64_t maxLeft = image.w - tpl.w;
  const int64_t maxTop = image.h - tpl.h;
  std::fill(grid.begin(), grid.end(), -1.0f);
  if (maxLeft < 0 || maxTop < 0) return;
  const int64_t lo = std::max(x0 - r, int64_t{0});
  const int64_t hi = std::min(x0 + r, maxLeft);
  if (lo > hi) return;
  const int64_t topLo = std::max(y0 - r, int64_t{0});
  const int64_t topHi = std::min(y0 + r, maxTop);
  if (maxLeft + 1 < 8) {  // too narrow for a group of eight: one at a time
    for (int64_t top = topLo; top <= topHi; ++top) {
      for (int64_t left = lo; left <= hi; ++left) {
        grid[(top - y0 + r) * side + (left - x0 + r)] = ncc(image, tpl, left, top);
      }
    }
    return;
  }
  // A group may reach past the searched range (never past the image) so
  // that every group is full; the extra scores are dropped.
  std::vector<const float*> starts;
  std::vector<int64_t> groupLeft, groupTop;
  for (int64_t top = topLo; top <= topHi; ++top) {
    for (int64_t left = lo; left <= hi; left += 8) {
      const int64_t first = std::min(left, maxLeft - 7);
      starts.push_back(image.p.data() + top * image.w + first);
      groupLeft.push_back(first);
      groupTop.push_back(top);
    }
  }
  const int64_t groups = static_cast<int64_t>(starts.size());
  std::vector<float> scores(static_cast<size_t>(groups * 8));
  detail::kernels().nccGroups(starts.data(), groups, image.w, tpl.p.data(), tpl.w, tpl.h, tpl.norm,
                              scores.data());
  for (int64_t g = 0; g < groups; ++g) {
    float* row = grid.data() + (groupTop[g] - y0 + r) * side;
    for (int64_t l = 0; l < 8; ++l) {
      const int64_t left = groupLeft[g] + l;
      if (left >= lo && left <= hi) row[left - x0 + r] = scores[g * 8 + l];
    }
  }
}

}  // namespace

Found search(const Img& image, const Tpl& tpl, double x, double y, int64_t r) {
  const double halfW = static_cast<double>(tpl.w) / 2;
  const double halfH = static_cast<double>(tpl.h) / 2;
  const int64_t x0 = roundToInt((x - halfW) + 0.5);
  const int64_t y0 = roundToInt((y - halfH) + 0.5);
  const int64_t side = 2 * r + 1;
  std::vector<float> grid(static_cast<size_t>(side * side));
  scoreGrid(image, tpl, x0, y0, r, grid);
  float best = -2;
  int64_t bx = 0, by = 0;
  for (int64_t dy = -r; dy <= r; ++dy) {
    for (int64_t dx = -r; dx <= r; ++dx) {
      const float s = grid[(dy + r) * side + (dx + r)];
      if (s > best) best = s, bx = dx, by = dy;
    }
  }
  // A neighbour is usable when it lies inside the grid and holds a real score
  // (a NaN from a degenerate template does not).
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
