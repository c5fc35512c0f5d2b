// The PNG writer: straight alpha, the colour profile, and the replacement of
// the target, which must survive every failure untouched.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>

#include <opencv2/imgcodecs.hpp>

#include "remover/messages.hpp"
#include "remover/png_writer.hpp"
#include "tracker/helpers.hpp"

namespace recortar {
namespace {

namespace fs = std::filesystem;
using seguir::testing::readFile;
using seguir::testing::Scratch;

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

// The target is replaced with its permissions kept, or left untouched by
// every failure, and no temporary file stays either way.
TEST(PngFile, ReplacesTheTargetOrLeavesItAsItWas) {
  Scratch s;
  const std::string out = s.path("salida.png");
  std::ofstream(out) << "old";
  const auto perms = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(out, perms);
  stills::Raster r = raster({{1, 2, 3, 255}});
  ASSERT_EQ(save(r, {}, out), status::kOk);
  EXPECT_EQ(readFile(out).substr(1, 3), "PNG");
  EXPECT_EQ(fs::status(out).permissions(), perms);
  EXPECT_EQ(seguir::testing::entries(s.path("")), 1u);

  // A write that fails halfway (here the file-size limit; a full disk alike).
  const std::vector<std::uint8_t> bytes(5000, 42);
  EXPECT_EQ(seguir::testing::underFileSizeLimit(1000,
                                                [&] {
                                                  std::signal(SIGXFSZ, SIG_IGN);
                                                  return writeAtomically(out, bytes);
                                                }),
            status::kNotFinished);
  EXPECT_EQ(readFile(out).substr(1, 3), "PNG");
  EXPECT_EQ(seguir::testing::entries(s.path("")), 1u) << "the temporary file is removed";

  // Nowhere to create it: a missing folder, a folder in its place, a folder locked.
  fs::create_directory(s.path("folder.png"));
  fs::create_directory(s.path("locked"));
  fs::permissions(s.path("locked"), fs::perms::owner_read | fs::perms::owner_exec);
  std::vector<std::string> nowhere = {"missing/salida.png", "folder.png"};
  if (::geteuid() != 0) nowhere.push_back("locked/salida.png");  // root writes anywhere
  for (const std::string& name : nowhere) {
    EXPECT_EQ(save(r, {}, s.path(name)), status::kNotCreated) << name;
  }
  EXPECT_EQ(seguir::testing::entries(s.path("locked")), 0u);

  // Devices are written in place.
  EXPECT_EQ(writeAtomically("/dev/full", bytes), status::kNotFinished);
  EXPECT_EQ(writeAtomically("/dev/null", bytes), status::kOk);
}

}  // namespace
}  // namespace recortar
