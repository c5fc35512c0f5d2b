#include "common/companions.hpp"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace common {

std::vector<std::string> companionPlaces(std::string_view name, Companion kind) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path program = fs::read_symlink("/proc/self/exe", error);
  const fs::path folder = error ? fs::current_path(error) : program.parent_path();
  const char* installed = kind == Companion::kModule ? COMPANION_MODULE_DIR : COMPANION_DATA_DIR;
  return {(folder / name).string(), (folder / ".." / installed / name).lexically_normal().string()};
}

void* openModule(std::string_view name) {
  for (const std::string& place : companionPlaces(name, Companion::kModule)) {
    if (void* module = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL)) return module;
  }
  return dlopen(std::string(name).c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace common
