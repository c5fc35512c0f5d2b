#include "core/bilinear.hpp"
#include "core/flatness.hpp"
#include "core/kernels.hpp"

#define KERNEL_NS baseline
#define NCC_GROUPS 2
#include "core/kernels.inc"
