#include "tracker/video.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include "tracker/messages.hpp"
#include "tracker/numbers.hpp"
#include "tracker/probe.hpp"

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

Transform displayMatrix(const AVStream* st) {
  Transform xf;
  size_t size = 0;
  const uint8_t* sd = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
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
  int64_t sw = 0, sh = 0;  // size of the scaled frame, stored orientation
  std::unique_ptr<uint8_t, AvFreer> rgba;
  int rgbaStride = 0;
  // Grey in stored orientation: a strip of kStripRows rows for quarter
  // turns, the whole frame for other matrices.
  std::vector<float> stored;
  static constexpr int64_t kStripRows = 64;

  // What the conversion context was last set up for.
  int srcW = -1, srcH = -1, srcCs = -1;
  AVPixelFormat srcFmt = AV_PIX_FMT_NONE;
  bool srcFull = false;

  bool draining = false;
  bool ended = false;
  bool pending = false;  // pkt holds a packet read ahead by seekToSpan

  void seekToSpan();

  bool prepare();
  bool convert(const AVFrame* f, core::Img& out);
  void greyRows(float* dst, bool mirrorX, bool mirrorY) const;
  void turn(core::Img& out);
  void resample(core::Img& out) const;
};

bool FrameSource::Impl::prepare() {
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
  rgbaStride = static_cast<int>((sw * 4 + 63) / 64 * 64);
  rgba.reset(static_cast<uint8_t*>(av_malloc(static_cast<size_t>(rgbaStride * sh) + 64)));
  if (!rgba) return false;
  if (layout == Layout::kTranspose) stored.resize(static_cast<size_t>(sw * kStripRows));
  if (layout == Layout::kGeneral) stored.resize(static_cast<size_t>(sw * sh));
  return true;
}

namespace {

// Grey of n RGBA pixels. The vector path does, lane by lane, the same single
// multiplications and additions in the same order as greyOf (no fused
// multiply-add), so both give the same bits. The scalar loop alone took a
// fifth of a 1080p run in bench/tracker.
void greyLine(const uint8_t* s, float* d, int64_t n) {
  int64_t x = 0;
#if defined(__SSE2__)
  const __m128i byte = _mm_set1_epi32(0xff);
  const __m128 wr = _mm_set1_ps(0.299f), wg = _mm_set1_ps(0.587f), wb = _mm_set1_ps(0.114f);
  for (; x + 4 <= n; x += 4) {
    const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * x));
    const __m128 r = _mm_cvtepi32_ps(_mm_and_si128(px, byte));
    const __m128 g = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(px, 8), byte));
    const __m128 b = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(px, 16), byte));
    const __m128 v =
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(r, wr), _mm_mul_ps(g, wg)), _mm_mul_ps(b, wb));
    _mm_storeu_ps(d + x, v);
  }
#endif
  for (; x < n; ++x) d[x] = greyOf(s[4 * x], s[4 * x + 1], s[4 * x + 2]);
}

}  // namespace

// Grey of the scaled RGBA frame into dst (sw x sh), optionally mirrored.
void FrameSource::Impl::greyRows(float* dst, bool mirrorX, bool mirrorY) const {
  for (int64_t y = 0; y < sh; ++y) {
    const uint8_t* s = rgba.get() + (mirrorY ? sh - 1 - y : y) * rgbaStride;
    float* d = dst + y * sw;
    greyLine(s, d, sw);
    if (mirrorX) std::reverse(d, d + sw);
  }
}

