#include "video/decoder.hpp"

#include <algorithm>
#include <limits>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "core/numeric.hpp"

namespace video {

namespace {

// Span ends are placed on this grid of units per second.
constexpr AVRational kSpanUnit{1, 60000};
// A damaged packet is rejected by the decoder and skipped, as players do; a
// decoder or demuxer that fails this many times in a row without giving a
// frame cannot go on, and the span ends there.
constexpr int kMaxErrorsInARow = 256;
// Streams that give no frame rate (some raw streams) are timed as FFmpeg
// times them by default.
constexpr AVRational kDefaultRate{25, 1};

}  // namespace

int Decoder::getBuffer(AVCodecContext* c, AVFrame* f, int flags) {
  const int err = avcodec_default_get_buffer2(c, f, flags);
  if (err == AVERROR(ENOMEM)) static_cast<Decoder*>(c->opaque)->outOfMemory_ = true;
  return err;
}

Error Decoder::open(AVFormatContext* fmt, int index) {
  fmt_ = fmt;
  streamIndex_ = index;
  const AVStream* st = fmt->streams[index];
  timeBase_ = st->time_base;
  fixTiming();
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return readerError(AVERROR_DECODER_NOT_FOUND);
  dec_.reset(avcodec_alloc_context3(codec));
  if (!dec_) return {Failure::kReaderFailed, {}};
  int err = avcodec_parameters_to_context(dec_.get(), st->codecpar);
  if (err >= 0) {
    dec_->pkt_timebase = st->time_base;
    dec_->opaque = this;
    dec_->get_buffer2 = getBuffer;
    // FFmpeg's own count (cores + 1: three frame threads on two cores), by
    // interleaved runs of bench/tracker's clips on two cores, against the
    // ffmpeg floor: two frame threads took 1.05-1.1x the wall time of three,
    // as a thread waiting for its reference frame leaves a core idle; slice
    // threads alone 1.5-1.9x, since x264 writes one slice per frame; one
    // thread 1.6-1.8x. Frame threading lets the tracking, and the conversion
    // of the part of each frame it reads, run in the decoder's idle time:
    // the whole run takes 10-13% less CPU than the floor at 1080p and 4K.
    dec_->thread_count = 0;
    dec_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    err = avcodec_open2(dec_.get(), codec, nullptr);
  }
  if (err < 0) return readerError(err);
  pkt_.reset(av_packet_alloc());
  frm_.reset(av_frame_alloc());
  if (!pkt_ || !frm_) return {Failure::kReaderFailed, {}};
  return {};
}

// Raw streams carry no times at all; their frames are then timed from the
// stream's start, one frame period apart.
void Decoder::fixTiming() {
  AVStream* st = fmt_->streams[streamIndex_];
  firstPts_ = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  if (fmt_->start_time != AV_NOPTS_VALUE && fmt_->start_time > 0) {
    originPts_ = std::max<int64_t>(0, av_rescale_q(fmt_->start_time, AV_TIME_BASE_Q, timeBase_));
  }
  AVRational rate = kDefaultRate;
  for (AVRational r : {st->avg_frame_rate, st->r_frame_rate}) {
    if (r.num > 0 && r.den > 0) {
      rate = r;
      break;
    }
  }
  period_ = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(rate), timeBase_));
  // Taken before any seek: a seek by timestamp adds entries from wherever
  // it probed.
  if (avformat_index_get_entries_count(st) > 0) {
    indexStart_ = avformat_index_get_entry(st, 0)->timestamp;
  }
}

// To the key frame at or before the start. Containers with an index (MP4,
// Matroska) land there; others (MPEG-TS, raw streams) search by timestamp and
// may land after the start or between key frames, where nothing decodes until
// the next key frame. The first packet tells: if it is not a key frame known
// to lie at or before the start, the span is read from the beginning of the
// file instead, which only costs time. The target is rounded down so that a
// start between two ticks of the stream's clock does not skip the frame
// before it.
void Decoder::seekToSpan(double inicio, double fin) {
  startUnits_ = core::roundToInt(inicio * 60000.0);
  endUnits_ = core::roundToInt((fin + 0.0005) * 60000.0);
  if (startUnits_ <= 0) return;
  const int64_t ts = onClock(av_rescale_q_rnd(startUnits_, kSpanUnit, timeBase_, AV_ROUND_DOWN));
  // A failed seek may have read the whole file looking for the time.
  if (av_seek_frame(fmt_, streamIndex_, ts, AVSEEK_FLAG_BACKWARD) < 0) {
    rewind();
    return;
  }
  AVPacket* p = pkt_.get();
  while (av_read_frame(fmt_, p) >= 0) {
    if (p->stream_index != streamIndex_) {
      av_packet_unref(p);
      continue;
    }
    const int64_t at = p->dts != AV_NOPTS_VALUE ? p->dts : p->pts;
    if ((p->flags & AV_PKT_FLAG_KEY) && at != AV_NOPTS_VALUE &&
        av_compare_ts(onTimeline(at), timeBase_, startUnits_, kSpanUnit) <= 0) {
      pending_ = true;
      return;
    }
    av_packet_unref(p);
    break;
  }
  rewind();
}

