#include "core/kernels.hpp"

#include <cstddef>

namespace core::detail {
namespace baseline {
extern const Kernels table;
}
#if defined(__x86_64__)
namespace avx2 {
extern const Kernels table;
}
#endif

namespace {

bool hasAvx2() {
#if defined(__x86_64__)
  __builtin_cpu_init();  // may run before the constructors that would call it
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

const Kernels* bestAvailable() {
#if defined(__x86_64__)
  if (hasAvx2()) return &avx2::table;
#endif
  return &baseline::table;
}

// A function-local static, so that a caller running during static
// initialisation still finds the choice made.
const Kernels*& chosen() {
  static const Kernels* set = bestAvailable();
  return set;
}

}  // namespace

const Kernels& kernels() {
  return *chosen();
}

std::vector<double> columnOffsets(int64_t tw) {
  std::vector<double> u(static_cast<size_t>(tw));
  const double halfW = static_cast<double>(tw) / 2;
  for (int64_t i = 0; i < tw; ++i) u[i] = (static_cast<double>(i) + 0.5) - halfW;
  return u;
}

bool selectKernels(KernelSet set) {
  if (set == KernelSet::kBaseline) {
    chosen() = &baseline::table;
    return true;
  }
#if defined(__x86_64__)
  if (hasAvx2()) {
    chosen() = &avx2::table;
    return true;
  }
#endif
  return false;
}

}  // namespace core::detail
