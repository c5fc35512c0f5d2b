#include <cmath>
#include <utility>

#include "core/kernels.hpp"
#include "core/tracking_core.hpp"

namespace core {

Tpl centred(int64_t w, int64_t h, std::vector<float> raw) {
  Tpl t;
  t.w = w;
  t.h = h;
  const size_t n = raw.size();
  float sum = 0;
  for (size_t i = 0; i < n; ++i) sum += raw[i];
  t.mean = sum / static_cast<float>(n);
  float ss = 0;
  for (size_t i = 0; i < n; ++i) {
    raw[i] -= t.mean;
    ss += raw[i] * raw[i];
  }
  t.norm = std::sqrt(ss);
  if (t.norm <= 0.001f) t.norm = 0.001f;
  t.p = std::move(raw);
  return t;
}

Tpl templ(const Img& image, double x, double y, int64_t tw, int64_t th) {
  const detail::Kernels& k = detail::kernels();
  const detail::Plane plane{image.p.data(), image.w, image.h};
  const double xs = x - static_cast<double>(tw) / 2;
  const double ys = y - static_cast<double>(th) / 2;
  std::vector<float> q(static_cast<size_t>(tw * th));
  for (int64_t j = 0; j < th; ++j) {
    k.sampleCutRow(plane, xs, (ys + static_cast<double>(j)) + 0.5, tw, q.data() + j * tw);
  }
  return centred(tw, th, std::move(q));
}

Tpl patch(const Img& image, double x, double y, int64_t tw, int64_t th, double scale,
          double angle) {
  const detail::Kernels& k = detail::kernels();
  const detail::Plane plane{image.p.data(), image.w, image.h};
  const double c = scale * std::cos(angle);
  const double s = scale * std::sin(angle);
  const std::vector<double> u = detail::columnOffsets(tw);
  const double halfH = static_cast<double>(th) / 2;
  std::vector<float> q(static_cast<size_t>(tw * th));
  for (int64_t j = 0; j < th; ++j) {
    const double v = (static_cast<double>(j) + 0.5) - halfH;
    k.samplePatchRow(plane, x, y, c, s, v, u.data(), tw, q.data() + j * tw);
  }
  return centred(tw, th, std::move(q));
}

}  // namespace core
