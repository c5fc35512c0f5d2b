// The PNG writer: straight alpha and the colour profile.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "remover/png_writer.hpp"

namespace recortar {
namespace {

stills::Raster raster(std::initializer_list<std::array<std::uint8_t, 4>> pixels) {
  stills::Raster r(static_cast<int>(pixels.size()), 1);
  std::uint8_t* p = r.px.get();
  for (const auto& px : pixels) p = std::copy(px.begin(), px.end(), p);
  return r;
}

TEST(PngWriter, RoundTripToStraightAlphaWithProfile) {
  stills::Raster r = raster({{10, 20, 30, 255},  // opaque: exact
                             {50, 25, 0, 128},   // half: divided and rounded
                             {10, 10, 10, 0},    // transparent: no colour
                             {200, 10, 0, 100},  // more colour than alpha: clamped
                             {1, 1, 1, 1}});
  const std::vector<std::uint8_t> icc(300, 7);
  const EncodedPng png = encodePng(r, icc);
  ASSERT_FALSE(png.bytes.empty());
  const cv::Mat back = cv::imdecode(png.bytes, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(back.type(), CV_8UC4);
  ASSERT_EQ(back.size(), cv::Size(5, 1));
  // OpenCV hands back BGRA.
  EXPECT_EQ(back.at<cv::Vec4b>(0, 0), cv::Vec4b(30, 20, 10, 255));
  EXPECT_EQ(back.at<cv::Vec4b>(0, 1), cv::Vec4b(0, 50, 100, 128));
  EXPECT_EQ(back.at<cv::Vec4b>(0, 2), cv::Vec4b(0, 0, 0, 0));
  EXPECT_EQ(back.at<cv::Vec4b>(0, 3), cv::Vec4b(0, 26, 255, 100));
  EXPECT_EQ(back.at<cv::Vec4b>(0, 4), cv::Vec4b(255, 255, 255, 1));
  const std::optional<stills::Image> decoded = stills::decode(png.bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->icc, icc) << "the profile travels as iCCP";
}

// Larger images are deflated in bands that must join into one stream, in order.
TEST(PngWriter, ManyBandsJoinIntoTheSamePixels) {
  stills::Raster r(700, 900);  // about 2.5 MB of rows: three bands
  std::uint8_t* p = r.px.get();
  for (int y = 0; y < r.h; ++y) {
    for (int x = 0; x < r.w; ++x, p += 4) {
      p[0] = p[1] = p[2] = p[3] = 255;
      p[(x + y) % 3] = static_cast<std::uint8_t>((x * 7 + y * 13) ^ (y >> 2));
    }
  }
  const EncodedPng png = encodePng(r, {});
  ASSERT_FALSE(png.bytes.empty());
  const cv::Mat back = cv::imdecode(png.bytes, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(back.size(), cv::Size(r.w, r.h));
  cv::Mat expected(r.h, r.w, CV_8UC4, r.px.get());
  cv::cvtColor(expected, expected, cv::COLOR_RGBA2BGRA);
  EXPECT_EQ(cv::norm(back, expected, cv::NORM_INF), 0.0);
}

}  // namespace
}  // namespace recortar
