// Every line pista shows a user, and its exit statuses, in one place.
#pragma once

#include <string_view>

#include "common/video_failure.hpp"

namespace pista {

inline constexpr int kStatusOk = 0;
inline constexpr int kStatusUsage = 2;
// 3 and 4, the video's failures, are seguir's own (common/video_failure.hpp).
using common::kStatusNoVideo;
inline constexpr int kStatusBadTrack = 5;  // the track cannot be read, or is not this video's
inline constexpr int kStatusNotSaved = 6;

inline constexpr std::string_view kUsage =
    "uso: pista video pista.json salida.png|salida.mp4 [x0 y0 x1 y1]";
// The video's failures, in seguir's words.
using common::kNoVideo;
inline constexpr std::string_view kTrackUnreadable = "No pude leer la pista.";
inline constexpr std::string_view kTrackEmpty = "La pista no tiene cuadros.";
inline constexpr std::string_view kTrackSize = "La pista es de un video de otro tamaño.";
inline constexpr std::string_view kTrackTimes = "La pista tiene tiempos que no están en el video.";
inline constexpr std::string_view kNotSaved = "No pude guardar el resultado.";

// Success: "ok hoja de 12 cuadros" or "ok video de N cuadros".
inline constexpr std::string_view kSheetDone = "ok hoja de ";
inline constexpr std::string_view kVideoDone = "ok video de ";
inline constexpr std::string_view kFrames = " cuadros";

}  // namespace pista
