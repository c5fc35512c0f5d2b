// The PNG writer. PNG stores straight alpha, so the premultiplied raster is
// divided back (colour bytes clamped to 255, a fully transparent pixel stored
// as 0,0,0,0) and encoded with OpenCV's default PNG parameters, which measured
// 2–3× faster than an explicit compression level and gave smaller files.
//
// Encoding happens in memory before the output file is touched, so the two
// failures of the file itself stay apart: it cannot be created (nothing is
// left behind), or it cannot be written and closed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace recortar {

// Encodes the raster as PNG. The raster is consumed: it is turned into
// straight BGRA in place to avoid a second full-size buffer. Throws
// cv::Exception when OpenCV cannot encode it.
std::vector<std::uint8_t> encodePng(cv::Mat& raster);

// Writes the raster as PNG to `path`; returns status::kOk, kNotCreated (the
// file cannot be created, or the raster not encoded) or kNotFinished (writing
// or closing failed).
int save(cv::Mat& raster, const std::string& path);

}  // namespace recortar
