#include "core/candidates.hpp"

#include <algorithm>
#include <memory>
#include <vector>

#include "core/kernels.hpp"

namespace core::detail {
void scoreCandidates(const Img& image, const Tpl& ref, const Grid* grids, int64_t count,
                     float* scores) {
  const Kernels& k = kernels();
  const Plane plane{image.p.data(), image.w, image.h};
  const int64_t n = ref.w * ref.h;
  const double halfH = static_cast<double>(ref.h) / 2;
  const std::vector<double> u = columnOffsets(ref.w);
  const int64_t batch = std::min(count, kMaxCandidates);
  // Every element is written before it is read: no zero-filling.
  const auto samples = std::make_unique_for_overwrite<float[]>(static_cast<size_t>(n * batch));
  const auto scratch =
      std::make_unique_for_overwrite<float[]>(static_cast<size_t>(n * kMaxCandidates));
  const float* cands[kMaxCandidates];
  for (int64_t first = 0; first < count; first += kMaxCandidates) {
    const int64_t inBatch = std::min(kMaxCandidates, count - first);
    for (int64_t lane = 0; lane < inBatch; ++lane) {
      const Grid& g = grids[first + lane];
      float* q = samples.get() + lane * n;
      for (int64_t j = 0; j < ref.h; ++j) {
        const double v = (static_cast<double>(j) + 0.5) - halfH;
        k.samplePatchRow(plane, g.x, g.y, g.c, g.s, v, u.data(), ref.w, q + j * ref.w);
      }
      cands[lane] = q;
    }
    k.centreAndCorrelate(cands, inBatch, n, ref.p.data(), ref.norm, scratch.get(), scores + first);
  }
}

}  // namespace core::detail
