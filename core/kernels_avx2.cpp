// Built with -mavx2 (and never -mfma: no fused multiply-add may change a sum).
#include "core/bilinear.hpp"
#include "core/flatness.hpp"
#include "core/kernels.hpp"

#define KERNEL_NS avx2
#define NCC_GROUPS 4
#include "core/kernels.inc"
