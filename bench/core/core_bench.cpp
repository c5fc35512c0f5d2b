// Micro-benchmarks of the tracking core at the sizes of a 1080p frame with a
// 100 x 100 region, each optimised routine next to its plain scalar twin so
// that the speed-up is a ratio measured in the same run:
//   build/bench/core/core_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <utility>

#include "core/tracking_core.hpp"
#include "naive/naive_core.hpp"

namespace {

using core::Img;
using core::Tpl;

constexpr int64_t kW = 1920, kH = 1080;
constexpr double kCx = 960.3, kCy = 540.6;  // region centre, level 0
constexpr int64_t kBox = 100;

// Smooth texture with detail at several scales, like a real frame: the
// content does not change the work, but it keeps the scores realistic.
const Img& frame() {
  static const Img img = [] {
    Img f{kW, kH, std::vector<float>(static_cast<size_t>(kW * kH))};
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> noise(-8.0f, 8.0f);
    for (int64_t y = 0; y < kH; ++y) {
      for (int64_t x = 0; x < kW; ++x) {
        const double v = 128 + 60 * std::sin(x * 0.031) * std::cos(y * 0.027) +
                         30 * std::sin((x + 2 * y) * 0.11);
        f.p[y * kW + x] = static_cast<float>(v) + noise(rng);
      }
    }
    return f;
  }();
  return img;
}

const std::vector<Img>& levels() {
  static const std::vector<Img> pyr = core::pyramid(frame(), 4);
  return pyr;
}

// The same calls under either implementation, as a type that the
// benchmarks below take as their template argument.
#define IMPLEMENTATION(Name, ns)                                                                   \
  struct Name {                                                                                    \
    static Img half(const Img& i) { return ns::half(i); }                                          \
    static Tpl templ(const Img& i, double x, double y, int64_t w, int64_t h) {                     \
      return ns::templ(i, x, y, w, h);                                                             \
    }                                                                                              \
    static Tpl patch(const Img& i, double x, double y, int64_t w, int64_t h, double s, double a) { \
      return ns::patch(i, x, y, w, h, s, a);                                                       \
    }                                                                                              \
    static float corr(const Tpl& a, const Tpl& b) { return ns::corr(a, b); }                       \
    static core::Found search(const Img& i, const Tpl& t, double x, double y, int64_t r) {         \
      return ns::search(i, t, x, y, r);                                                            \
    }                                                                                              \
    static core::Change bestScale(const Img& i, const Tpl& t, double x, double y, double s,        \
                                  double a) {                                                      \
      return ns::bestScale(i, t, x, y, s, a);                                                      \
    }                                                                                              \
    static core::Change bestRot(const Img& i, const Tpl& t, double x, double y, double s,          \
                                double a) {                                                        \
      return ns::bestRot(i, t, x, y, s, a);                                                        \
    }                                                                                              \
    static core::Found refine(const Img& i, const Tpl& t, double x, double y, double s, int64_t r, \
                              double a) {                                                          \
      return ns::refine(i, t, x, y, s, r, a);                                                      \
    }                                                                                              \
  }

IMPLEMENTATION(Core, core);
IMPLEMENTATION(Naive, naive);

// A new frame per iteration, as the tracker gets one, copied outside the
// timing and moved in; then the three halvings.
template <class Impl>
std::vector<Img> freshPyramid(benchmark::State& state) {
  state.PauseTiming();
  Img f = frame();
  state.ResumeTiming();
  std::vector<Img> pyr;
  pyr.push_back(std::move(f));
  for (int k = 1; k < 4; ++k) pyr.push_back(Impl::half(pyr.back()));
  return pyr;
}

template <class Impl>
void Pyramid(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(freshPyramid<Impl>(state));
}

// Level 3: radius 24 with the 12 x 12 template of a 100 x 100 box.
template <class Impl>
void SearchCoarse(benchmark::State& state) {
  const Img& img = levels()[3];
  const Tpl tpl = core::templ(img, kCx / 8, kCy / 8, 12, 12);
  for (auto _ : state) {
    benchmark::DoNotOptimize(Impl::search(img, tpl, kCx / 8 + 2.3, kCy / 8 - 1.6, 24));
  }
}

// Level 0: radius 3 with the full 100 x 100 template.
template <class Impl>
void SearchFine(benchmark::State& state) {
  const Img& img = levels()[0];
  const Tpl tpl = core::templ(img, kCx, kCy, kBox, kBox);
  for (auto _ : state) benchmark::DoNotOptimize(Impl::search(img, tpl, kCx + 1.2, kCy - 0.7, 3));
}

// Candidates of the largest size the tracker resamples: 80 x 80.
template <class Impl>
void BestScale(benchmark::State& state) {
  const Img& img = levels()[0];
  const Tpl ref = core::patch(img, kCx, kCy, 80, 80, 1.01, 0.01);
  for (auto _ : state) benchmark::DoNotOptimize(Impl::bestScale(img, ref, kCx, kCy, 1.0, 0.0));
}

template <class Impl>
void BestRot(benchmark::State& state) {
  const Img& img = levels()[0];
  const Tpl ref = core::patch(img, kCx, kCy, 80, 80, 1.01, 0.01);
  for (auto _ : state) benchmark::DoNotOptimize(Impl::bestRot(img, ref, kCx, kCy, 1.0, 0.0));
}

template <class Impl>
void Refine(benchmark::State& state) {
  const Img& img = levels()[0];
  const Tpl ref = core::patch(img, kCx + 0.3, kCy, 80, 80, 1.01, 0.01);
  for (auto _ : state) benchmark::DoNotOptimize(Impl::refine(img, ref, kCx, kCy, 1.0, 1, 0.0));
}

// Everything the tracking loop asks of the core for one frame with a
// 100 x 100 box (worked out at level 1, its larger side being over 80),
// the refinement accepted so that scale and rotation run twice.
template <class Impl>
void Frame(benchmark::State& state) {
  const std::vector<Img>& first = levels();
  std::vector<Tpl> ref;
  const int64_t sides[4] = {100, 50, 25, 12};
  for (int l = 0; l < 4; ++l) {
    const double f = std::ldexp(1.0, l);
    ref.push_back(core::templ(first[l], kCx / f, kCy / f, sides[l], sides[l]));
  }
  const Img prevBase = first[1];
  for (auto _ : state) {
    const std::vector<Img> pyr = freshPyramid<Impl>(state);
    double px = kCx + 3.1, py = kCy - 2.2;
    for (int l = 3; l >= 1; --l) {
      const double s = std::ldexp(1.0, l);
      const core::Found found = Impl::search(pyr[l], ref[l], px / s, py / s, l == 3 ? 24 : 3);
      px = found.x * s;
      py = found.y * s;
    }
    const double bx = px / 2, by = py / 2;
    const Tpl prev = Impl::patch(prevBase, kCx / 2, kCy / 2, 50, 50, 1.0, 0.0);
    const double scale = Impl::bestScale(pyr[1], prev, bx, by, 1.0, 0.0).value;
    const double angle = Impl::bestRot(pyr[1], prev, bx, by, scale, 0.0).value;
    const Tpl view = Impl::patch(pyr[1], bx, by, 50, 50, scale, angle);
    benchmark::DoNotOptimize(Impl::corr(ref[1], view));
    const core::Found r = Impl::refine(pyr[1], ref[1], bx, by, scale, 1, angle);
    const double scale2 = scale * Impl::bestScale(pyr[1], ref[1], r.x, r.y, scale, angle).value;
    benchmark::DoNotOptimize(Impl::bestRot(pyr[1], ref[1], r.x, r.y, scale2, angle));
    for (int l = 0; l < 4; ++l) {
      const double s = std::ldexp(1.0, l);
      benchmark::DoNotOptimize(Impl::templ(pyr[l], r.x * 2 / s, r.y * 2 / s, sides[l], sides[l]));
    }
  }
}

#define CORE_BENCH(name)                                                          \
  BENCHMARK(name<Core>)->Name(#name "/optimised")->Unit(benchmark::kMicrosecond); \
  BENCHMARK(name<Naive>)->Name(#name "/naive")->Unit(benchmark::kMicrosecond)

CORE_BENCH(Pyramid);
CORE_BENCH(SearchCoarse);
CORE_BENCH(SearchFine);
CORE_BENCH(BestScale);
CORE_BENCH(BestRot);
CORE_BENCH(Refine);
CORE_BENCH(Frame);

}  // namespace

BENCHMARK_MAIN();
