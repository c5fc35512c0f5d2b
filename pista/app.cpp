#include "pista/app.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/console.hpp"
#include "common/progress.hpp"
#include "common/replacement_file.hpp"
#include "common/resource_guard.hpp"
#include "pista/messages.hpp"
#include "pista/overlay.hpp"
#include "pista/record_walk.hpp"
#include "pista/request.hpp"
#include "pista/sheet.hpp"
#include "pista/video_writer.hpp"
#include "trackdoc/json.hpp"
#include "video/frame_source.hpp"
#include "video/prefetch.hpp"

namespace pista {

namespace {

using common::fail;
using common::failVideo;

int succeed(std::string_view what, size_t frames) {
  return common::succeed(std::string(what) + std::to_string(frames) + std::string(kFrames));
}

std::optional<std::string> readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return bytes.str();
}

// The region's size at scale 1 in displayed pixels, with seguir's own floor
// on the analysis frame.
RegionSize regionSize(const Request& req, const video::VideoInfo& info) {
  if (!req.hasBox) return {};
  const double gw = static_cast<double>(info.GW), gh = static_cast<double>(info.GH);
  return {std::max((req.x1 - req.x0) * gw, trackdoc::kMinRegionSide) * info.W / gw,
          std::max((req.y1 - req.y0) * gh, trackdoc::kMinRegionSide) * info.H / gh};
}

// Where the pictures go: the tiles of a sheet, or every frame into a video.
struct Pictures {
  const trackdoc::Track& track;
  RegionSize region;
  cv::Size displayed;
  cv::Size size;                   // of each picture: a tile, or a video frame
  std::vector<size_t> picks = {};  // records the sheet shows
  std::vector<cv::Mat> tiles = {};
  std::unique_ptr<VideoWriter> writer = nullptr;
  size_t written = 0;

  // False when the video cannot take the frame. The frame (of `size`) is
  // drawn on in place.
  bool add(video::ColourFrame& frame, const RecordWalk& walk, FrameState state, size_t index,
           double t) {
    const bool shown =
        writer || state == FrameState::kLost ||
        (state == FrameState::kTracked && std::binary_search(picks.begin(), picks.end(), index));
    if (!shown) return true;
    cv::Mat picture(static_cast<int>(frame.h), static_cast<int>(frame.w), CV_8UC3,
                    frame.bgr.data());
    drawOverlay(picture, walk.trail(), track.frames[index], state, region, displayed, t);
    if (!writer) {
      tiles.push_back(picture.clone());  // the frame's buffer serves the next frame
      return true;
    }
    ++written;
    return writer->write(picture, t - walk.first());
  }
};

// Reads the span and draws each frame; the status to end with, 0 when all
// went well. The reading stops (and its thread with it) before the reader's
// own failure is looked at.
int drawSpan(video::FrameSource& source, RecordWalk& walk, Pictures& pictures) {
  common::Progress progress(
      pictures.writer ? common::expectedFrames(walk.last() - walk.first(), source.info().fps) : 0);
  {
    video::Prefetcher frames(source);
    video::ColourFrame frame;
    double t = 0;
    while (frames.next(t, frame)) {
      if (t < walk.first() - kSameTime) continue;
      FrameState state;
      size_t index = 0;
      if (!walk.place(t, state, index)) break;
      if (!pictures.add(frame, walk, state, index, t)) {
        progress.clear();
        return fail(kNotSaved, kStatusNotSaved);
      }
      progress.frame();
      if (t > walk.last() + kSameTime) break;
    }
  }
  progress.clear();
  if (source.error()) return failVideo(source.error());
  if (!walk.complete()) return fail(kTrackTimes, kStatusBadTrack);
  return kStatusOk;
}

int writeSheet(const std::string& path, const std::vector<cv::Mat>& tiles) {
  std::vector<uint8_t> png;
  if (!cv::imencode(".png", assembleSheet(tiles), png) ||
      common::replaceFile(path, png) != common::Replaced::kDone) {
    return fail(kNotSaved, kStatusNotSaved);
  }
  return succeed(kSheetDone, tiles.size());
}

int draw(const Request& req, const trackdoc::Track& track) {
  RecordWalk walk(track);
  // Opened a little before the first record: the span's start is rounded to
  // a grid, and the first record's frame must not fall just outside it.
  video::Opened opened = video::FrameSource::open(req.video, walk.first() - 0.001, walk.last());
  if (!opened.source) return failVideo(opened.error);
  const video::VideoInfo& info = opened.source->info();
  if (std::fabs(info.W - track.width) > 0.5 || std::fabs(info.H - track.height) > 0.5) {
    return fail(kTrackSize, kStatusBadTrack);
  }
  const cv::Size displayed(static_cast<int>(std::lround(info.W)),
                           static_cast<int>(std::lround(info.H)));
  Pictures pictures{track, regionSize(req, info), displayed, displayed};
  // The video is written beside the target and renamed over it only once
  // complete: a failed run never leaves half a video.
  std::unique_ptr<common::ReplacementFile> temporary;
  if (req.toVideo) {
    temporary = std::make_unique<common::ReplacementFile>(req.output);
    if (!temporary->ok()) return fail(kNotSaved, kStatusNotSaved);
    pictures.writer = VideoWriter::open("file:" + temporary->path(), displayed, info.fps);
    if (!pictures.writer) return fail(kNotSaved, kStatusNotSaved);
    pictures.size = pictures.writer->frameSize();
  } else {
    pictures.size = tileSize(displayed);
    pictures.picks = sheetRecords(track.frames.size(), track.lostAt.has_value());
  }
  // The video's own colours, from the frames the tracker read.
  opened.source->useColour(pictures.size.width, pictures.size.height);
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
  const auto track = text ? trackdoc::parseTrack(*text) : std::nullopt;
  if (!track) return fail(kTrackUnreadable, kStatusBadTrack);
  if (track->frames.empty()) return fail(kTrackEmpty, kStatusBadTrack);
  // Memory or threads running out while reading or drawing is a failure of
  // the reader, as in seguir; a picture OpenCV cannot make is not saved.
  return common::guardResources(
      [&] {
        try {
          return draw(*req, *track);
        } catch (const cv::Exception&) {
          return fail(kNotSaved, kStatusNotSaved);
        }
      },
      common::failReader);
}

}  // namespace pista
