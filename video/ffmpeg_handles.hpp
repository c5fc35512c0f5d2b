// Owning pointers for the FFmpeg objects that the frame source and pista's
// video writer hold, each freed by its library's own call, and FFmpeg's text
// for an error code. The types are only declared here, so headers can hold
// them without pulling FFmpeg in.
#pragma once

#include <memory>
#include <string>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace video::ffmpeg {

struct CodecFreer {
  void operator()(AVCodecContext* p) const;
};
struct FrameFreer {
  void operator()(AVFrame* p) const;
};
struct PacketFreer {
  void operator()(AVPacket* p) const;
};
struct SwsFreer {
  void operator()(SwsContext* p) const;
};

using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFreer>;

// FFmpeg's own description of an error code (AVERROR(...)).
std::string errorText(int err);

}  // namespace video::ffmpeg
