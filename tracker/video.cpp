#include "tracker/video.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>
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
struct AvFreer {
  void operator()(uint8_t* p) const { av_free(p); }
};
struct IoFreer {
  void operator()(AVIOContext* p) const {
    av_freep(&p->buffer);
    avio_context_free(&p);
  }
};
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

std::string errorText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

std::string readerError(int err) {
  return std::string(kReaderFailedPrefix) + errorText(err);
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

// A damaged packet is rejected by the decoder and skipped, as players do; a
// decoder or demuxer that fails this many times in a row without giving a
// frame cannot go on, and the span ends there.
constexpr int kMaxErrorsInARow = 256;
// Streams that give no frame rate (some raw streams) are timed as FFmpeg
// times them by default.
constexpr AVRational kDefaultRate{25, 1};

// Reading a FILE* on FFmpeg's behalf: in-memory files and spooled pipes.
int readFile(void* opaque, uint8_t* buf, int size) {
  std::FILE* f = static_cast<std::FILE*>(opaque);
  const size_t got = std::fread(buf, 1, static_cast<size_t>(size), f);
  if (got > 0) return static_cast<int>(got);
  return std::ferror(f) ? AVERROR(EIO) : AVERROR_EOF;
}

int64_t seekFile(void* opaque, int64_t offset, int whence) {
  std::FILE* f = static_cast<std::FILE*>(opaque);
  if (whence & AVSEEK_SIZE) {
    const off_t at = ftello(f);
    if (at < 0 || fseeko(f, 0, SEEK_END) != 0) return AVERROR(EIO);
    const off_t size = ftello(f);
    fseeko(f, at, SEEK_SET);
    return size;
  }
  if (fseeko(f, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE) != 0) return AVERROR(EIO);
  return ftello(f);
}

// A pipe or device cannot be read twice, but many containers (an MP4 with
// its index at the end) must seek back: such input is first copied whole to
// an anonymous temporary file. Zero on success, else an FFmpeg error code.
int spool(std::FILE* in, std::unique_ptr<std::FILE, FileCloser>& out) {
  out.reset(std::tmpfile());
  if (!out) return AVERROR(errno);
  std::vector<char> chunk(1 << 16);
  size_t got;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), in)) > 0) {
    if (std::fwrite(chunk.data(), 1, got, out.get()) != got) return AVERROR(errno ? errno : EIO);
  }
  if (std::ferror(in)) return AVERROR(EIO);
  if (std::fflush(out.get()) != 0 || std::fseek(out.get(), 0, SEEK_SET) != 0) return AVERROR(EIO);
  return 0;
}

