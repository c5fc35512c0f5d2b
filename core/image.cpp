#include "core/bilinear.hpp"
#include "core/kernels.hpp"
#include "core/tracking_core.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace core {

float sample(const Img& image, double x, double y) {
  return detail::bilinear({image.p.data(), image.w, image.h}, x, y);
}

Img half(const Img& image) {
  Img out;
  out.w = image.w / 2;
  out.h = image.h / 2;
  out.p.assign(static_cast<size_t>(out.w * out.h), 0.0f);
  if (image.w < 2 || image.h < 2) return out;
  detail::kernels().halfRows(image.p.data(), image.w, out.p.data(), out.w, out.w, out.h);
  return out;
}

Region pyramidRegion(Region wanted, int64_t levels, int64_t w, int64_t h) {
  const int64_t step = int64_t{1} << (levels > 1 ? levels - 1 : 0);
  const auto down = [step](int64_t v) { return v / step * step; };
  const auto up = [step](int64_t v, int64_t edge) {
    return v >= edge ? edge : std::min((v + step - 1) / step * step, edge);
  };
  Region r{std::clamp<int64_t>(wanted.x0, 0, w), std::clamp<int64_t>(wanted.y0, 0, h),
           std::clamp<int64_t>(wanted.x1, 0, w), std::clamp<int64_t>(wanted.y1, 0, h)};
  if (r.x0 >= r.x1 || r.y0 >= r.y1) return {};
  return {down(r.x0), down(r.y0), up(r.x1, w), up(r.y1, h)};
}

void pyramidInside(std::vector<Img>& levels, Region region) {
  for (size_t k = 1; k < levels.size(); ++k) {
    const Img& fine = levels[k - 1];
    Img& coarse = levels[k];
    if (coarse.w != fine.w / 2 || coarse.h != fine.h / 2) {
      coarse.w = fine.w / 2;
      coarse.h = fine.h / 2;
      coarse.p.resize(static_cast<size_t>(coarse.w * coarse.h));
    }
    // Sides that are whole samples at the finer level, halved; at an odd
    // edge the last sample is dropped as `half` drops it.
    const int64_t x0 = region.x0 >> k, y0 = region.y0 >> k;
    const int64_t x1 = std::min((region.x1 + (int64_t{1} << k) - 1) >> k, coarse.w);
    const int64_t y1 = std::min((region.y1 + (int64_t{1} << k) - 1) >> k, coarse.h);
    if (x0 < x1 && y0 < y1) {
      detail::kernels().halfRows(fine.p.data() + 2 * y0 * fine.w + 2 * x0, fine.w,
                                 coarse.p.data() + y0 * coarse.w + x0, coarse.w, x1 - x0, y1 - y0);
    }
  }
}

std::vector<Img> pyramid(Img image, int64_t levels) {
  std::vector<Img> out(static_cast<size_t>(levels > 0 ? levels : 1));
  const Region whole{0, 0, image.w, image.h};
  out[0] = std::move(image);
  pyramidInside(out, whole);
  return out;
}

}  // namespace core