// Back to the first packet. A demuxer with an index goes to its first entry:
// some (AVI) count frames as they read, and a byte seek to 0 would leave
// that count, and so every time after it, where the failed seek left it.
void Decoder::rewind() {
  if (indexStart_ != AV_NOPTS_VALUE &&
      av_seek_frame(fmt_, streamIndex_, indexStart_, AVSEEK_FLAG_BACKWARD) >= 0) {
    return;
  }
  if (av_seek_frame(fmt_, -1, 0, AVSEEK_FLAG_BYTE) < 0) {
    av_seek_frame(fmt_, streamIndex_, firstPts_, AVSEEK_FLAG_BACKWARD);
  }
}

AVFrame* Decoder::next(double& t) {
  while (!ended_) {
    const int got = avcodec_receive_frame(dec_.get(), frm_.get());
    if (got == 0) {
      errorsInARow_ = 0;
      decodedAny_ = true;
      switch (place(frm_.get(), t)) {
        case Place::kInside:
          return frm_.get();
        case Place::kAfter:
          ended_ = true;
          break;
        case Place::kBefore:
          break;
      }
      av_frame_unref(frm_.get());
    } else if (got == AVERROR_EOF || (got == AVERROR(EAGAIN) && draining_)) {
      ended_ = true;
    } else if (got == AVERROR(EAGAIN)) {
      feed();
    } else {
      rejected(got);  // a frame that did not decode
    }
  }
  settleEnd();
  return nullptr;
}

// Hostile files may carry any time at all: the shift saturates.
int64_t Decoder::onTimeline(int64_t pts) const {
  int64_t t;
  return __builtin_sub_overflow(pts, originPts_, &t) ? std::numeric_limits<int64_t>::min() : t;
}

int64_t Decoder::onClock(int64_t t) const {
  int64_t pts;
  return __builtin_add_overflow(t, originPts_, &pts) ? std::numeric_limits<int64_t>::max() : pts;
}

// A decoded frame before the span is skipped; the first at or after the
// span's end ends the span.
Decoder::Place Decoder::place(const AVFrame* f, double& t) {
  const int64_t pts = onTimeline(stamp(f));
  if (av_compare_ts(pts, timeBase_, startUnits_, kSpanUnit) < 0) return Place::kBefore;
  if (av_compare_ts(pts, timeBase_, endUnits_, kSpanUnit) >= 0) return Place::kAfter;
  t = static_cast<double>(pts) * timeBase_.num / timeBase_.den;
  return Place::kInside;
}

// The frame's best-effort time; a frame without one follows the previous
// frame by one period.
int64_t Decoder::stamp(const AVFrame* f) {
  int64_t pts = f->best_effort_timestamp;
  if (pts == AV_NOPTS_VALUE) pts = lastPts_ == AV_NOPTS_VALUE ? firstPts_ : lastPts_ + period_;
  lastPts_ = pts;
  return pts;
}

// The decoder's next packet of our stream; at the end of the file (or of its
// readable part) the flush, so that the last frames come out. Like ffmpeg,
// a demuxer error is the end of the readable part.
void Decoder::feed() {
  AVPacket* p = pkt_.get();
  if (pending_) {
    pending_ = false;
  } else if (const int read = av_read_frame(fmt_, p); read < 0) {
    if (read == AVERROR(ENOMEM) || read == AVERROR(EAGAIN)) {
      rejected(read);
      return;
    }
    draining_ = true;
    avcodec_send_packet(dec_.get(), nullptr);
    return;
  }
  if (p->stream_index != streamIndex_) {
    av_packet_unref(p);
    return;
  }
  const int sent = avcodec_send_packet(dec_.get(), p);
  if (sent == AVERROR(EAGAIN)) {
    pending_ = true;  // the decoder wants its frames taken first
    rejected(sent);
    return;
  }
  av_packet_unref(p);
  if (sent < 0) rejected(sent);
}

// A packet or frame the decoder or demuxer refused. Only memory running out
// is a failure of the reader; anything else is damage to skip, unless it
// repeats without end.
void Decoder::rejected(int err) {
  if (err != AVERROR(EAGAIN)) rejectedAny_ = true;
  if (err == AVERROR(ENOMEM) || outOfMemory_) {
    stop(readerError(AVERROR(ENOMEM)));
  } else if (++errorsInARow_ >= kMaxErrorsInARow) {
    ended_ = true;
  }
}

void Decoder::stop(Error error) {
  error_ = std::move(error);
  ended_ = true;
}

// Memory running out, or a decoder that gave nothing at all, is a failure
// of the reader rather than the end of the span.
void Decoder::settleEnd() {
  if (error_) return;
  if (outOfMemory_) {
    stop(readerError(AVERROR(ENOMEM)));
  } else if (rejectedAny_ && !decodedAny_) {
    // Not one frame from all the decoder was given (some decoders report
    // memory running out as damaged data).
    error_ = {Failure::kReaderFailed, {}};
  }
}

}  // namespace video