bool isStreamed(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 &&
         (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode));
}

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
  // Custom input (in-memory or spooled files); outlives the format context.
  std::unique_ptr<std::FILE, FileCloser> file;
  std::unique_ptr<AVIOContext, IoFreer> io;
  std::unique_ptr<AVFormatContext, FormatCloser> fmt;
  ffmpeg::CodecPtr dec;
  ffmpeg::PacketPtr pkt;
  ffmpeg::FramePtr frm;
  ffmpeg::SwsPtr sws;
  int streamIndex = -1;
  AVRational timeBase{1, 1};
  int64_t startUnits = 0, endUnits = 0;  // 1/60000 s
  // Times made up for frames that carry none, in the stream's time base.
  int64_t firstPts = 0, period = 1, lastPts = AV_NOPTS_VALUE;
  // The time of the first entry of the index as the file was opened, when
  // the demuxer has one: where a rewind goes.
  int64_t indexStart = AV_NOPTS_VALUE;
  VideoInfo info;

  Orientation orientation;
  int64_t sw = 0, sh = 0;                  // size of the scaled frame, stored orientation
  std::unique_ptr<uint8_t, AvFreer> rgba;  // made when a frame first needs libswscale
  int rgbaStride = 0;
  bool fusedAllowed = true;
  int swsExtraFlags = 0;
  // Grey in stored orientation: a strip of rows for quarter turns, the whole
  // frame for other matrices.
  std::vector<float> stored;
  // render()'s own scratch, apart from the decoding thread's.
  std::vector<float> partScratch;
  // next()'s picture.
  Picture picture;

  // What the conversion context was last set up for.
  int srcW = -1, srcH = -1, srcCs = -1;
  AVPixelFormat srcFmt = AV_PIX_FMT_NONE;
  bool srcFull = false;

  bool draining = false;
  bool ended = false;
  bool pending = false;  // pkt holds a packet not yet given to the decoder
  int errorsInARow = 0;
  bool decodedAny = false, rejectedAny = false;
  // Set by the decoder's threads when a frame buffer could not be allocated,
  // which some decoders report only as damaged data.
  std::atomic<bool> outOfMemory{false};
  std::string error;  // why reading failed; empty when the span simply ended

  // The steps of opening, in order.
  int openInput(const std::string& url, const char* whitelist);
  bool findFirstVideoStream();
  void readOrientation();
  void fixTiming();
  std::string openDecoder();
  void seekToSpan(double inicio, double fin);
  void rewind();
  bool fixLayout();

  // The steps of reading.
  Taken take(double& t, Picture& out);
  int64_t stamp(const AVFrame* f);
  void feed();
  void rejected(int err);
  void fail(int err);
  bool convert(const AVFrame* f, core::Img& out);
  int fusedFactor(const AVFrame* f) const;
  bool scaleToRgba(const AVFrame* f);
  void orient(const GreyRows& rows, core::Img& out);
};

// Zero on success, else an FFmpeg error code. `whitelist` names the only
// protocols by which the file and any file it refers to (playlists, concat
// lists) may be opened: a path must never reach a network or another program.
int FrameSource::Impl::openInput(const std::string& url, const char* whitelist) {
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) return AVERROR(ENOMEM);
  if (file) {
    constexpr int kBufferSize = 1 << 15;
    auto* buffer = static_cast<uint8_t*>(av_malloc(kBufferSize));
    if (buffer) {
      io.reset(avio_alloc_context(buffer, kBufferSize, 0, file.get(), readFile, nullptr, seekFile));
    }
    if (!io) {
      av_free(buffer);
      avformat_free_context(raw);
      return AVERROR(ENOMEM);
    }
    raw->pb = io.get();
  }
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", whitelist, 0);
  const int err = avformat_open_input(&raw, url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (err < 0) return err;  // raw is freed
  fmt.reset(raw);
  return avformat_find_stream_info(raw, nullptr);
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

// Raw streams carry no times at all; their frames are then timed from the
// stream's start, one frame period apart.
void FrameSource::Impl::fixTiming() {
  AVStream* st = fmt->streams[streamIndex];
  firstPts = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  AVRational rate = kDefaultRate;
  for (AVRational r : {st->avg_frame_rate, st->r_frame_rate}) {
    if (r.num > 0 && r.den > 0) {
      rate = r;
      break;
    }
  }
  period = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(rate), timeBase));
  // Taken before any seek: a seek by timestamp adds entries from wherever
  // it probed.
  if (avformat_index_get_entries_count(st) > 0) {
    indexStart = avformat_index_get_entry(st, 0)->timestamp;
  }
}

namespace {

int getBuffer(AVCodecContext* c, AVFrame* f, int flags) {
  const int err = avcodec_default_get_buffer2(c, f, flags);
  if (err == AVERROR(ENOMEM)) static_cast<FrameSource::Impl*>(c->opaque)->outOfMemory = true;
  return err;
}

}  // namespace

