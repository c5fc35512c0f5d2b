#include "pista/video_writer.hpp"

#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "video/ffmpeg_handles.hpp"

namespace pista {

namespace {

// A fine clock, so that the frames keep the source's own times whatever its rate.
constexpr AVRational kClock{1, 90000};

struct OutputCloser {
  void operator()(AVFormatContext* p) const {
    if (p->pb) avio_closep(&p->pb);
    avformat_free_context(p);
  }
};

}  // namespace

struct VideoWriter::Impl {
  std::unique_ptr<AVFormatContext, OutputCloser> out;
  video::ffmpeg::CodecPtr enc;
  video::ffmpeg::FramePtr frame;
  video::ffmpeg::PacketPtr packet;
  video::ffmpeg::SwsPtr toYuv;
  AVStream* stream = nullptr;
  int64_t lastPts = -1;
  int64_t frameTicks = kClock.den / 30;  // one frame's time, for the last frame's duration
  bool headerWritten = false;

  bool drain() {
    for (;;) {
      const int got = avcodec_receive_packet(enc.get(), packet.get());
      if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
      if (got < 0) return false;
      // Without a duration the container's edit list ends at the last frame's
      // start, and players drop that frame.
      if (packet->duration <= 0) packet->duration = frameTicks;
      av_packet_rescale_ts(packet.get(), enc->time_base, stream->time_base);
      packet->stream_index = stream->index;
      if (av_interleaved_write_frame(out.get(), packet.get()) < 0) return false;
    }
  }
};

VideoWriter::VideoWriter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
VideoWriter::~VideoWriter() = default;

std::unique_ptr<VideoWriter> VideoWriter::open(const std::string& path, cv::Size size, double fps) {
  auto w = std::make_unique<Impl>();
  const int width = std::max(2, size.width & ~1), height = std::max(2, size.height & ~1);
  AVFormatContext* rawOut = nullptr;
  if (avformat_alloc_output_context2(&rawOut, nullptr, "mp4", path.c_str()) < 0) return nullptr;
  w->out.reset(rawOut);
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (!codec) return nullptr;
  w->stream = avformat_new_stream(rawOut, nullptr);
  w->enc.reset(avcodec_alloc_context3(codec));
  w->frame.reset(av_frame_alloc());
  w->packet.reset(av_packet_alloc());
  if (!w->stream || !w->enc || !w->frame || !w->packet) return nullptr;
  AVCodecContext* enc = w->enc.get();
  enc->width = width;
  enc->height = height;
  enc->pix_fmt = AV_PIX_FMT_YUV420P;
  enc->time_base = kClock;
  if (std::isfinite(fps) && fps > 0 && fps < 1000) {
    enc->framerate = av_d2q(fps, 100000);
    w->frameTicks = std::max<int64_t>(1, std::llround(kClock.den / fps));
  }
  if (rawOut->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  // A picture to look at, not an archive: fast, and sharp enough for thin
  // lines. Encoding is most of pista's time: on 120 frames of 1080p, x264's
  // veryfast took 3.0 s of CPU beside 0.9 s of decoding, ultrafast 1.4 s, at
  // 3.5 times the size (crf 23).
  av_opt_set(enc->priv_data, "preset", "ultrafast", 0);
  av_opt_set(enc->priv_data, "crf", "23", 0);
  if (avcodec_open2(enc, codec, nullptr) < 0) return nullptr;
  if (avcodec_parameters_from_context(w->stream->codecpar, enc) < 0) return nullptr;
  w->stream->time_base = enc->time_base;
  if (avio_open(&rawOut->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) return nullptr;
  if (avformat_write_header(rawOut, nullptr) < 0) return nullptr;
  w->headerWritten = true;
  w->toYuv.reset(sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height, AV_PIX_FMT_YUV420P,
                                SWS_BILINEAR, nullptr, nullptr, nullptr));
  AVFrame* f = w->frame.get();
  f->format = AV_PIX_FMT_YUV420P;
  f->width = width;
  f->height = height;
  if (!w->toYuv || av_frame_get_buffer(f, 0) < 0) return nullptr;
  return std::unique_ptr<VideoWriter>(new VideoWriter(std::move(w)));
}

cv::Size VideoWriter::frameSize() const {
  return {impl_->enc->width, impl_->enc->height};
}

bool VideoWriter::write(const cv::Mat& bgr, double seconds) {
  Impl& w = *impl_;
  AVFrame* f = w.frame.get();
  if (bgr.type() != CV_8UC3 || bgr.cols != f->width || bgr.rows != f->height) return false;
  if (av_frame_make_writable(f) < 0) return false;
  const uint8_t* src[1] = {bgr.data};
  const int stride[1] = {static_cast<int>(bgr.step)};
  sws_scale(w.toYuv.get(), src, stride, 0, bgr.rows, f->data, f->linesize);
  // Times that do not grow (a rounding tie) are nudged by one tick.
  const int64_t pts =
      std::max(w.lastPts + 1, static_cast<int64_t>(std::llround(seconds * kClock.den)));
  f->pts = w.lastPts = pts;
  if (avcodec_send_frame(w.enc.get(), f) < 0) return false;
  return w.drain();
}

bool VideoWriter::finish() {
  Impl& w = *impl_;
  if (avcodec_send_frame(w.enc.get(), nullptr) < 0 || !w.drain()) return false;
  if (av_write_trailer(w.out.get()) < 0) return false;
  return avio_closep(&w.out->pb) >= 0;
}

}  // namespace pista
