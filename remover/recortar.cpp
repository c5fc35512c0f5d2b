#include "remover/recortar.hpp"

#include <csignal>
#include <cstdio>
#include <new>
#include <optional>
#include <string>

#include "remover/keying.hpp"
#include "remover/messages.hpp"
#include "remover/png_writer.hpp"
#include "remover/segmenter.hpp"
#include "stills/stills.hpp"

namespace recortar {

namespace {

void say(std::FILE* stream, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

// A failure's description as the one line the user sees.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text + "\n";
}

std::string size(const stills::Raster& r) {
  return std::to_string(r.w) + "x" + std::to_string(r.h) + "\n";
}

}  // namespace

int run(int argc, const char* const* argv) {
  if (argc != 3) {
    say(stderr, text::kUsage);
    return status::kUsage;
  }
  const std::string out = argv[2];
  // Past a file-size limit the write fails and is reported like a full disk;
  // the signal's default would kill the program with its temporary file left
  // beside the target.
  std::signal(SIGXFSZ, SIG_IGN);

  // The cut-out is the picture as viewers show it: upright, in the input's
  // own colours (its profile travels to the output).
  std::optional<stills::Image> image = stills::load(argv[1]);
  if (image) {
    try {
      stills::applyOrientation(*image);
    } catch (const std::bad_alloc&) {
      image.reset();
    }
  }
  if (!image) {
    say(stderr, text::kUnreadable);
    return status::kUnreadable;
  }
  stills::Raster& raster = image->raster;
  const std::string dimensions = size(raster);

  if (keyRaster(raster)) {
    const int saved = save(raster, image->icc, out);
    if (saved != status::kOk) return saved;
    say(stdout, text::kKeyedPrefix + dimensions);
    return status::kOk;
  }

  const CutOut cut = cutOutSubject(raster);
  if (cut.result == kCutFailed) {
    say(stderr, oneLine(cut.failure));
    return status::kSegmentationFailed;
  }
  if (cut.result == kNoSubject) {
    say(stderr, text::kNothingFound);
    return status::kNothingFound;
  }
  const int saved = save(raster, image->icc, out);
  if (saved != status::kOk) return saved;
  say(stdout, text::kSegmentedPrefix + dimensions);
  return status::kOk;
}

}  // namespace recortar
