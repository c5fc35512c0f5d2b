#include "pista/app.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "pista/messages.hpp"
#include "pista/overlay.hpp"
#include "pista/track_file.hpp"
#include "pista/video_writer.hpp"
#include "tracker/console.hpp"
#include "tracker/messages.hpp"
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

using seguir::fail;

int succeed(std::string_view what, size_t frames) {
  return seguir::succeed(std::string(what) + std::to_string(frames) + std::string(kFrames));
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
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
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
    tiles[i].copyTo(sheet(
        cv::Rect(kGap + c * (tw + kGap), kGap + r * (th + kGap), tiles[i].cols, tiles[i].rows)));
  }
  return sheet;
}

struct Request {
  std::string video, trackPath, output;
  bool toVideo = false;
  bool hasBox = false;
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

std::optional<Request> parseRequest(int argc, const char* const* argv) {
  if (argc != 4 && argc != 8) return std::nullopt;
  Request req;
  req.video = argv[1];
  req.trackPath = argv[2];
  req.output = argv[3];
  req.toVideo = endsWith(req.output, ".mp4");
  if (!req.toVideo && !endsWith(req.output, ".png")) return std::nullopt;
  if (argc == 8) {
    double n[4];
    for (int k = 0; k < 4; ++k) {
      const auto v = seguir::parseNumber(argv[4 + k]);
      if (!v || !std::isfinite(*v)) return std::nullopt;
      n[k] = *v;
    }
    req.hasBox = true;
    req.x0 = n[0], req.y0 = n[1], req.x1 = n[2], req.y1 = n[3];
  }
  return req;
}

// The region's size at scale 1 in displayed pixels, with seguir's own floor
// of 24 analysis pixels a side.
RegionSize regionSize(const Request& req, const seguir::VideoInfo& info) {
  if (!req.hasBox) return {};
  const double gw = static_cast<double>(info.GW), gh = static_cast<double>(info.GH);
  return {std::max((req.x1 - req.x0) * gw, 24.0) * info.W / gw,
          std::max((req.y1 - req.y0) * gh, 24.0) * info.H / gh};
}

// Walks the records along the frames of the video, in time order: every
// record must meet a frame of its own time, and so must the loss.
class RecordWalk {
 public:
  explicit RecordWalk(const TrackDoc& track) : track_(track) {}
  double first() const { return track_.frames.front().t; }
  double last() const {
    return std::max(track_.frames.back().t, track_.lostAt.value_or(track_.frames.back().t));
  }
  // How the frame at `t` stands; false when a record was passed by, which
  // means the track belongs to another video.
  bool place(double t, FrameState& state, size_t& index) {
    const auto& records = track_.frames;
    if (next_ < records.size() && records[next_].t < t - kSameTime) return false;
    index = std::min(next_, records.size() - 1);
    state = FrameState::kUntracked;
    if (next_ < records.size() && std::fabs(records[next_].t - t) <= kSameTime) {
      state = FrameState::kTracked;
      trail_.emplace_back(records[next_].x, records[next_].y);
      ++next_;
    } else if (track_.lostAt && std::fabs(*track_.lostAt - t) <= kSameTime) {
      state = FrameState::kLost;
      lostSeen_ = true;
    }
    return true;
  }
  bool complete() const { return next_ == track_.frames.size() && (!track_.lostAt || lostSeen_); }
  const std::vector<cv::Point2d>& trail() const { return trail_; }

 private:
  const TrackDoc& track_;
  size_t next_ = 0;
  bool lostSeen_ = false;
  std::vector<cv::Point2d> trail_;
};

// Where the pictures go: the tiles of a sheet, or every frame into a video.
struct Pictures {
  const TrackDoc& track;
  RegionSize region;
  cv::Size displayed;
  cv::Size size;                   // of each picture: a tile, or a video frame
  std::vector<size_t> picks = {};  // records the sheet shows
  std::vector<cv::Mat> tiles = {};
  std::unique_ptr<VideoWriter> writer = nullptr;
  size_t written = 0;