// Empty on success, else the message to fail with.
std::string FrameSource::Impl::openDecoder() {
  const AVStream* st = fmt->streams[streamIndex];
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return readerError(AVERROR_DECODER_NOT_FOUND);
  dec.reset(avcodec_alloc_context3(codec));
  if (!dec) return std::string(kReaderNotStarted);
  int err = avcodec_parameters_to_context(dec.get(), st->codecpar);
  if (err >= 0) {
    dec->pkt_timebase = st->time_base;
    dec->opaque = this;
    dec->get_buffer2 = getBuffer;
    // FFmpeg's own count (cores + 1: three frame threads on two cores), by
    // interleaved runs of bench/tracker's clips on two cores, against the
    // ffmpeg floor: two frame threads took 1.05-1.1x the wall time of three,
    // as a thread waiting for its reference frame leaves a core idle; slice
    // threads alone 1.5-1.9x, since x264 writes one slice per frame; one
    // thread 1.6-1.8x. Frame threading lets the tracking, and the conversion
    // of the part of each frame it reads, run in the decoder's idle time:
    // the whole run takes 10-13% less CPU than the floor at 1080p and 4K.
    dec->thread_count = 0;
    dec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    err = avcodec_open2(dec.get(), codec, nullptr);
  }
  if (err < 0) return readerError(err);
  pkt.reset(av_packet_alloc());
  frm.reset(av_frame_alloc());
  if (!pkt || !frm) return std::string(kReaderNotStarted);
  return {};
}

