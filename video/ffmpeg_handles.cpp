#include "video/ffmpeg_handles.hpp"

#include "video/failure.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace video::ffmpeg {

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

std::string errorText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

}  // namespace video::ffmpeg

namespace video {

Error readerError(int ffmpegError) {
  return {Failure::kReaderError, ffmpeg::errorText(ffmpegError)};
}

}  // namespace video
