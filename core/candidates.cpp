#include "core/candidates.hpp"

#include <algorithm>
#include <vector>

#include "core/kernels.hpp"

namespace core::detail {
namespace {

// Candidates scored together: two blocks of eight vector lanes, enough for
// refinement's nine shifts in one pass.
constexpr int64_t kLanes = 16;

}  // namespace

void scoreCandidates(const Img& image, const Tpl& ref, const Grid* grids, int64_t count,
                     float* scores) {
  const Kernels& k = kernels();
  const Plane plane{image.p.data(), image.w, image.h};
  const int64_t n = ref.w * ref.h;
  const double halfW = static_cast<double>(ref.w) / 2;
  const double halfH = static_cast<double>(ref.h) / 2;
  // Samples interleaved by candidate (lane), so that each lane's running sums
  // read one contiguous vector per sample index. Lanes without a candidate
  // stay zero and their scores are dropped.
  std::vector<float> q;
  float laneScores[kLanes];
  for (int64_t first = 0; first < count; first += kLanes) {
    const int64_t inBatch = std::min(kLanes, count - first);
    const int64_t blocks = (inBatch + 7) / 8;
    const int64_t stride = 8 * blocks;
    q.assign(static_cast<size_t>(n * stride), 0.0f);
    for (int64_t lane = 0; lane < inBatch; ++lane) {
      const Grid& g = grids[first + lane];
      for (int64_t j = 0; j < ref.h; ++j) {
        const double v = (static_cast<double>(j) + 0.5) - halfH;
        k.samplePatchRow(plane, g.x, g.y, g.c, g.s, v, ref.w, halfW,
                         q.data() + j * ref.w * stride + lane, stride);
      }
    }
    k.centreAndCorrelate(q.data(), n, blocks, ref.p.data(), ref.norm, laneScores);
    std::copy(laneScores, laneScores + inBatch, scores + first);
  }
}

}  // namespace core::detail