// Quarter turns: stored (x, y) is shown at row x and column y (each possibly
// mirrored). A strip of stored rows is made grey into a buffer that stays in
// cache, then each stored column of the strip is written as one contiguous
// run of a displayed row; a transpose through memory costs twice as much.
void FrameSource::Impl::turn(core::Img& out) {
  const int64_t gw = out.w;  // == sh
  for (int64_t y0 = 0; y0 < sh; y0 += kStripRows) {
    const int64_t n = std::min(kStripRows, sh - y0);
    for (int64_t k = 0; k < n; ++k) {
      greyLine(rgba.get() + (y0 + k) * rgbaStride, stored.data() + k * sw, sw);
    }
    int64_t x = 0;
#if defined(__SSE2__)
    // 4 x 4 blocks: four stored rows in, four displayed rows out.
    if (n == kStripRows) {
      for (; x + 4 <= sw; x += 4) {
        for (int64_t k = 0; k < n; k += 4) {
          const float* src = stored.data() + k * sw + x;
          __m128 r0 = _mm_loadu_ps(src), r1 = _mm_loadu_ps(src + sw);
          __m128 r2 = _mm_loadu_ps(src + 2 * sw), r3 = _mm_loadu_ps(src + 3 * sw);
          _MM_TRANSPOSE4_PS(r0, r1, r2, r3);  // r_i now holds column x + i
          const __m128 cols[4] = {r0, r1, r2, r3};
          for (int i = 0; i < 4; ++i) {
            float* row = out.p.data() + (flipX ? sw - 1 - (x + i) : x + i) * gw;
            if (flipY) {
              _mm_storeu_ps(row + (sh - 1 - y0 - k - 3),
                            _mm_shuffle_ps(cols[i], cols[i], _MM_SHUFFLE(0, 1, 2, 3)));
            } else {
              _mm_storeu_ps(row + y0 + k, cols[i]);
            }
          }
        }
      }
    }
#endif
    for (; x < sw; ++x) {
      float* row = out.p.data() + (flipX ? sw - 1 - x : x) * gw;
      const float* col = stored.data() + x;
      if (flipY) {
        float* d = row + (sh - 1 - y0);
        for (int64_t k = 0; k < n; ++k) d[-k] = col[k * sw];
      } else {
        float* d = row + y0;
        for (int64_t k = 0; k < n; ++k) d[k] = col[k * sw];
      }
    }
  }
}

// Any other matrix: each displayed pixel centre is taken back through the
// inverse matrix into the stored frame and sampled bilinearly; the corners
// of the bounding box that the frame does not cover stay black.
void FrameSource::Impl::resample(core::Img& out) const {
  const Transform& m = info.xf;
  const double nw = static_cast<double>(info.naturalW), nh = static_cast<double>(info.naturalH);
  double minX = 0, maxX = 0, minY = 0, maxY = 0;
  for (auto [x, y] : {std::pair{nw, 0.0}, std::pair{0.0, nh}, std::pair{nw, nh}}) {
    const double X = m.a * x + m.c * y, Y = m.b * x + m.d * y;
    minX = std::min(minX, X);
    maxX = std::max(maxX, X);
    minY = std::min(minY, Y);
    maxY = std::max(maxY, Y);
  }
  const double det = m.a * m.d - m.b * m.c;
  std::fill(out.p.begin(), out.p.end(), 0.0f);
  if (det == 0 || !std::isfinite(det)) return;
  const double kx = (maxX - minX) / static_cast<double>(out.w);
  const double ky = (maxY - minY) / static_cast<double>(out.h);
  const double toSx = static_cast<double>(sw) / nw, toSy = static_cast<double>(sh) / nh;
  for (int64_t Y = 0; Y < out.h; ++Y) {
    const double py = minY + (static_cast<double>(Y) + 0.5) * ky;
    for (int64_t X = 0; X < out.w; ++X) {
      const double px = minX + (static_cast<double>(X) + 0.5) * kx;
      const double sx = (m.d * px - m.c * py) / det * toSx - 0.5;
      const double sy = (m.a * py - m.b * px) / det * toSy - 0.5;
      if (!(sx >= -0.5 && sx <= static_cast<double>(sw) - 0.5 && sy >= -0.5 &&
            sy <= static_cast<double>(sh) - 0.5)) {
        continue;
      }
      const double cx = std::clamp(sx, 0.0, static_cast<double>(sw - 1));
      const double cy = std::clamp(sy, 0.0, static_cast<double>(sh - 1));
      const int64_t ix = std::min(static_cast<int64_t>(cx), sw - 2 < 0 ? 0 : sw - 2);
      const int64_t iy = std::min(static_cast<int64_t>(cy), sh - 2 < 0 ? 0 : sh - 2);
      const int64_t jx = std::min(ix + 1, sw - 1), jy = std::min(iy + 1, sh - 1);
      const float fx = static_cast<float>(cx - static_cast<double>(ix));
      const float fy = static_cast<float>(cy - static_cast<double>(iy));
      const float* s = stored.data();
      const float top = s[iy * sw + ix] + (s[iy * sw + jx] - s[iy * sw + ix]) * fx;
      const float bot = s[jy * sw + ix] + (s[jy * sw + jx] - s[jy * sw + ix]) * fx;
      out.p[static_cast<size_t>(Y * out.w + X)] = top + (bot - top) * fy;
    }
  }
}

