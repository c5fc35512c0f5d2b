#include "tracker/video.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include "tracker/messages.hpp"
#include "tracker/numbers.hpp"

namespace seguir {

namespace {

constexpr double kMaxAnalysisWidth = 1920;
// The coarsest of the tracker's four pyramid levels must still be 2 x 2.
constexpr int64_t kMinAnalysisSide = 16;
// A display matrix with a huge scale would ask for an analysis frame no
// machine can hold; such a file is refused rather than allowed to exhaust memory.
constexpr int64_t kMaxAnalysisPixels = int64_t{1} << 26;
// Span ends are placed on this grid of units per second.
constexpr AVRational kSpanUnit{1, 60000};

struct FormatCloser {
  void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
struct CodecFreer {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFreer {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct SwsFreer {
  void operator()(SwsContext* p) const { sws_freeContext(p); }
};
struct AvFreer {
  void operator()(uint8_t* p) const { av_free(p); }
};

std::string errorText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

OpenResult failure(int status, std::string message) {
  OpenResult r;
  r.status = status;
  r.message = std::move(message);
  return r;
}

// The deprecated full-range "J" formats say their range through the format;
// swscale wants the plain format and the range as a flag.
AVPixelFormat plainFormat(AVPixelFormat f, bool& fullRange) {
  switch (f) {
    case AV_PIX_FMT_YUVJ420P:
      fullRange = true;
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      fullRange = true;
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      fullRange = true;
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
      fullRange = true;
      return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
      fullRange = true;
      return AV_PIX_FMT_YUV411P;
    default:
      return f;
  }
}

// FFmpeg 6.1 moved a stream's global side data into its codec parameters;
// from FFmpeg 7 the old per-stream lookup no longer finds the display matrix,
// and a phone's portrait video would be tracked lying on its side.
const uint8_t* displayMatrixData(const AVStream* st, size_t& size) {
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 30, 100)
  const AVCodecParameters* par = st->codecpar;
  const AVPacketSideData* sd = av_packet_side_data_get(
      par->coded_side_data, par->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
  if (!sd) return nullptr;
  size = sd->size;
  return sd->data;
#else
  return av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
#endif
}

Transform displayMatrix(const AVStream* st) {
  Transform xf;
  size_t size = 0;
  const uint8_t* sd = displayMatrixData(st, size);
  if (!sd || size < 9 * sizeof(int32_t)) return xf;
  int32_t m[9];
  std::memcpy(m, sd, sizeof m);
  xf.a = m[0] / 65536.0;
  xf.b = m[1] / 65536.0;
  xf.c = m[3] / 65536.0;
  xf.d = m[4] / 65536.0;
  xf.tx = m[6] / 65536.0;
  xf.ty = m[7] / 65536.0;
  return xf;
}

float nominalRate(const AVStream* st) {
  for (AVRational r : {st->avg_frame_rate, st->r_frame_rate}) {
    if (r.num > 0 && r.den > 0) return static_cast<float>(av_q2d(r));
  }
  return 0;
}

// How the stored frame becomes the displayed one. The eight axis-aligned
// matrices (every phone and camera writes one of them) are a flip of the
// scaled frame, or a transpose with flips; anything else is resampled.
enum class Layout { kFlip, kTranspose, kGeneral };

// The planes of a frame that fusedFactor accepted.
YuvFrame yuvPlanes(const AVFrame* f) {
  YuvFrame y;
  for (int p = 0; p < 3; ++p) {
    y.plane[p] = f->data[p];
    y.stride[p] = f->linesize[p];
  }
  y.w = f->width;
  y.h = f->height;
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(f->format);
  y.shiftX = fmt == AV_PIX_FMT_YUV444P || fmt == AV_PIX_FMT_YUVJ444P ? 0 : 1;
  y.shiftY = fmt == AV_PIX_FMT_YUV420P || fmt == AV_PIX_FMT_YUVJ420P ? 1 : 0;
  return y;
}

// The matrix and range libswscale would use for this frame (its coefficient
// table, indexed by the colour space, with BT.601 where it has no entry).
YuvMatrix yuvMatrixOf(const AVFrame* f) {
  bool full = f->color_range == AVCOL_RANGE_JPEG;
  plainFormat(static_cast<AVPixelFormat>(f->format), full);
  double kr = 0.299, kb = 0.114;
  switch (f->colorspace) {
    case AVCOL_SPC_RGB:  // libswscale's table reads this entry as BT.709
    case AVCOL_SPC_BT709:
      kr = 0.2126, kb = 0.0722;
      break;
    case AVCOL_SPC_FCC:
      kr = 0.30, kb = 0.11;
      break;
    case AVCOL_SPC_SMPTE240M:
      kr = 0.212, kb = 0.087;
      break;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      kr = 0.2627, kb = 0.0593;
      break;
    default:
      break;
  }
  return yuvMatrix(kr, kb, full);
}

// What became of one decoded frame.
enum class Taken { kSkipped, kDelivered, kEnded };

}  // namespace

void fixAnalysisSize(VideoInfo& info) {
  const double nw = static_cast<double>(info.naturalW), nh = static_cast<double>(info.naturalH);
  const Transform& m = info.xf;
  info.W = std::fabs(m.a * nw + m.c * nh);
  info.H = std::fabs(m.b * nw + m.d * nh);
  info.A = info.W <= 1 ? 1.0 : std::min(kMaxAnalysisWidth / info.W, 1.0);
  info.GW = roundSaturate(info.W * info.A);
  info.GH = roundSaturate(info.A * info.H);
}

struct FrameSource::Impl {
  std::unique_ptr<AVFormatContext, FormatCloser> fmt;
  std::unique_ptr<AVCodecContext, CodecFreer> dec;
  std::unique_ptr<AVPacket, PacketFreer> pkt;
  std::unique_ptr<AVFrame, FrameFreer> frm;
  std::unique_ptr<SwsContext, SwsFreer> sws;
  int streamIndex = -1;
  AVRational timeBase{1, 1};
  int64_t startUnits = 0, endUnits = 0;  // 1/60000 s
  VideoInfo info;