  // False when the video cannot take the frame.
  bool add(const core::Img& frame, const RecordWalk& walk, FrameState state, size_t index,
           double t) {
    const bool shown =
        writer || state == FrameState::kLost ||
        (state == FrameState::kTracked && std::binary_search(picks.begin(), picks.end(), index));
    if (!shown) return true;
    cv::Mat picture = pictureOf(frame, size);
    drawOverlay(picture, walk.trail(), track.frames[index], state, region, displayed, t);
    if (!writer) {
      tiles.push_back(std::move(picture));
      return true;
    }
    ++written;
    return writer->write(picture, t - walk.first());
  }
};

// Reads the span and draws each frame; the status to end with, 0 when all
// went well.
int drawSpan(seguir::FrameSource& source, RecordWalk& walk, Pictures& pictures) {
  seguir::Prefetcher frames(source);
  seguir::Progress progress(
      pictures.writer ? seguir::expectedFrames(walk.last() - walk.first(), source.info().fps) : 0);
  core::Img frame;
  double t = 0;
  while (frames.next(t, frame)) {
    if (t < walk.first() - kSameTime) continue;
    FrameState state;
    size_t index = 0;
    if (!walk.place(t, state, index)) break;
    if (!pictures.add(frame, walk, state, index, t)) return fail(kNotSaved, kStatusNotSaved);
    progress.frame();
    if (t > walk.last() + kSameTime) break;
  }
  progress.clear();
  if (!source.error().empty()) return fail(source.error(), kStatusReader);
  if (!walk.complete()) return fail(kTrackTimes, kStatusBadTrack);
  return kStatusOk;
}

int writeSheet(const std::string& path, const std::vector<cv::Mat>& tiles) {
  std::vector<uint8_t> png;
  try {
    if (!cv::imencode(".png", assembleSheet(tiles), png)) return fail(kNotSaved, kStatusNotSaved);
  } catch (const cv::Exception&) {
    return fail(kNotSaved, kStatusNotSaved);
  }
  if (!seguir::writeWholeFile(path, std::string(png.begin(), png.end()))) {
    return fail(kNotSaved, kStatusNotSaved);
  }
  return succeed(kSheetDone, tiles.size());
}

int draw(const Request& req, const TrackDoc& track) {
  RecordWalk walk(track);
  // Opened a little before the first record: the span's start is rounded to
  // a grid, and the first record's frame must not fall just outside it.
  seguir::OpenResult opened =
      seguir::FrameSource::open(req.video, walk.first() - 0.001, walk.last());
  if (!opened.source) return fail(opened.message, opened.status);
  const seguir::VideoInfo& info = opened.source->info();
  if (std::fabs(info.W - track.width) > 0.5 || std::fabs(info.H - track.height) > 0.5) {
    return fail(kTrackSize, kStatusBadTrack);
  }
  const cv::Size displayed(static_cast<int>(std::lround(info.W)),
                           static_cast<int>(std::lround(info.H)));
  Pictures pictures{track, regionSize(req, info), displayed, displayed};
  // The video is written beside the target and renamed over it only once
  // complete: a failed run never leaves half a video.
  std::unique_ptr<seguir::ReplacementFile> temporary;
  if (req.toVideo) {
    temporary = std::make_unique<seguir::ReplacementFile>(req.output);
    if (!temporary->ok()) return fail(kNotSaved, kStatusNotSaved);
    pictures.writer = VideoWriter::open("file:" + temporary->path(), displayed, info.fps);
    if (!pictures.writer) return fail(kNotSaved, kStatusNotSaved);
    pictures.size = pictures.writer->frameSize();
  } else {
    const double zoom =
        std::min(1.0, static_cast<double>(kTileSide) / std::max(displayed.width, displayed.height));
    pictures.size = cv::Size(std::max(1, static_cast<int>(std::lround(displayed.width * zoom))),
                             std::max(1, static_cast<int>(std::lround(displayed.height * zoom))));
    pictures.picks = sheetRecords(track.frames.size(), track.lostAt.has_value());
  }
  if (const int status = drawSpan(*opened.source, walk, pictures)) return status;
  if (!req.toVideo) return writeSheet(req.output, pictures.tiles);
  if (!pictures.writer->finish() || !temporary->commit()) return fail(kNotSaved, kStatusNotSaved);
  return succeed(kVideoDone, pictures.written);
}

}  // namespace

int run(int argc, const char* const* argv) {
  const std::optional<Request> req = parseRequest(argc, argv);
  if (!req) return fail(kUsage, kStatusUsage);
  const auto text = readWhole(req->trackPath);
  const auto track = text ? parseTrack(*text) : std::nullopt;
  if (!track) return fail(kTrackUnreadable, kStatusBadTrack);
  if (track->frames.empty()) return fail(kTrackEmpty, kStatusBadTrack);
  // Memory or threads running out while reading or drawing is a failure of
  // the reader, as in seguir, never an abort.
  try {
    return draw(*req, *track);
  } catch (const std::bad_alloc&) {
    return fail(std::string(seguir::kReaderFailedPrefix) + std::strerror(ENOMEM), kStatusReader);
  } catch (const std::system_error& e) {
    return fail(std::string(seguir::kReaderFailedPrefix) + e.code().message(), kStatusReader);
  } catch (const cv::Exception&) {
    return fail(kNotSaved, kStatusNotSaved);
  }
}

}  // namespace pista
