#include "pista/app.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "pista/messages.hpp"
#include "pista/overlay.hpp"
#include "pista/track_file.hpp"
#include "pista/video_writer.hpp"
#include "tracker/numbers.hpp"
#include "tracker/output.hpp"
#include "tracker/prefetch.hpp"
#include "tracker/progress.hpp"
#include "tracker/video.hpp"

namespace pista {

namespace {

constexpr int kSheetColumns = 4;
constexpr int kSheetTiles = 12;
constexpr int kTileSide = 480;  // longest side of one tile of the sheet, pixels
constexpr int kGap = 6;
// Times in the document are the frames' own, written as exact doubles; the
// tolerance only absorbs a time base that is not a power of ten.
constexpr double kSameTime = 1e-6;

int fail(std::string_view message, int status) {
  std::string line(message);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  return status;
}

int succeed(std::string_view what, size_t frames) {
  std::string line(what);
  line += std::to_string(frames);
  line += kFrames;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  return kStatusOk;
}

std::optional<std::string> readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return bytes.str();
}

bool endsWith(std::string s, std::string_view suffix) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Which records the sheet shows: twelve at equal steps from the first to the
// last, or eleven and the frame where the region was lost.
std::vector<size_t> sheetRecords(size_t records, bool lost) {
  const size_t wanted = std::min<size_t>(records, lost ? kSheetTiles - 1 : kSheetTiles);
  std::vector<size_t> picks;
  for (size_t k = 0; k < wanted; ++k) {
    const size_t i = wanted == 1 ? 0 : (k * (records - 1) + (wanted - 1) / 2) / (wanted - 1);
    if (picks.empty() || picks.back() != i) picks.push_back(i);
  }
  return picks;
}

cv::Mat assembleSheet(const std::vector<cv::Mat>& tiles) {
  int tw = 0, th = 0;
  for (const cv::Mat& t : tiles) {
    tw = std::max(tw, t.cols);
    th = std::max(th, t.rows);
  }
  const int columns = std::min<int>(kSheetColumns, static_cast<int>(tiles.size()));
  const int rows = (static_cast<int>(tiles.size()) + columns - 1) / columns;
  cv::Mat sheet(rows * th + (rows + 1) * kGap, columns * tw + (columns + 1) * kGap, CV_8UC3,
                cv::Scalar(32, 32, 32));
  for (size_t i = 0; i < tiles.size(); ++i) {
    const int c = static_cast<int>(i) % columns, r = static_cast<int>(i) / columns;
    tiles[i].copyTo(sheet(cv::Rect(kGap + c * (tw + kGap), kGap + r * (th + kGap), tiles[i].cols,
                                   tiles[i].rows)));
  }
  return sheet;
}

// Writes through a temporary file beside the target, renamed over it only
// once complete: a failed run never leaves half a video.
class TemporaryBeside {
 public:
  explicit TemporaryBeside(const std::string& target) : target_(target) {
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    std::string pattern = dir + ".pista-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd >= 0) {
      ::close(fd);
      path_ = pattern;
    }
  }
  ~TemporaryBeside() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  bool commit() {
    const int fd = ::open(path_.c_str(), O_RDONLY);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!synced || std::rename(path_.c_str(), target_.c_str()) != 0) return false;
    path_.clear();
    return true;
  }

 private:
  std::string target_, path_;
};

struct Request {
  std::string video, trackPath, output;
  bool toVideo = false;
  bool hasBox = false;
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// The region's size at scale 1 in displayed pixels, with seguir's own floor
// of 24 analysis pixels a side.
RegionSize regionSize(const Request& req, const seguir::VideoInfo& info) {
  if (!req.hasBox) return {};
  const double gw = static_cast<double>(info.GW), gh = static_cast<double>(info.GH);
  return {std::max((req.x1 - req.x0) * gw, 24.0) * info.W / gw,
          std::max((req.y1 - req.y0) * gh, 24.0) * info.H / gh};
}

}  // namespace

