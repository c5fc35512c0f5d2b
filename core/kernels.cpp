#include "core/kernels.hpp"

#include <cstddef>

#include "core/cpu_features.hpp"

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
