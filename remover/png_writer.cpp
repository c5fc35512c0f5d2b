#include "png_writer.hpp"

#include <algorithm>
#include <cstdio>

#include <opencv2/imgcodecs.hpp>

#include "messages.hpp"

namespace recortar {

namespace {

// Premultiplied RGBA to straight BGRA, in place, for one row.
void unpremultiplyRow(std::uint8_t* px, int count) {
  for (int i = 0; i < count; ++i, px += 4) {
    const unsigned a = px[3];
    const unsigned r = px[0];
    const unsigned b = px[2];
    if (a == 255) {
      px[0] = static_cast<std::uint8_t>(b);
      px[2] = static_cast<std::uint8_t>(r);
    } else if (a == 0) {
      px[0] = px[1] = px[2] = 0;
    } else {
      // Keyed edge pixels may hold more colour than alpha; clamp, do not wrap.
      const auto straight = [a](unsigned c) {
        return static_cast<std::uint8_t>(std::min(255u, (c * 255u + a / 2) / a));
      };
      px[0] = straight(b);
      px[1] = straight(px[1]);
      px[2] = straight(r);
    }
  }
}

}  // namespace

std::vector<std::uint8_t> encodePng(cv::Mat& raster) {
  CV_Assert(raster.type() == CV_8UC4);
  for (int y = 0; y < raster.rows; ++y) unpremultiplyRow(raster.ptr(y), raster.cols);
  std::vector<std::uint8_t> png;
  cv::imencode(".png", raster, png);
  return png;
}

int save(cv::Mat& raster, const std::string& path) {
  std::vector<std::uint8_t> png;
  try {
    png = encodePng(raster);
  } catch (const cv::Exception&) {
    return status::kNotCreated;
  } catch (const std::bad_alloc&) {
    return status::kNotCreated;
  }
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return status::kNotCreated;
  const bool written = std::fwrite(png.data(), 1, png.size(), f) == png.size();
  const bool closed = std::fclose(f) == 0;
  return written && closed ? status::kOk : status::kNotFinished;
}

}  // namespace recortar
