#include "tracker/ffmpeg_handles.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace seguir::ffmpeg {

void CodecFreer::operator()(AVCodecContext* p) const {
  avcodec_free_context(&p);
}
void FrameFreer::operator()(AVFrame* p) const {
  av_frame_free(&p);
}
void PacketFreer::operator()(AVPacket* p) const {
  av_packet_free(&p);
}
void SwsFreer::operator()(SwsContext* p) const {
  sws_freeContext(p);
}

}  // namespace seguir::ffmpeg
