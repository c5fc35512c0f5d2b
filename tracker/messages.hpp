// Every line seguir shows a user, and its exit statuses, in one place. The
// texts are an external interface: scripts compare them byte for byte.
#pragma once

#include <string_view>

#include "common/video_failure.hpp"

namespace seguir {

// Exit statuses. 1 and 5 are never produced.
inline constexpr int kStatusOk = 0;
inline constexpr int kStatusUsage = 2;
inline constexpr int kStatusUnreadable = common::kStatusNoVideo;  // also the still images
inline constexpr int kStatusReader = common::kStatusVideoReader;
inline constexpr int kStatusNotSaved = 6;

inline constexpr std::string_view kUsage = "uso: seguir video inicio fin x0 y0 x1 y1 salida.json";
inline constexpr std::string_view kNoImages = "No pude leer las imágenes.";
using common::kNoVideo;
using common::kReaderNotStarted;
inline constexpr std::string_view kNotSaved = "No pude guardar el resultado.";

// Summary line on success: "ok N cuadros", plus the suffix after a loss.
inline constexpr std::string_view kSummaryPrefix = "ok ";
inline constexpr std::string_view kSummaryFrames = " cuadros";
inline constexpr std::string_view kSummaryLost = " (se perdió)";

inline constexpr std::string_view kProbeMode = "--escala";

}  // namespace seguir
