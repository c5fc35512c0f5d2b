// Decoding one stream over a span: the seek to the span, the decode loop,
// the policy for damaged packets, and the frames' times.
#pragma once

#include <atomic>
#include <cstdint>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/rational.h>
}

#include "video/failure.hpp"
#include "video/ffmpeg_handles.hpp"

struct AVFormatContext;

namespace video {

class Decoder {
 public:
  // Opens the decoder of stream `index` of `fmt`, which must outlive it.
  Error open(AVFormatContext* fmt, int index);

  // Positions the reading at the span from `inicio` to `fin` seconds (both
  // ends on a 1/60000 s grid; a frame exactly at `fin` belongs to the span).
  // Times are on the timeline players show: from the start of the file, not
  // on the stream's raw clock, which in an MPEG-TS or a cut capture may start
  // seconds or hours in.
  void seekToSpan(double inicio, double fin);

  // The next decoded frame of the span, in presentation order, and its
  // best-effort time in seconds on the video's timeline; null at the end of
  // the span, which is final (error() then tells whether reading failed).
  // The caller takes what it needs of the frame and unreferences it before
  // asking again. Throws std::bad_alloc when memory runs out.
  AVFrame* next(double& t);

  // Ends the span with a failure the caller met (a frame it could not take).
  void stop(Error error);
  // Empty unless reading failed.
  const Error& error() const { return error_; }

 private:
  enum class Place { kBefore, kInside, kAfter };
  Place place(const AVFrame* f, double& t);
  int64_t stamp(const AVFrame* f);
  // From the stream's clock to the video's timeline, and back.
  int64_t onTimeline(int64_t pts) const;
  int64_t onClock(int64_t t) const;
  void fixTiming();
  void rewind();
  void feed();
  void rejected(int err);
  void settleEnd();
  static int getBuffer(struct AVCodecContext* c, AVFrame* f, int flags);

  AVFormatContext* fmt_ = nullptr;
  int streamIndex_ = -1;
  ffmpeg::CodecPtr dec_;
  ffmpeg::PacketPtr pkt_;
  ffmpeg::FramePtr frm_;
  AVRational timeBase_{1, 1};
  int64_t startUnits_ = 0, endUnits_ = 0;  // 1/60000 s
  // Where the video's timeline starts on the stream's clock: the container's
  // start time, or 0 when it gives none or one before 0 (some MP4s start
  // their audio early, and players show their video from 0 regardless).
  int64_t originPts_ = 0;
  // Times made up for frames that carry none, in the stream's time base.
  int64_t firstPts_ = 0, period_ = 1, lastPts_ = AV_NOPTS_VALUE;
  // The time of the first entry of the index as the file was opened, when
  // the demuxer has one: where a rewind goes.
  int64_t indexStart_ = AV_NOPTS_VALUE;
  bool draining_ = false;
  bool ended_ = false;
  bool pending_ = false;  // pkt_ holds a packet not yet given to the decoder
  int errorsInARow_ = 0;
  bool decodedAny_ = false, rejectedAny_ = false;
  // Set by the decoder's threads when a frame buffer could not be allocated,
  // which some decoders report only as damaged data.
  std::atomic<bool> outOfMemory_{false};
  Error error_;
};

}  // namespace video