  Layout layout = Layout::kFlip;
  bool flipX = false, flipY = false;
  int64_t sw = 0, sh = 0;                  // size of the scaled frame, stored orientation
  std::unique_ptr<uint8_t, AvFreer> rgba;  // made when a frame first needs libswscale
  int rgbaStride = 0;
  bool fusedAllowed = true;
  int swsExtraFlags = 0;
  // Grey in stored orientation: a strip of rows for quarter turns, the whole
  // frame for other matrices.
  std::vector<float> stored;

  // What the conversion context was last set up for.
  int srcW = -1, srcH = -1, srcCs = -1;
  AVPixelFormat srcFmt = AV_PIX_FMT_NONE;
  bool srcFull = false;

  bool draining = false;
  bool ended = false;
  bool pending = false;  // pkt holds a packet read ahead by seekToSpan

  // The steps of opening, in order.
  bool openInput(const std::string& path);
  bool findFirstVideoStream();
  void readOrientation();
  std::string openDecoder();
  void seekToSpan(double inicio, double fin);
  bool fixLayout();

  // The steps of reading.
  Taken take(double& t, core::Img& out);
  void feed();
  bool convert(const AVFrame* f, core::Img& out);
  int fusedFactor(const AVFrame* f) const;
  bool scaleToRgba(const AVFrame* f);
  void orient(const GreyRows& rows, core::Img& out);
};

bool FrameSource::Impl::openInput(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return false;
  fmt.reset(raw);
  return avformat_find_stream_info(raw, nullptr) >= 0;
}

// Cover pictures are stored as video streams too; they are not the video.
bool FrameSource::Impl::findFirstVideoStream() {
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    AVStream* st = fmt->streams[i];
    if (streamIndex < 0 && st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      streamIndex = static_cast<int>(i);
    } else {
      st->discard = AVDISCARD_ALL;  // the demuxer skips what we never read
    }
  }
  if (streamIndex < 0) return false;
  timeBase = fmt->streams[streamIndex]->time_base;
  return true;
}

// Natural size, frame rate and display matrix, and from them the analysis size.
void FrameSource::Impl::readOrientation() {
  const AVStream* st = fmt->streams[streamIndex];
  info.naturalW = st->codecpar->width;
  info.naturalH = st->codecpar->height;
  info.fps = nominalRate(st);
  info.xf = displayMatrix(st);
  fixAnalysisSize(info);
}

// Empty on success, else the message to fail with.
std::string FrameSource::Impl::openDecoder() {
  const AVStream* st = fmt->streams[streamIndex];
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return std::string(kReaderFailedPrefix) + errorText(AVERROR_DECODER_NOT_FOUND);
  dec.reset(avcodec_alloc_context3(codec));
  if (!dec) return std::string(kReaderNotStarted);
  int err = avcodec_parameters_to_context(dec.get(), st->codecpar);
  if (err >= 0) {
    dec->pkt_timebase = st->time_base;
    // FFmpeg's own count (cores + 1: three frame threads on two cores), by
    // interleaved runs of bench/tracker's clips on two cores, against the
    // ffmpeg floor: two frame threads took 1.05-1.1x the wall time of three,
    // as a thread waiting for its reference frame leaves a core idle; slice
    // threads alone 1.5-1.9x, since x264 writes one slice per frame; one
    // thread 1.6-1.8x. Frame threading lets the conversion and the tracking
    // (our two threads) run in the decoder's idle time; beside the floor
    // they cost about 17% more CPU at 1080p and none at 4K, where the direct
    // pass is cheaper than the floor's own scaling.
    dec->thread_count = 0;
    dec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    err = avcodec_open2(dec.get(), codec, nullptr);
  }
  if (err < 0) return std::string(kReaderFailedPrefix) + errorText(err);
  pkt.reset(av_packet_alloc());
  frm.reset(av_frame_alloc());
  if (!pkt || !frm) return std::string(kReaderNotStarted);
  return {};
}

// To the key frame at or before the start. Containers with an index (MP4,
// Matroska) land there; others (MPEG-TS, raw streams) search by timestamp and
// may land after the start or between key frames, where nothing decodes until
// the next key frame. The first packet tells: if it is not a key frame at or
// before the start, the span is read from the beginning of the file instead,
// which only costs time.
void FrameSource::Impl::seekToSpan(double inicio, double fin) {
  startUnits = roundSaturate(inicio * 60000.0);
  endUnits = roundSaturate((fin + 0.0005) * 60000.0);
  if (startUnits <= 0) return;
  AVFormatContext* f = fmt.get();
  const int64_t ts = av_rescale_q(startUnits, kSpanUnit, timeBase);
  if (av_seek_frame(f, streamIndex, ts, AVSEEK_FLAG_BACKWARD) < 0) return;
  AVPacket* p = pkt.get();
  while (av_read_frame(f, p) >= 0) {
    if (p->stream_index != streamIndex) {
      av_packet_unref(p);
      continue;
    }
    const int64_t at = p->dts != AV_NOPTS_VALUE ? p->dts : p->pts;
    if ((p->flags & AV_PKT_FLAG_KEY) &&
        (at == AV_NOPTS_VALUE || av_compare_ts(at, timeBase, startUnits, kSpanUnit) <= 0)) {
      pending = true;
      return;
    }
    av_packet_unref(p);
    break;
  }
  if (av_seek_frame(f, -1, 0, AVSEEK_FLAG_BYTE) < 0) {
    const int64_t start = f->streams[streamIndex]->start_time;
    av_seek_frame(f, streamIndex, start != AV_NOPTS_VALUE ? start : 0, AVSEEK_FLAG_BACKWARD);
  }
}

// The analysis size must suit the pyramid and fit in memory; then the layout
// fixes the scaled frame's size and the buffers are made once for all frames.
bool FrameSource::Impl::fixLayout() {
  if (info.GW < kMinAnalysisSide || info.GH < kMinAnalysisSide ||
      info.GW > kMaxAnalysisPixels / info.GH) {
    return false;
  }
  const Transform& m = info.xf;
  if (m.b == 0 && m.c == 0 && m.a != 0 && m.d != 0) {
    layout = Layout::kFlip;
    flipX = m.a < 0;
    flipY = m.d < 0;
    sw = info.GW;
    sh = info.GH;
  } else if (m.a == 0 && m.d == 0 && m.b != 0 && m.c != 0) {
    // x' = c y, y' = b x: stored rows become displayed columns.
    layout = Layout::kTranspose;
    flipX = m.b < 0;  // stored x runs against displayed y
    flipY = m.c < 0;  // stored y runs against displayed x
    sw = info.GH;
    sh = info.GW;
  } else {
    layout = Layout::kGeneral;
    sw = std::max<int64_t>(1, roundSaturate(static_cast<double>(info.naturalW) * info.A));
    sh = std::max<int64_t>(1, roundSaturate(static_cast<double>(info.naturalH) * info.A));
    if (sw * sh > kMaxAnalysisPixels) return false;
  }
  if (layout == Layout::kTranspose) stored.resize(static_cast<size_t>(sw * kTurnStripRows));
  if (layout == Layout::kGeneral) stored.resize(static_cast<size_t>(sw * sh));
  return true;
}

// The frame at the scaled size in RGBA. Area averaging for reductions: every
// source pixel counts, so fine texture does not alias into false matches.
bool FrameSource::Impl::scaleToRgba(const AVFrame* f) {
  bool full = f->color_range == AVCOL_RANGE_JPEG;
  const AVPixelFormat fmtIn = plainFormat(static_cast<AVPixelFormat>(f->format), full);
  const int cs =
      (f->colorspace >= 0 && f->colorspace <= AVCOL_SPC_BT2020_CL) ? f->colorspace : SWS_CS_DEFAULT;
  if (!rgba) {
    rgbaStride = static_cast<int>((sw * 4 + 63) / 64 * 64);
    rgba.reset(static_cast<uint8_t*>(av_malloc(static_cast<size_t>(rgbaStride * sh) + 64)));
    if (!rgba) return false;
  }
  if (f->width != srcW || f->height != srcH || fmtIn != srcFmt || cs != srcCs || full != srcFull) {
    const bool reduces = sw < f->width || sh < f->height;
    SwsContext* ctx = sws_getCachedContext(
        sws.release(), f->width, f->height, fmtIn, static_cast<int>(sw), static_cast<int>(sh),
        AV_PIX_FMT_RGBA, (reduces ? SWS_AREA : SWS_BILINEAR) | swsExtraFlags, nullptr, nullptr,
        nullptr);
    sws.reset(ctx);
    if (!ctx) return false;
    // Output is full-range RGB; the input's matrix and range come from the frame.
    sws_setColorspaceDetails(ctx, sws_getCoefficients(cs), full ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    srcW = f->width;
    srcH = f->height;
    srcFmt = fmtIn;
    srcCs = cs;
    srcFull = full;
  }
  uint8_t* dstData[4] = {rgba.get(), nullptr, nullptr, nullptr};
  int dstStride[4] = {rgbaStride, 0, 0, 0};
  return sws_scale(sws.get(), f->data, f->linesize, 0, f->height, dstData, dstStride) > 0;
}

// The grey rows of the scaled frame, turned as the display matrix says.
void FrameSource::Impl::orient(const GreyRows& rows, core::Img& out) {
  out.w = info.GW;
  out.h = info.GH;
  out.p.resize(static_cast<size_t>(info.GW * info.GH));
  switch (layout) {
    case Layout::kFlip:
      greyMirrored(rows, flipX, flipY, out.p.data());
      break;
    case Layout::kTranspose:
      greyTurned(rows, flipX, flipY, stored.data(), out.p.data());
      break;
    case Layout::kGeneral:
      greyMirrored(rows, false, false, stored.data());
      resampleGrey(GreyFrame{stored.data(), sw, sh}, static_cast<double>(info.naturalW),
                   static_cast<double>(info.naturalH), info.xf, out.p.data(), out.w, out.h);
      break;
  }
}

// 8-bit planar Y'CbCr at the scaled size, or at exactly twice it (4K to
// 1080p), goes straight from the planes to grey: no RGBA frame is written
// and read again, which was most of the conversion's cost. Other formats and
// other reductions take libswscale's RGBA; RGB-coded video stays exact there.
int FrameSource::Impl::fusedFactor(const AVFrame* f) const {
  if (!fusedAllowed) return 0;
  switch (f->format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P:
      break;
    default:
      return 0;
  }
  if (f->width == sw && f->height == sh) return 1;
  if (f->width == 2 * sw && f->height == 2 * sh) return 2;
  return 0;
}

bool FrameSource::Impl::convert(const AVFrame* f, core::Img& out) {
  if (const int factor = fusedFactor(f)) {
    const YuvFrame planes = yuvPlanes(f);
    orient(YuvRows(planes, yuvMatrixOf(f), factor), out);
    return true;
  }
  if (!scaleToRgba(f)) return false;
  orient(RgbaRows(RgbaFrame{rgba.get(), sw, sh, rgbaStride}), out);
  return true;
}

// A decoded frame before the span, or without a time to place it, is skipped;
// the first at or after the span's end ends the span.
Taken FrameSource::Impl::take(double& t, core::Img& out) {
  AVFrame* f = frm.get();
  const int64_t pts = f->best_effort_timestamp;
  Taken taken;
  if (pts == AV_NOPTS_VALUE || av_compare_ts(pts, timeBase, startUnits, kSpanUnit) < 0) {
    taken = Taken::kSkipped;
  } else if (av_compare_ts(pts, timeBase, endUnits, kSpanUnit) >= 0) {
    taken = Taken::kEnded;
  } else {
    t = static_cast<double>(pts) * timeBase.num / timeBase.den;
    taken = convert(f, out) ? Taken::kDelivered : Taken::kEnded;
  }
  av_frame_unref(f);
  if (taken == Taken::kEnded) ended = true;
  return taken;
}

// The decoder's next packet of our stream; at the end of the file (or of its
// readable part) the flush, so that the last frames come out.
void FrameSource::Impl::feed() {
  AVPacket* p = pkt.get();
  if (pending) {
    pending = false;
  } else if (av_read_frame(fmt.get(), p) < 0) {
    draining = true;
    avcodec_send_packet(dec.get(), nullptr);
    return;
  }
  if (p->stream_index != streamIndex) {
    av_packet_unref(p);
    return;
  }
  const int sent = avcodec_send_packet(dec.get(), p);
  av_packet_unref(p);
  if (sent < 0 && sent != AVERROR(EAGAIN)) ended = true;
}

FrameSource::FrameSource(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
FrameSource::~FrameSource() = default;

const VideoInfo& FrameSource::info() const {
  return impl_->info;
}

OpenResult FrameSource::open(const std::string& path, double inicio, double fin) {
  // FFmpeg's own diagnostics would add lines to standard error, where seguir
  // promises at most one.
  av_log_set_level(AV_LOG_QUIET);
  auto impl = std::make_unique<Impl>();
  if (!impl->openInput(path) || !impl->findFirstVideoStream()) {
    return failure(kStatusUnreadable, std::string(kNoVideo));
  }
  impl->readOrientation();
  if (std::string message = impl->openDecoder(); !message.empty()) {
    return failure(kStatusReader, std::move(message));
  }
  impl->seekToSpan(inicio, fin);
  if (!impl->fixLayout()) return failure(kStatusReader, std::string(kReaderNotStarted));
  OpenResult ok;
  ok.source.reset(new FrameSource(std::move(impl)));
  return ok;
}

void FrameSource::useRgbaConversion(bool accurate) {
  impl_->fusedAllowed = false;
  impl_->swsExtraFlags = accurate ? SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT : 0;
}

bool FrameSource::next(double& t, core::Img& frame) {
  Impl& s = *impl_;
  while (!s.ended) {
    const int got = avcodec_receive_frame(s.dec.get(), s.frm.get());
    if (got == 0) {
      const Taken taken = s.take(t, frame);
      if (taken != Taken::kSkipped) return taken == Taken::kDelivered;
    } else if (got != AVERROR(EAGAIN) || s.draining) {
      s.ended = true;  // end of stream or a decoding error
    } else {
      s.feed();
    }
  }
  return false;
}

}  // namespace seguir
