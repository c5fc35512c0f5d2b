// Every line seguir shows a user, and its exit statuses, in one place. The
// texts are an external interface: scripts compare them byte for byte.
#pragma once

#include <string_view>

namespace seguir {

// Exit statuses. 1 and 5 are never produced.
inline constexpr int kStatusOk = 0;
inline constexpr int kStatusUsage = 2;
inline constexpr int kStatusUnreadable = 3;  // no video track, or the still images
inline constexpr int kStatusReader = 4;      // the video cannot be decoded
inline constexpr int kStatusNotSaved = 6;

inline constexpr std::string_view kUsage = "uso: seguir video inicio fin x0 y0 x1 y1 salida.json";
inline constexpr std::string_view kNoImages = "No pude leer las imágenes.";
inline constexpr std::string_view kNoVideo = "El archivo no tiene video.";
// Followed directly by FFmpeg's own description of the error.
inline constexpr std::string_view kReaderFailedPrefix = "No pude leer el video: ";
inline constexpr std::string_view kReaderNotStarted = "No pude leer el video.";
inline constexpr std::string_view kNotSaved = "No pude guardar el resultado.";

// Summary line on success: "ok N cuadros", plus the suffix after a loss.
inline constexpr std::string_view kSummaryPrefix = "ok ";
inline constexpr std::string_view kSummaryFrames = " cuadros";
inline constexpr std::string_view kSummaryLost = " (se perdió)";

inline constexpr std::string_view kProbeMode = "--escala";

}  // namespace seguir
