#include "remover/recortar.hpp"

#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "common/console.hpp"
#include "remover/keying.hpp"
#include "remover/messages.hpp"
#include "remover/png_writer.hpp"
#include "remover/segmenter.hpp"
#include "stills/stills.hpp"

namespace recortar {

namespace {

using common::fail;
using common::succeed;

// A failure's description as the one line the user sees.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string size(const stills::Raster& r) {
  return std::to_string(r.w) + "x" + std::to_string(r.h);
}

}  // namespace

int run(int argc, const char* const* argv) {
  // `recortar entrada salida.png`, or with --mascara before the paths.
  const bool matte = argc == 4 && std::string_view(argv[1]) == kMatteOption;
  if (argc != 3 && !matte) return fail(text::kUsage, status::kUsage);
  const char* in = argv[argc - 2];
  const std::string out = argv[argc - 1];

  // The cut-out is the picture as viewers show it: upright, in the input's
  // own colours (its profile travels to the output).
  std::optional<stills::Image> image = stills::load(in);
  if (image) {
    try {
      stills::applyOrientation(*image);
    } catch (const std::bad_alloc&) {
      image.reset();
    }
  }
  if (!image) return fail(text::kUnreadable, status::kUnreadable);
  stills::Raster& raster = image->raster;
  const std::string dimensions = size(raster);

  // The matte is the alpha the cut-out would have had, written instead of it.
  const auto write = [&] { return matte ? saveMatte(raster, out) : save(raster, image->icc, out); };
  if (keyRaster(raster)) {
    const int saved = write();
    if (saved != status::kOk) return saved;
    return succeed(text::kKeyedPrefix + dimensions);
  }

  const CutOut cut = cutOutSubject(raster);
  if (cut.result == kCutFailed) return fail(oneLine(cut.failure), status::kSegmentationFailed);
  if (cut.result == kNoSubject) return fail(text::kNothingFound, status::kNothingFound);
  const int saved = write();
  if (saved != status::kOk) return saved;
  return succeed(text::kSegmentedPrefix + dimensions);
}

}  // namespace recortar