int run(int argc, const char* const* argv) {
  if (argc != 4 && argc != 8) return fail(kUsage, kStatusUsage);
  Request req;
  req.video = argv[1];
  req.trackPath = argv[2];
  req.output = argv[3];
  if (endsWith(req.output, ".mp4")) {
    req.toVideo = true;
  } else if (!endsWith(req.output, ".png")) {
    return fail(kUsage, kStatusUsage);
  }
  if (argc == 8) {
    double n[4];
    for (int k = 0; k < 4; ++k) {
      const auto v = seguir::parseNumber(argv[4 + k]);
      if (!v || !std::isfinite(*v)) return fail(kUsage, kStatusUsage);
      n[k] = *v;
    }
    req.hasBox = true;
    req.x0 = n[0], req.y0 = n[1], req.x1 = n[2], req.y1 = n[3];
  }

  const auto text = readWhole(req.trackPath);
  if (!text) return fail(kTrackUnreadable, kStatusBadTrack);
  const auto track = parseTrack(*text);
  if (!track) return fail(kTrackUnreadable, kStatusBadTrack);
  if (track->frames.empty()) return fail(kTrackEmpty, kStatusBadTrack);
  const std::vector<seguir::Record>& records = track->frames;
  const double first = records.front().t;
  const double last = std::max(records.back().t, track->lostAt.value_or(records.back().t));

  // Opened a little before the first record: the span's start is rounded to
  // a grid, and the first record's frame must not fall just outside it.
  seguir::OpenResult opened = seguir::FrameSource::open(req.video, first - 0.001, last);
  if (!opened.source) return fail(opened.message, opened.status);
  const seguir::VideoInfo& info = opened.source->info();
  if (std::fabs(info.W - track->width) > 0.5 || std::fabs(info.H - track->height) > 0.5) {
    return fail(kTrackSize, kStatusBadTrack);
  }
  const cv::Size displayed(static_cast<int>(std::lround(info.W)), static_cast<int>(std::lround(info.H)));
  const RegionSize region = regionSize(req, info);

  std::unique_ptr<TemporaryBeside> temporary;
  std::unique_ptr<VideoWriter> writer;
  if (req.toVideo) {
    temporary = std::make_unique<TemporaryBeside>(req.output);
    if (temporary->path().empty()) return fail(kNotSaved, kStatusNotSaved);
    writer = VideoWriter::open("file:" + temporary->path(), displayed, info.fps);
    if (!writer) return fail(kNotSaved, kStatusNotSaved);
  }
  const double tileZoom = std::min(1.0, static_cast<double>(kTileSide) / std::max(displayed.width, displayed.height));
  const cv::Size tileSize(std::max(1, static_cast<int>(std::lround(displayed.width * tileZoom))),
                          std::max(1, static_cast<int>(std::lround(displayed.height * tileZoom))));
  const std::vector<size_t> picks = sheetRecords(records.size(), track->lostAt.has_value());
  std::vector<cv::Mat> tiles;
  std::vector<cv::Point2d> trail;
  size_t next = 0, written = 0;
  bool lostSeen = false;
  bool failedWrite = false;
  {
    seguir::Prefetcher frames(*opened.source);
    seguir::Progress progress(req.toVideo ? seguir::expectedFrames(last - first, info.fps) : 0);
    core::Img frame;
    double t = 0;
    while (!failedWrite && frames.next(t, frame)) {
      if (t < first - kSameTime) continue;
      // A record whose time no frame has belongs to another video.
      if (next < records.size() && records[next].t < t - kSameTime) break;
      FrameState state = FrameState::kUntracked;
      const seguir::Record* record = &records[std::min(next, records.size() - 1)];
      size_t index = next;
      if (next < records.size() && std::fabs(records[next].t - t) <= kSameTime) {
        state = FrameState::kTracked;
        trail.emplace_back(records[next].x, records[next].y);
        ++next;
      } else if (track->lostAt && std::fabs(*track->lostAt - t) <= kSameTime) {
        state = FrameState::kLost;
        lostSeen = true;
      }
      const bool picked = state == FrameState::kLost ||
                          (state == FrameState::kTracked && std::binary_search(picks.begin(), picks.end(), index));
      if (req.toVideo) {
        cv::Mat picture = pictureOf(frame, writer->frameSize());
        drawOverlay(picture, trail, *record, state, region, displayed, t);
        failedWrite = !writer->write(picture, t - first);
        ++written;
      } else if (picked) {
        cv::Mat picture = pictureOf(frame, tileSize);
        drawOverlay(picture, trail, *record, state, region, displayed, t);
        tiles.push_back(std::move(picture));
      }
      frames.recycle(std::move(frame));
      progress.frame();
      if (t > last + kSameTime) break;
    }
  }
  if (failedWrite) return fail(kNotSaved, kStatusNotSaved);
  if (next < records.size() || (track->lostAt && !lostSeen)) return fail(kTrackTimes, kStatusBadTrack);

  if (req.toVideo) {
    if (!writer->finish() || !temporary->commit()) return fail(kNotSaved, kStatusNotSaved);
    return succeed(kVideoDone, written);
  }
  std::vector<uint8_t> png;
  try {
    if (!cv::imencode(".png", assembleSheet(tiles), png)) return fail(kNotSaved, kStatusNotSaved);
  } catch (const cv::Exception&) {
    return fail(kNotSaved, kStatusNotSaved);
  }
  if (!seguir::writeWholeFile(req.output, std::string(png.begin(), png.end()))) {
    return fail(kNotSaved, kStatusNotSaved);
  }
  return succeed(kSheetDone, tiles.size());
}

}  // namespace pista
