// Plain scalar twins of the core routines, for bit-for-bit comparison in the
// tests and as the baseline of the micro-benchmarks. Same contracts as the
// declarations in core/tracking_core.hpp.
#pragma once

#include "core/tracking_core.hpp"

namespace naive {

float sample(const core::Img& image, double x, double y);
core::Img half(const core::Img& image);
core::Tpl centred(int64_t w, int64_t h, std::vector<float> raw);
core::Tpl templ(const core::Img& image, double x, double y, int64_t tw, int64_t th);
core::Tpl patch(const core::Img& image, double x, double y, int64_t tw, int64_t th, double scale,
                double angle = 0);
float ncc(const core::Img& image, const core::Tpl& tpl, int64_t left, int64_t top);
float corr(const core::Tpl& a, const core::Tpl& b);
double peak(float a, float b, float c);
core::Found search(const core::Img& image, const core::Tpl& tpl, double x, double y, int64_t r);
core::Change bestScale(const core::Img& image, const core::Tpl& tpl, double x, double y,
                       double scale, double angle = 0);
core::Change bestRot(const core::Img& image, const core::Tpl& tpl, double x, double y, double scale,
                     double angle);
core::Found refine(const core::Img& image, const core::Tpl& tpl, double x, double y, double scale,
                   int64_t r, double angle = 0);

}  // namespace naive
