#include "video/stream_facts.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "core/numeric.hpp"

namespace video {

namespace {

constexpr double kMaxAnalysisWidth = 1920;

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

}  // namespace

void fixAnalysisSize(VideoInfo& info) {
  const double nw = static_cast<double>(info.naturalW), nh = static_cast<double>(info.naturalH);
  const Transform& m = info.xf;
  info.W = std::fabs(m.a * nw + m.c * nh);
  info.H = std::fabs(m.b * nw + m.d * nh);
  info.A = info.W <= 1 ? 1.0 : std::min(kMaxAnalysisWidth / info.W, 1.0);
  info.GW = core::roundToInt(info.W * info.A);
  info.GH = core::roundToInt(info.A * info.H);
}

// Cover pictures are stored as video streams too; they are not the video.
int firstVideoStream(AVFormatContext* fmt) {
  int found = -1;
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    AVStream* st = fmt->streams[i];
    if (found < 0 && st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      found = static_cast<int>(i);
    } else {
      st->discard = AVDISCARD_ALL;  // the demuxer skips what we never read
    }
  }
  return found;
}

VideoInfo describe(const AVStream* st) {
  VideoInfo info;
  info.naturalW = st->codecpar->width;
  info.naturalH = st->codecpar->height;
  info.fps = nominalRate(st);
  info.xf = displayMatrix(st);
  fixAnalysisSize(info);
  return info;
}

}  // namespace video
