// The core's inner loops, in a form that evaluates several windows or sample
// points at once. Every lane computes exactly the scalar formula of its own
// window or point, with its own running sums in index order, so the results
// are the same bits as one-at-a-time evaluation; only the throughput differs.
//
// The same source (kernels.inc) is compiled twice, for baseline x86-64 and
// for AVX2; `kernels()` picks one at run time. The kernels take raw pointers
// only, so no inline library function is ever emitted with AVX2 code.
#pragma once

#include <cstdint>

namespace core::detail {

// A view of an image: what the kernels need of an Img.
struct Plane {
  const float* p;
  int64_t w;
  int64_t h;
};

// Where the scalar path must take over: the vector sampler keeps pixel
// coordinates in 32-bit lanes.
inline constexpr int64_t kMaxVectorSide = int64_t{1} << 30;

struct Kernels {
  // ncc of `groups` groups of 8 horizontally adjacent windows. starts[g] is
  // the image sample under the first template sample of the group's first
  // window; every window of every group lies wholly inside the image. The
  // 8 scores of group g go to out[8g .. 8g + 7].
  void (*nccGroups)(const float* const* starts, int64_t groups, int64_t stride,
                    const float* tpl, int64_t tw, int64_t th, float norm, float* out);

  // One template row of a scaled and turned grid: for i in [0, tw),
  // u = (i + 0.5) - halfW, sample at ((x + c*u) - s*v, c*v + (y + s*u)),
  // written to out[i * outStride].
  void (*samplePatchRow)(Plane image, double x, double y, double c, double s, double v,
                         int64_t tw, double halfW, float* out, int64_t outStride);

  // One row of an axis-aligned cut: sample at ((xs + i) + 0.5, sy), i in [0, tw).
  void (*sampleCutRow)(Plane image, double xs, double sy, int64_t tw, float* out);

  // Centres `blocks` x 8 interleaved candidates (q[i * 8 * blocks + k] is
  // sample i of candidate k, n samples each) and correlates each with the
  // reference samples ref[0 .. n): scores[k] as corr(reference, candidate k).
  void (*centreAndCorrelate)(const float* q, int64_t n, int64_t blocks, const float* ref,
                             float refNorm, float* scores);
};

const Kernels& kernels();

// Lets the tests run both variants on one machine. Returns false (and changes
// nothing) when the processor lacks the instructions of the set asked for.
enum class KernelSet { kBaseline, kAvx2 };
bool selectKernels(KernelSet set);

}  // namespace core::detail
