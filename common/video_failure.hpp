// How the programs that read a video (seguir, and pista speaking as seguir)
// tell a user that it cannot be read: the same words and statuses in both,
// from the frame source's failure values. Header-only, so that the programs
// without video link nothing of it.
#pragma once

#include <string>
#include <string_view>

#include "common/console.hpp"
#include "video/failure.hpp"

namespace common {

inline constexpr int kStatusNoVideo = 3;
inline constexpr int kStatusVideoReader = 4;

inline constexpr std::string_view kNoVideo = "El archivo no tiene video.";
// Followed directly by FFmpeg's own description of the error.
inline constexpr std::string_view kReaderFailedPrefix = "No pude leer el video: ";
inline constexpr std::string_view kReaderNotStarted = "No pude leer el video.";

// The reader failing for `reason`: FFmpeg's words, or memory or threads
// running out while reading.
inline int failReader(const std::string& reason) {
  return fail(std::string(kReaderFailedPrefix) + reason, kStatusVideoReader);
}

inline int failVideo(const video::Error& error) {
  switch (error.kind) {
    case video::Failure::kNoVideo:
      return fail(kNoVideo, kStatusNoVideo);
    case video::Failure::kReaderError:
      return failReader(error.detail);
    case video::Failure::kReaderFailed:
    case video::Failure::kNone:
      break;
  }
  return fail(kReaderNotStarted, kStatusVideoReader);
}

}  // namespace common
