#include "recortar.hpp"

#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "keying.hpp"
#include "messages.hpp"
#include "png_writer.hpp"
#include "raster.hpp"
#include "segmentation.hpp"

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

std::string size(const cv::Mat& m) {
  return std::to_string(m.cols) + "x" + std::to_string(m.rows) + "\n";
}

}  // namespace

int run(int argc, const char* const* argv) {
  // OpenCV's own warnings (an unreadable file, say) would be a second line on
  // standard error; the user gets exactly one message or none.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  if (argc != 3) {
    say(stderr, text::kUsage);
    return status::kUsage;
  }
  const std::string in = argv[1];
  const std::string out = argv[2];

  cv::Mat decoded = load(in);
  if (decoded.empty()) {
    say(stderr, text::kUnreadable);
    return status::kUnreadable;
  }

  if (std::optional<cv::Mat> keyed = keyFlatBackground(decoded)) {
    decoded.release();
    const int saved = save(*keyed, out);
    if (saved != status::kOk) return saved;
    say(stdout, text::kKeyedPrefix + size(*keyed));
    return status::kOk;
  }

  cv::Mat raster;
  try {
    raster = rasterize(decoded);
    decoded.release();
    if (!cutOutSubject(raster)) {
      say(stderr, text::kNothingFound);
      return status::kNothingFound;
    }
  } catch (const std::exception& e) {
    // OpenCV's failures (cv::Exception) and a raster too large to allocate
    // alike: the run ends with their own description, never with a crash.
    say(stderr, oneLine(e.what()));
    return status::kSegmentationFailed;
  }
  const int saved = save(raster, out);
  if (saved != status::kOk) return saved;
  say(stdout, text::kSegmentedPrefix + size(raster));
  return status::kOk;
}

}  // namespace recortar