// To the key frame at or before the start. Containers with an index (MP4,
// Matroska) land there; others (MPEG-TS, raw streams) search by timestamp and
// may land after the start or between key frames, where nothing decodes until
// the next key frame. The first packet tells: if it is not a key frame known
// to lie at or before the start, the span is read from the beginning of the
// file instead, which only costs time. The target is rounded down so that a
// start between two ticks of the stream's clock does not skip the frame
// before it.
void FrameSource::Impl::seekToSpan(double inicio, double fin) {
  startUnits = roundSaturate(inicio * 60000.0);
  endUnits = roundSaturate((fin + 0.0005) * 60000.0);
  if (startUnits <= 0) return;
  AVFormatContext* f = fmt.get();
  const int64_t ts = av_rescale_q_rnd(startUnits, kSpanUnit, timeBase, AV_ROUND_DOWN);
  // A failed seek may have read the whole file looking for the time.
  if (av_seek_frame(f, streamIndex, ts, AVSEEK_FLAG_BACKWARD) < 0) {
    rewind();
    return;
  }
  AVPacket* p = pkt.get();
  while (av_read_frame(f, p) >= 0) {
    if (p->stream_index != streamIndex) {
      av_packet_unref(p);
      continue;
    }
    const int64_t at = p->dts != AV_NOPTS_VALUE ? p->dts : p->pts;
    if ((p->flags & AV_PKT_FLAG_KEY) && at != AV_NOPTS_VALUE &&
        av_compare_ts(at, timeBase, startUnits, kSpanUnit) <= 0) {
      pending = true;
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
void FrameSource::Impl::rewind() {
  AVFormatContext* f = fmt.get();
  if (indexStart != AV_NOPTS_VALUE &&
      av_seek_frame(f, streamIndex, indexStart, AVSEEK_FLAG_BACKWARD) >= 0) {
    return;
  }
  if (av_seek_frame(f, -1, 0, AVSEEK_FLAG_BYTE) < 0) {
    av_seek_frame(f, streamIndex, firstPts, AVSEEK_FLAG_BACKWARD);
  }
}

// The analysis size must suit the pyramid and fit in memory; then the layout
// fixes the scaled frame's size and the buffers are made once for all frames.
bool FrameSource::Impl::fixLayout() {
  if (info.GW < kMinAnalysisSide || info.GH < kMinAnalysisSide ||
      info.GW > kMaxAnalysisPixels / info.GH) {
    return false;
  }
  orientation = orientationOf(info.xf);
  switch (orientation.layout) {
    case Layout::kFlip:
      sw = info.GW;
      sh = info.GH;
      break;
    case Layout::kTranspose:
      sw = info.GH;
      sh = info.GW;
      break;
    case Layout::kGeneral:
      sw = std::max<int64_t>(1, roundSaturate(static_cast<double>(info.naturalW) * info.A));
      sh = std::max<int64_t>(1, roundSaturate(static_cast<double>(info.naturalH) * info.A));
      if (sw * sh > kMaxAnalysisPixels) return false;
      break;
  }
  if (orientation.layout == Layout::kTranspose) {
    stored.resize(static_cast<size_t>(sw * kTurnStripRows));
  }
  if (orientation.layout == Layout::kGeneral) stored.resize(static_cast<size_t>(sw * sh));
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
  const auto [layout, flipX, flipY] = orientation;
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

// A decoded frame before the span is skipped; the first at or after the
// span's end ends the span.
Taken FrameSource::Impl::take(double& t, Picture& out) {
  AVFrame* f = frm.get();
  const int64_t pts = stamp(f);
  Taken taken;
  if (av_compare_ts(pts, timeBase, startUnits, kSpanUnit) < 0) {
    taken = Taken::kSkipped;
  } else if (av_compare_ts(pts, timeBase, endUnits, kSpanUnit) >= 0) {
    taken = Taken::kEnded;
  } else {
    t = static_cast<double>(pts) * timeBase.num / timeBase.den;
    taken = Taken::kDelivered;
    // Frames on the direct Y'CbCr pass in a flip or quarter turn can be made
    // a part at a time, once the part is known; the others only whole, now.
    const int factor = fusedFactor(f);
    if (factor != 0 && orientation.layout != Layout::kGeneral) {
      if (!out.frame_) out.frame_.reset(av_frame_alloc());
      if (!out.frame_) throw std::bad_alloc();
      av_frame_move_ref(out.frame_.get(), f);
      out.factor_ = factor;
    } else if (!convert(f, out.grey_)) {
      error = kReaderNotStarted;
      taken = Taken::kEnded;
    }
  }
  av_frame_unref(f);
  if (taken == Taken::kEnded) ended = true;
  return taken;
}

// The frame's best-effort time; a frame without one follows the previous
// frame by one period.
int64_t FrameSource::Impl::stamp(const AVFrame* f) {
  int64_t pts = f->best_effort_timestamp;
  if (pts == AV_NOPTS_VALUE) pts = lastPts == AV_NOPTS_VALUE ? firstPts : lastPts + period;
  lastPts = pts;
  return pts;
}

// The decoder's next packet of our stream; at the end of the file (or of its
// readable part) the flush, so that the last frames come out. Like ffmpeg,
// a demuxer error is the end of the readable part.
void FrameSource::Impl::feed() {
  AVPacket* p = pkt.get();
  if (pending) {
    pending = false;
  } else if (const int read = av_read_frame(fmt.get(), p); read < 0) {
    if (read == AVERROR(ENOMEM) || read == AVERROR(EAGAIN)) {
      rejected(read);
      return;
    }
    draining = true;
    avcodec_send_packet(dec.get(), nullptr);
    return;
  }
  if (p->stream_index != streamIndex) {
    av_packet_unref(p);
    return;
  }
  const int sent = avcodec_send_packet(dec.get(), p);
  if (sent == AVERROR(EAGAIN)) {
    pending = true;  // the decoder wants its frames taken first
    rejected(sent);
    return;
  }
  av_packet_unref(p);
  if (sent < 0) rejected(sent);
}

// A packet or frame the decoder or demuxer refused. Only memory running out
// is a failure of the reader; anything else is damage to skip, unless it
// repeats without end.
void FrameSource::Impl::rejected(int err) {
  if (err != AVERROR(EAGAIN)) rejectedAny = true;
  if (err == AVERROR(ENOMEM) || outOfMemory) {
    fail(AVERROR(ENOMEM));
  } else if (++errorsInARow >= kMaxErrorsInARow) {
    ended = true;
  }
}

void FrameSource::Impl::fail(int err) {
  error = readerError(err);
  ended = true;
}

FrameSource::FrameSource(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
FrameSource::~FrameSource() = default;

const VideoInfo& FrameSource::info() const {
  return impl_->info;
}

const std::string& FrameSource::error() const {
  return impl_->error;
}

// Element 1 is a file path, never an FFmpeg URL: "file:" keeps a name such as
// "concat:a|b" or "http://x" a name of a local file.
OpenResult FrameSource::open(const std::string& path, double inicio, double fin) {
  auto impl = std::make_unique<Impl>();
  if (isStreamed(path)) {
    std::unique_ptr<std::FILE, FileCloser> in(std::fopen(path.c_str(), "rb"));
    if (!in) return failure(kStatusUnreadable, std::string(kNoVideo));
    if (const int err = spool(in.get(), impl->file); err < 0) {
      return failure(kStatusReader, readerError(err));
    }
  }
  return start(std::move(impl), "file:" + path, "file", inicio, fin);
}

OpenResult FrameSource::openMemory(const uint8_t* data, size_t size, double inicio, double fin) {
  auto impl = std::make_unique<Impl>();
  if (size == 0) return failure(kStatusUnreadable, std::string(kNoVideo));
  impl->file.reset(fmemopen(const_cast<uint8_t*>(data), size, "rb"));
  if (!impl->file) return failure(kStatusReader, readerError(AVERROR(errno)));
  // Nothing outside the buffer may be opened, not even a local file.
  return start(std::move(impl), "memory", "none", inicio, fin);
}

OpenResult FrameSource::start(std::unique_ptr<Impl> impl, const std::string& url,
                              const char* whitelist, double inicio, double fin) {
  // FFmpeg's own diagnostics would add lines to standard error, where seguir
  // promises at most one.
  av_log_set_level(AV_LOG_QUIET);
  if (const int err = impl->openInput(url, whitelist); err < 0) {
    // Memory running out is the reader failing, not the file.
    if (err == AVERROR(ENOMEM)) return failure(kStatusReader, readerError(err));
    return failure(kStatusUnreadable, std::string(kNoVideo));
  }
  if (!impl->findFirstVideoStream()) return failure(kStatusUnreadable, std::string(kNoVideo));
  impl->readOrientation();
  impl->fixTiming();
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
  if (!nextPicture(t, impl_->picture)) return false;
  render(impl_->picture, core::Region{0, 0, impl_->info.GW, impl_->info.GH}, frame);
  return true;
}

// A frame made whole is handed over, its buffer swapped with the caller's
// for the next one; a deferred one has only the region made, from the
// decoder's planes, which are then let go.
void FrameSource::render(Picture& picture, const core::Region& region, core::Img& frame) {
  AVFrame* f = picture.frame_.get();
  if (!f || !f->data[0]) {
    std::swap(frame, picture.grey_);
    return;
  }
  const Impl& s = *impl_;
  frame.w = s.info.GW;
  frame.h = s.info.GH;
  frame.p.resize(static_cast<size_t>(s.info.GW * s.info.GH));
  greyRegion(yuvPlanes(f), yuvMatrixOf(f), picture.factor_, s.orientation, region, frame.p.data(),
             impl_->partScratch);
  av_frame_unref(f);
}

bool FrameSource::nextPicture(double& t, Picture& frame) {
  Impl& s = *impl_;
  try {
    while (!s.ended) {
      const int got = avcodec_receive_frame(s.dec.get(), s.frm.get());
      if (got == 0) {
        s.errorsInARow = 0;
        s.decodedAny = true;
        const Taken taken = s.take(t, frame);
        if (taken != Taken::kSkipped) return taken == Taken::kDelivered;
      } else if (got == AVERROR_EOF || (got == AVERROR(EAGAIN) && s.draining)) {
        s.ended = true;
      } else if (got == AVERROR(EAGAIN)) {
        s.feed();
      } else {
        s.rejected(got);  // a frame that did not decode
      }
    }
  } catch (const std::bad_alloc&) {
    s.fail(AVERROR(ENOMEM));
  }
  if (s.error.empty()) {
    if (s.outOfMemory) {
      s.fail(AVERROR(ENOMEM));
    } else if (s.rejectedAny && !s.decodedAny) {
      // Not one frame from all the decoder was given: the reader failed
      // (some decoders report memory running out as damaged data).
      s.error = kReaderNotStarted;
    }
  }
  return false;
}

}  // namespace seguir
