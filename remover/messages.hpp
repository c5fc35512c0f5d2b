// Every text recortar shows the user, byte for byte (each goes out as one
// line), and its exit statuses.
// Kept in one place so that a wording change cannot drift between paths.
#pragma once

namespace recortar {

namespace text {
inline constexpr char kUsage[] = "uso: recortar entrada salida.png";
inline constexpr char kUnreadable[] = "no pude leer la imagen";
inline constexpr char kNothingFound[] =
    "No encontré un sujeto ni un fondo liso que quitar. Prueba con Bria (fal).";
inline constexpr char kKeyedPrefix[] = "ok logo ";
inline constexpr char kSegmentedPrefix[] = "ok ";
// Failures of the segmentation path (status 1): the loader's reason, or the
// model's paths.
inline constexpr char kNoSegmentation[] = "no pude cargar la segmentación: ";
inline constexpr char kModelMissing[] = "falta el modelo de segmentación u2netp.onnx: no está en ";
inline constexpr char kModelUnreadable[] = "no pude cargar el modelo de segmentación ";
}  // namespace text

// The one option: the matte instead of the cut-out.
inline constexpr char kMatteOption[] = "--mascara";

namespace status {
inline constexpr int kOk = 0;
inline constexpr int kSegmentationFailed = 1;  // message: the failure's description
inline constexpr int kUsage = 2;
inline constexpr int kUnreadable = 3;
inline constexpr int kNothingFound = 4;
inline constexpr int kNotCreated = 5;   // silent
inline constexpr int kNotFinished = 6;  // silent
}  // namespace status

}  // namespace recortar