bool FrameSource::Impl::convert(const AVFrame* f, core::Img& out) {
  bool full = f->color_range == AVCOL_RANGE_JPEG;
  const AVPixelFormat fmtIn = plainFormat(static_cast<AVPixelFormat>(f->format), full);
  const int cs =
      (f->colorspace >= 0 && f->colorspace <= AVCOL_SPC_BT2020_CL) ? f->colorspace : SWS_CS_DEFAULT;
  if (f->width != srcW || f->height != srcH || fmtIn != srcFmt || cs != srcCs || full != srcFull) {
    // Area averaging for reductions: every source pixel counts, so fine
    // texture does not alias into false matches.
    const bool reduces = sw < f->width || sh < f->height;
    SwsContext* ctx = sws_getCachedContext(
        sws.release(), f->width, f->height, fmtIn, static_cast<int>(sw), static_cast<int>(sh),
        AV_PIX_FMT_RGBA, reduces ? SWS_AREA : SWS_BILINEAR, nullptr, nullptr, nullptr);
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
  if (sws_scale(sws.get(), f->data, f->linesize, 0, f->height, dstData, dstStride) <= 0) {
    return false;
  }
  out.w = info.GW;
  out.h = info.GH;
  out.p.resize(static_cast<size_t>(info.GW * info.GH));
  switch (layout) {
    case Layout::kFlip:
      greyRows(out.p.data(), flipX, flipY);
      break;
    case Layout::kTranspose:
      turn(out);
      break;
    case Layout::kGeneral:
      greyRows(stored.data(), false, false);
      resample(out);
      break;
  }
  return true;
}

// To the key frame at or before the start. Containers with an index (MP4,
// Matroska) land there; others (MPEG-TS, raw streams) search by timestamp and
// may land after the start or between key frames, where nothing decodes until
// the next key frame. The first packet tells: if it is not a key frame at or
// before the start, the span is read from the beginning of the file instead,
// which only costs time.
void FrameSource::Impl::seekToSpan() {
  AVFormatContext* f = fmt.get();
  AVStream* st = f->streams[streamIndex];
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
    av_seek_frame(f, streamIndex, st->start_time != AV_NOPTS_VALUE ? st->start_time : 0,
                  AVSEEK_FLAG_BACKWARD);
  }
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

  AVFormatContext* rawFmt = nullptr;
  if (avformat_open_input(&rawFmt, path.c_str(), nullptr, nullptr) < 0) {
    return failure(kStatusUnreadable, std::string(kNoVideo));
  }
  impl->fmt.reset(rawFmt);
  AVFormatContext* fmt = rawFmt;
  if (avformat_find_stream_info(fmt, nullptr) < 0) {
    return failure(kStatusUnreadable, std::string(kNoVideo));
  }
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    const AVStream* st = fmt->streams[i];
    if (impl->streamIndex < 0 && st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      impl->streamIndex = static_cast<int>(i);
    } else {
      fmt->streams[i]->discard = AVDISCARD_ALL;  // the demuxer skips what we never read
    }
  }
  if (impl->streamIndex < 0) return failure(kStatusUnreadable, std::string(kNoVideo));
  AVStream* st = fmt->streams[impl->streamIndex];
  impl->timeBase = st->time_base;

  VideoInfo& info = impl->info;
  info.naturalW = st->codecpar->width;
  info.naturalH = st->codecpar->height;
  info.fps = nominalRate(st);
  info.xf = displayMatrix(st);
  fixAnalysisSize(info);

  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) {
    return failure(kStatusReader,
                   std::string(kReaderFailedPrefix) + errorText(AVERROR_DECODER_NOT_FOUND));
  }
  impl->dec.reset(avcodec_alloc_context3(codec));
  if (!impl->dec) return failure(kStatusReader, std::string(kReaderNotStarted));
  AVCodecContext* dec = impl->dec.get();
  int err = avcodec_parameters_to_context(dec, st->codecpar);
  if (err >= 0) {
    dec->pkt_timebase = st->time_base;
    dec->thread_count = 0;  // as many as the machine has
    dec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    err = avcodec_open2(dec, codec, nullptr);
  }
  if (err < 0) return failure(kStatusReader, std::string(kReaderFailedPrefix) + errorText(err));

  impl->pkt.reset(av_packet_alloc());
  impl->frm.reset(av_frame_alloc());
  if (!impl->pkt || !impl->frm) return failure(kStatusReader, std::string(kReaderNotStarted));

  impl->startUnits = roundSaturate(inicio * 60000.0);
  impl->endUnits = roundSaturate((fin + 0.0005) * 60000.0);
  if (impl->startUnits > 0) impl->seekToSpan();

  if (info.GW < kMinAnalysisSide || info.GH < kMinAnalysisSide ||
      info.GW > kMaxAnalysisPixels / info.GH || !impl->prepare()) {
    return failure(kStatusReader, std::string(kReaderNotStarted));
  }
  OpenResult ok;
  ok.source.reset(new FrameSource(std::move(impl)));
  return ok;
}

