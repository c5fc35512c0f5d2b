// The PNG writer: straight alpha out of the premultiplied raster, and the two
// failures of the output file kept apart.
#include <gtest/gtest.h>

#include <filesystem>

#include <opencv2/imgcodecs.hpp>

#include "messages.hpp"
#include "png_writer.hpp"

namespace recortar {
namespace {

namespace fs = std::filesystem;

TEST(PngWriter, RoundTripToStraightAlpha) {
  cv::Mat raster(1, 5, CV_8UC4);
  raster.at<cv::Vec4b>(0, 0) = {10, 20, 30, 255};  // opaque: exact
  raster.at<cv::Vec4b>(0, 1) = {50, 25, 0, 128};   // half: divided and rounded
  raster.at<cv::Vec4b>(0, 2) = {10, 10, 10, 0};    // transparent: no colour
  raster.at<cv::Vec4b>(0, 3) = {200, 10, 0, 100};  // more colour than alpha: clamped
  raster.at<cv::Vec4b>(0, 4) = {1, 1, 1, 1};
  const std::vector<std::uint8_t> png = encodePng(raster);
  const cv::Mat back = cv::imdecode(png, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(back.type(), CV_8UC4);
  ASSERT_EQ(back.size(), cv::Size(5, 1));
  // OpenCV hands back BGRA.
  EXPECT_EQ(back.at<cv::Vec4b>(0, 0), cv::Vec4b(30, 20, 10, 255));
  EXPECT_EQ(back.at<cv::Vec4b>(0, 1), cv::Vec4b(0, 50, 100, 128));
  EXPECT_EQ(back.at<cv::Vec4b>(0, 2), cv::Vec4b(0, 0, 0, 0));
  EXPECT_EQ(back.at<cv::Vec4b>(0, 3), cv::Vec4b(0, 26, 255, 100));
  EXPECT_EQ(back.at<cv::Vec4b>(0, 4), cv::Vec4b(255, 255, 255, 1));
}

// The file's two failures; the program-level tests cover a successful write.
TEST(PngFile, MissingFolderIsNotCreated) {
  cv::Mat raster(3, 4, CV_8UC4, cv::Scalar(1, 2, 3, 255));
  const fs::path out = fs::temp_directory_path() / "recortar-no-such-folder" / "salida.png";
  EXPECT_EQ(save(raster, out.string()), status::kNotCreated);
  EXPECT_FALSE(fs::exists(out));
}

TEST(PngFile, FullDeviceIsNotFinished) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  cv::Mat raster(3, 4, CV_8UC4, cv::Scalar(1, 2, 3, 255));
  EXPECT_EQ(save(raster, "/dev/full"), status::kNotFinished);
}

}  // namespace
}  // namespace recortar
