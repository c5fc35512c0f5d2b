// How reading a video fails, as a value: the library prints nothing and
// knows no program's messages; each program turns these into its own.
#pragma once

#include <string>

namespace video {

enum class Failure {
  kNone,
  kNoVideo,       // not a file a demuxer knows, or no video stream in it
  kReaderError,   // the reader failed; `detail` is FFmpeg's description
  kReaderFailed,  // the reader failed with no error to tell (a decoder that
                  // gave nothing at all, a frame that could not be converted)
};

struct Error {
  Failure kind = Failure::kNone;
  std::string detail;

  explicit operator bool() const { return kind != Failure::kNone; }
};

// The reader failing with an FFmpeg error code (AVERROR(...)).
Error readerError(int ffmpegError);

}  // namespace video
