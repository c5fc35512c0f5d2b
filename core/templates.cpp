#include <cmath>
#include <utility>

#include "core/flatness.hpp"
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
  const float count = static_cast<float>(n);
  t.mean = sum / count;
  float ss = 0;
  for (size_t i = 0; i < n; ++i) {
    const float d = raw[i] - t.mean;
    ss += d * d;
  }
  t.norm = std::sqrt(ss);
  // A flat template's residues are the rounding of its mean, not contrast.
  const bool flat = n > 0 &&
                    t.norm <= detail::templateSuspect(t.mean, detail::templateSlack(count)) &&
                    detail::flatSamples(raw.data(), static_cast<int64_t>(n));
  for (size_t i = 0; i < n; ++i) raw[i] = flat ? 0.0f : raw[i] - t.mean;
  if (flat || t.norm <= detail::kNormFloor) t.norm = detail::kNormFloor;
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