bool FrameSource::next(double& t, core::Img& frame) {
  Impl& s = *impl_;
  AVFrame* f = s.frm.get();
  while (!s.ended) {
    const int got = avcodec_receive_frame(s.dec.get(), f);
    if (got == 0) {
      const int64_t pts = f->best_effort_timestamp;
      if (pts == AV_NOPTS_VALUE || av_compare_ts(pts, s.timeBase, s.startUnits, kSpanUnit) < 0) {
        av_frame_unref(f);  // before the span, or not placeable in it
        continue;
      }
      if (av_compare_ts(pts, s.timeBase, s.endUnits, kSpanUnit) >= 0) {
        av_frame_unref(f);
        s.ended = true;
        break;
      }
      t = static_cast<double>(pts) * s.timeBase.num / s.timeBase.den;
      const bool ok = s.convert(f, frame);
      av_frame_unref(f);
      if (!ok) s.ended = true;
      return ok;
    }
    if (got != AVERROR(EAGAIN) || s.draining) {  // end of stream or a decoding error
      s.ended = true;
      break;
    }
    AVPacket* p = s.pkt.get();
    if (s.pending) {
      s.pending = false;
    } else if (av_read_frame(s.fmt.get(), p) < 0) {
      // End of file (or an unreadable rest): flush so the last frames come out.
      s.draining = true;
      avcodec_send_packet(s.dec.get(), nullptr);
      continue;
    }
    if (p->stream_index != s.streamIndex) {
      av_packet_unref(p);
      continue;
    }
    const int sent = avcodec_send_packet(s.dec.get(), p);
    av_packet_unref(p);
    if (sent < 0 && sent != AVERROR(EAGAIN)) s.ended = true;
  }
  return false;
}

}  // namespace seguir
