// The video frame source: opens the first video stream of a file with FFmpeg,
// decodes only the frames of a span and turns each into a grey analysis frame
// as a player displays it (display matrix applied), at most 1920 pixels wide.
// Failures are values (failure.hpp): nothing here prints.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/tracking_core.hpp"
#include "video/colour.hpp"
#include "video/failure.hpp"
#include "video/ffmpeg_handles.hpp"
#include "video/stream_facts.hpp"

namespace video {

// A decoded frame whose conversion to grey can wait until the reader knows
// which part of it is needed (FrameSource::render): the decoder's planes,
// or the whole analysis frame where only the whole can be made.
class Picture {
 private:
  friend class FrameSource;
  // The decoder's planes while the conversion waits; empty once made.
  ffmpeg::FramePtr frame_;
  int factor_ = 1;      // the planes' reduction to the analysis frame
  core::Img grey_;      // the analysis frame when only the whole can be made
  ColourFrame colour_;  // the picture, when the source delivers colour
};

class FrameSource;

// Outcome of opening a span: a source, or why there is none.
struct Opened {
  std::unique_ptr<FrameSource> source;  // null on failure
  Error error;
};

class FrameSource {
 public:
  // Opens `path` (a local file, or a pipe) and positions the reader at the
  // span from `inicio` to `fin` seconds (both ends on a 1/60000 s grid; a
  // frame exactly at `fin` belongs to the span).
  static Opened open(const std::string& path, double inicio, double fin);
  // The same over a file held in memory, which must outlive the source.
  // Nothing outside the buffer is ever opened.
  static Opened openMemory(const uint8_t* data, size_t size, double inicio, double fin);

  ~FrameSource();
  FrameSource(const FrameSource&) = delete;
  FrameSource& operator=(const FrameSource&) = delete;

  const VideoInfo& info() const;

  // The next frame of the span in presentation order: its best-effort time in
  // seconds on the timeline players show (from the start of the file, as
  // are `inicio` and `fin`) and its analysis frame (GW x GH grey
  // values 0..255, top row first). `frame` may hold a buffer of an earlier
  // frame, which is reused. False at the end of the span, which is final.
  // Damaged packets are skipped; the span ends early only when the file
  // cannot be read any further, or with error() set when the reader failed
  // (memory ran out, a frame could not be converted).
  bool next(double& t, core::Img& frame);

  // next() in two steps. The first decodes (and converts those frames whose
  // parts cannot be made alone); the second makes `region` of the analysis
  // frame, a region of GW x GH, into `frame`, leaving its other samples as
  // they were. Only render() touches `frame`, so the steps may run on two
  // threads, each step on one thread. render() throws std::bad_alloc when
  // memory runs out.
  bool nextPicture(double& t, Picture& picture);
  void render(Picture& picture, const core::Region& region, core::Img& frame);
  // Empty unless reading failed. Read it once the span has ended.
  const Error& error() const;

  // Every later frame in colour instead of grey: a picture of w x h, the
  // displayed frame scaled, made while decoding and handed over by
  // renderColour(). No analysis frame is made.
  void useColour(int64_t w, int64_t h);
  void renderColour(Picture& picture, ColourFrame& frame);

  // Converts every later frame through libswscale's RGBA instead of straight
  // from the Y'CbCr planes: the reference that conversion is held to. With
  // `accurate`, libswscale interpolates chroma and rounds exactly; its fast
  // path, the default, truncates and lands about one level low.
  void useRgbaConversion(bool accurate = false);

  struct Impl;

 private:
  explicit FrameSource(std::unique_ptr<Impl> impl);
  static Opened start(std::unique_ptr<Impl> impl, double inicio, double fin);
  std::unique_ptr<Impl> impl_;
};

}  // namespace video
