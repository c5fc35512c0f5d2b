// The PNG writer: straight alpha and the colour profile.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

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
  ASSERT_TRUE(png.data);
  const std::span<const std::uint8_t> bytes(png.data.get(), png.size);
  const cv::Mat back =
      cv::imdecode(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(back.type(), CV_8UC4);
  ASSERT_EQ(back.size(), cv::Size(5, 1));
  // OpenCV hands back BGRA.
  EXPECT_EQ(back.at<cv::Vec4b>(0, 0), cv::Vec4b(30, 20, 10, 255));
  EXPECT_EQ(back.at<cv::Vec4b>(0, 1), cv::Vec4b(0, 50, 100, 128));
  EXPECT_EQ(back.at<cv::Vec4b>(0, 2), cv::Vec4b(0, 0, 0, 0));
  EXPECT_EQ(back.at<cv::Vec4b>(0, 3), cv::Vec4b(0, 26, 255, 100));
  EXPECT_EQ(back.at<cv::Vec4b>(0, 4), cv::Vec4b(255, 255, 255, 1));
  const std::optional<stills::Image> decoded = stills::decode(bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->icc, icc) << "the profile travels as iCCP";
}

}  // namespace
}  // namespace recortar
