#include "remover/segmenter.hpp"

#include <dlfcn.h>

#include <cstdint>
#include <filesystem>

#include "remover/messages.hpp"

namespace recortar {

namespace {

using Entry = int (*)(std::uint8_t*, int, int, char*, std::size_t);

// Beside the program in a build, under the prefix once installed, each found
// from the program's own path: a sanitizer's dlopen interceptor hides the
// program's run path, which is only the last resort.
void* openModule(std::string& failure) {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  void* module = nullptr;
  if (!ec) {
    const std::filesystem::path dir = exe.parent_path();
    for (const auto& candidate : {dir / kSegmentationModule,
                                  dir / ".." / RECORTAR_MODULE_DIR / kSegmentationModule}) {
      module = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (module != nullptr) break;
    }
  }
  if (module == nullptr) module = dlopen(kSegmentationModule, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = dlerror();
    failure = std::string(text::kNoSegmentation) + (why ? why : kSegmentationModule);
  }
  return module;
}

}  // namespace

CutOut cutOutSubject(stills::Raster& raster) {
  CutOut out;
  void* module = openModule(out.failure);
  if (module == nullptr) return out;
  const auto entry = reinterpret_cast<Entry>(dlsym(module, kCutOutEntry));
  if (entry == nullptr) {
    out.failure = std::string(text::kNoSegmentation) + kCutOutEntry;
    return out;
  }
  char failure[512] = "";
  out.result = entry(raster.px.get(), raster.w, raster.h, failure, sizeof failure);
  if (out.result == kCutFailed) out.failure = failure;
  return out;
}

}  // namespace recortar
