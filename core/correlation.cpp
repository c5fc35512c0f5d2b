#include <cmath>

#include "core/flatness.hpp"
#include "core/tracking_core.hpp"

namespace core {

float ncc(const Img& image, const Tpl& tpl, int64_t left, int64_t top) {
  if (left < 0 || top < 0) return -1;
  if (left + tpl.w > image.w || top + tpl.h > image.h) return -1;
  const float* first = image.p.data() + top * image.w + left;
  float sxy = 0, sx = 0, sxx = 0;
  for (int64_t j = 0; j < tpl.h; ++j) {
    const float* row = first + j * image.w;
    const float* t = tpl.p.data() + j * tpl.w;
    for (int64_t i = 0; i < tpl.w; ++i) {
      const float v = row[i];
      sxx += v * v;
      sx += v;
      sxy += v * t[i];
    }
  }
  const float n = static_cast<float>(tpl.w * tpl.h);
  const float var = sxx - (sx * sx) / n;
  if (var <= detail::kFlatVar) return -1;
  if (var <= detail::windowSuspect(sxx, detail::windowSlack(n)) &&
      detail::flatWindow(first, image.w, tpl.w, tpl.h)) {
    return -1;
  }
  return detail::bounded(sxy / (std::sqrt(var) * tpl.norm));
}

float corr(const Tpl& a, const Tpl& b) {
  float dot = 0;
  const size_t n = a.p.size();
  for (size_t i = 0; i < n; ++i) dot += a.p[i] * b.p[i];
  return detail::bounded(dot / (a.norm * b.norm));
}

}  // namespace core
