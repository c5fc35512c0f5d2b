#include "stills/module.hpp"

#include <dlfcn.h>

#include <filesystem>

namespace stills {

void* openModule(const char* name, const char* installDir) {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const std::filesystem::path dir = exe.parent_path();
    for (const auto& candidate : {dir / name, dir / ".." / installDir / name}) {
      if (void* module = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) return module;
    }
  }
  return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

}  // namespace stills
