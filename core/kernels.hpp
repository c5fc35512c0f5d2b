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
#include <vector>

namespace core::detail {

// A view of an image: what the kernels need of an Img.
struct Plane {
  const float* p;
  int64_t w;
  int64_t h;
};

// Where the scalar path must take over: the vector sampler keeps pixel
// indices in 32-bit lanes.
inline constexpr int64_t kMaxVectorPixels = int64_t{1} << 30;

// Candidates centred and correlated in one call: two blocks of eight lanes.
inline constexpr int64_t kMaxCandidates = 16;

struct Kernels {
  // ncc of `groups` groups of 8 horizontally adjacent windows. starts[g] is
  // the image sample under the first template sample of the group's first
  // window; every window of every group lies wholly inside the image. The
  // 8 scores of group g go to out[8g .. 8g + 7].
  void (*nccGroups)(const float* const* starts, int64_t groups, int64_t stride, const float* tpl,
                    int64_t tw, int64_t th, float norm, float* out);

  // One template row of a scaled and turned grid: for i in [0, tw), sample
  // at ((x + c*u[i]) - s*v, c*v + (y + s*u[i])) into out[i]. u[i] is the
  // column offset from the centre, (i + 0.5) - tw/2 (see columnOffsets).
  void (*samplePatchRow)(Plane image, double x, double y, double c, double s, double v,
                         const double* u, int64_t tw, float* out);

  // One row of an axis-aligned cut: sample at ((xs + i) + 0.5, sy), i in [0, tw).
  void (*sampleCutRow)(Plane image, double xs, double sy, int64_t tw, float* out);

  // Centres each of `count` (1 to kMaxCandidates) candidates of n raw samples
  // and correlates it with the reference samples ref[0 .. n): scores[k] is
  // corr(reference, candidate k). scratch holds n * 16 floats.
  void (*centreAndCorrelate)(const float* const* cands, int64_t count, int64_t n, const float* ref,
                             float refNorm, float* scratch, float* scores);

  // `rows` output rows of `cols` samples of a halving: dst[y * dstStride + x]
  // is the mean of the 2 x 2 block at src[2y * srcStride + 2x], added row by row.
  void (*halfRows)(const float* src, int64_t srcStride, float* dst, int64_t dstStride, int64_t cols,
                   int64_t rows);
};

const Kernels& kernels();

// The offsets (i + 0.5) - tw/2 of a grid's columns from its centre, worked
// out once per grid instead of once per row.
std::vector<double> columnOffsets(int64_t tw);

// Lets the tests run both variants on one machine. Returns false (and changes
// nothing) when the processor lacks the instructions of the set asked for.
enum class KernelSet { kBaseline, kAvx2 };
bool selectKernels(KernelSet set);

}  // namespace core::detail
