// The optimised core against its plain scalar twins, bit for bit, on random
// inputs, for every kernel variant this processor can run. Any change in the
// order of a running sum, a fused multiply-add or a different rounding shows up
// here as a mismatch in the last bit.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>
#include <string>

#include "core/kernels.hpp"
#include "core/tracking_core.hpp"
#include "naive/naive_core.hpp"

namespace {

using core::Img;
using core::Tpl;
using core::detail::KernelSet;
using core::detail::selectKernels;

// Values with a wide spread of magnitudes and fractions, so that any change
// in the order of additions changes some low bits.
Img randomImage(std::mt19937& rng, int64_t w, int64_t h) {
  std::uniform_real_distribution<float> value(0.0f, 255.0f);
  std::uniform_int_distribution<int> flat(0, 9);
  Img img{w, h, std::vector<float>(static_cast<size_t>(w * h))};
  for (auto& v : img.p) v = value(rng) * (flat(rng) == 0 ? 0.001f : 1.0f);
  return img;
}

// Random values with large rectangles painted over them, each of one value
// (whole or not), or of speckle one grey level or a hundredth of one around
// a value: flat windows and templates, and contrast within the rounding of
// the sums, where the kernels must judge flatness as the scalar code does.
Img patchwork(std::mt19937& rng, int64_t w, int64_t h) {
  Img img = randomImage(rng, w, h);
  std::uniform_int_distribution<int64_t> left(0, w / 2), right(w / 2, w - 1);
  std::uniform_int_distribution<int64_t> top(0, h / 2), bottom(h / 2, h - 1);
  std::uniform_real_distribution<float> level(0.0f, 255.0f);
  std::uniform_int_distribution<int> kind(0, 3);
  for (int k = 0; k < 2; ++k) {
    int64_t x0 = left(rng), x1 = right(rng), y0 = top(rng), y1 = bottom(rng);
    if (k == 0 && kind(rng) == 0) x0 = 0, x1 = w - 1, y0 = 0, y1 = h - 1;  // all of it
    const int how = kind(rng);
    const float v = how == 0 ? std::round(level(rng)) : level(rng);
    for (int64_t j = y0; j <= y1; ++j) {
      for (int64_t i = x0; i <= x1; ++i) {
        const float step = how == 2 ? 1.0f : how == 3 ? 0.01f : 0.0f;
        img.p[j * w + i] = v + ((rng() & 1) ? step : -step);
      }
    }
  }
  return img;
}

// The exact bits of results, in a form a failure can show.
std::string bits(std::initializer_list<double> values) {
  std::ostringstream out;
  for (const double v : values) out << std::hexfloat << v << ' ';
  return out.str();
}
std::string bits(const core::Found& f) {
  return bits({f.x, f.y, f.score});
}
std::string bits(const core::Change& c) {
  return bits({c.value, c.score});
}
std::string bits(const Tpl& t) {
  std::string out = bits({static_cast<double>(t.w), static_cast<double>(t.h), t.mean, t.norm});
  for (const float v : t.p) out += bits({v});
  return out;
}
std::string bits(const Img& i) {
  return bits(Tpl{i.w, i.h, i.p, 0, 0});
}

class Twins : public ::testing::TestWithParam<KernelSet> {
 protected:
  void SetUp() override {
    if (!selectKernels(GetParam())) GTEST_SKIP() << "not supported here";
  }
  // Leaves the best variant selected for the other suites.
  void TearDown() override {
    if (!selectKernels(KernelSet::kAvx2)) selectKernels(KernelSet::kBaseline);
  }
  std::mt19937 rng{12345};
};

TEST_P(Twins, TemplatesPatchesAndHalvesSampleIdentically) {
  std::uniform_real_distribution<double> pos(-20.0, 120.0), scale(0.3, 3.0), angle(-3.2, 3.2);
  std::uniform_int_distribution<int64_t> size(0, 37);
  for (int trial = 0; trial < 300; ++trial) {
    const Img img = patchwork(rng, 2 + trial % 97, 2 + trial % 53);
    const double x = pos(rng), y = pos(rng);
    const int64_t tw = size(rng) + 1, th = size(rng) + 1;
    EXPECT_EQ(bits(core::templ(img, x, y, tw, th)), bits(naive::templ(img, x, y, tw, th)));
    const double s = scale(rng), a = angle(rng);
    EXPECT_EQ(bits(core::patch(img, x, y, tw, th, s, a)),
              bits(naive::patch(img, x, y, tw, th, s, a)));
  }
  for (int trial = 0; trial < 20; ++trial) {
    const Img img = randomImage(rng, 1 + trial * 7, 1 + trial * 5);
    EXPECT_EQ(bits(core::half(img)), bits(naive::half(img)));
  }
}

TEST_P(Twins, SearchScoresEveryPlacementIdentically) {
  std::uniform_real_distribution<double> frac(-0.2, 1.2);
  std::uniform_int_distribution<int64_t> size(1, 30), radius(0, 26);
  for (int trial = 0; trial < 200; ++trial) {
    const Img img = patchwork(rng, 5 + trial % 120, 5 + trial % 70);
    const Img source = patchwork(rng, 60, 60);
    const Tpl tpl = naive::templ(source, 30, 30, size(rng), size(rng));
    const double x = frac(rng) * img.w, y = frac(rng) * img.h;
    const int64_t r = radius(rng);
    EXPECT_EQ(bits(core::search(img, tpl, x, y, r)), bits(naive::search(img, tpl, x, y, r)))
        << "trial " << trial;
  }
  // Random images rarely give a clear peak; a template cut from the image
  // itself exercises the parabola fit on both axes.
  for (int trial = 0; trial < 40; ++trial) {
    const Img img = randomImage(rng, 160, 120);
    const Tpl tpl = naive::templ(img, 70.3 + trial * 0.11, 50.7, 24 + trial % 9, 20);
    const double x = 68.0 + trial * 0.13, y = 52.5;
    for (const int64_t r : {24, 3}) {
      EXPECT_EQ(bits(core::search(img, tpl, x, y, r)), bits(naive::search(img, tpl, x, y, r)));
    }
  }
}

TEST_P(Twins, ScaleRotationAndRefinementAgree) {
  std::uniform_real_distribution<double> pos(-10.0, 90.0), scale(0.5, 2.0), angle(-1.0, 1.0);
  std::uniform_int_distribution<int64_t> size(2, 40), radius(0, 3);
  for (int trial = 0; trial < 150; ++trial) {
    const Img img = patchwork(rng, 80 + trial % 13, 70 + trial % 7);
    const Tpl ref =
        naive::patch(img, pos(rng), pos(rng), size(rng), size(rng), scale(rng), angle(rng));
    const double x = pos(rng), y = pos(rng), s = scale(rng), a = angle(rng);
    EXPECT_EQ(bits(core::bestScale(img, ref, x, y, s, a)),
              bits(naive::bestScale(img, ref, x, y, s, a)));
    EXPECT_EQ(bits(core::bestRot(img, ref, x, y, s, a)),
              bits(naive::bestRot(img, ref, x, y, s, a)));
    const int64_t r = radius(rng);
    EXPECT_EQ(bits(core::refine(img, ref, x, y, s, r, a)),
              bits(naive::refine(img, ref, x, y, s, r, a)))
        << "trial " << trial << " r " << r;
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, Twins, ::testing::Values(KernelSet::kBaseline, KernelSet::kAvx2),
                         [](const auto& info) {
                           return info.param == KernelSet::kBaseline ? "baseline" : "avx2";
                         });

}  // namespace
