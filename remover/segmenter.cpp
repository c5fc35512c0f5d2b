#include "remover/segmenter.hpp"

#include <dlfcn.h>

#include <cstdint>

#include "common/companions.hpp"
#include "remover/messages.hpp"

namespace recortar {

namespace {

using Entry = int (*)(std::uint8_t*, int, int, char*, std::size_t);

void* openSegmentation(std::string& failure) {
  void* module = common::openModule(kSegmentationModule);
  if (module == nullptr) {
    const char* why = dlerror();
    failure = std::string(text::kNoSegmentation) + (why ? why : kSegmentationModule);
  }
  return module;
}

}  // namespace

CutOut cutOutSubject(stills::Raster& raster) {
  CutOut out;
  void* module = openSegmentation(out.failure);
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
