#include "core/bilinear.hpp"
#include "core/kernels.hpp"
#include "core/tracking_core.hpp"

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
  detail::kernels().halfRows(image.p.data(), image.w, out.p.data(), out.w, out.h);
  return out;
}

std::vector<Img> pyramid(Img image, int64_t levels) {
  std::vector<Img> levelsOut;
  levelsOut.reserve(static_cast<size_t>(levels > 0 ? levels : 1));
  levelsOut.push_back(std::move(image));
  for (int64_t k = 1; k < levels; ++k) levelsOut.push_back(half(levelsOut.back()));
  return levelsOut;
}

}  // namespace core
