// What the processor offers beyond baseline x86-64, asked once at run time:
// the build targets plain x86-64 and the AVX2 loops are chosen by this.
#pragma once

namespace core {

inline bool hasAvx2() {
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();  // may run before the constructors that would call it
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
#else
  return false;
#endif
}

}  // namespace core
