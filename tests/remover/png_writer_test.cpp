// The PNG writer: straight alpha, the colour profile, and the replacement of
// the target, which must survive every failure untouched.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

stills::Raster raster(std::initializer_list<std::array<std::uint8_t, 4>> pixels) {
  stills::Raster r(static_cast<int>(pixels.size()), 1);
  std::uint8_t* p = r.px.get();
  for (const auto& px : pixels) p = std::copy(px.begin(), px.end(), p);
  return r;
}

// A fresh folder per test, removed with everything left in it.
struct Folder {
  fs::path dir =
      fs::temp_directory_path() / ("recortar-png-" + std::to_string(::getpid()) + "-" +
                                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
  Folder() { fs::create_directories(dir); }
  ~Folder() {
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir);
  }
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), {}));
  }
};

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

TEST(PngFile, ReplacesTheTargetAndKeepsItsPermissions) {
  Folder f;
  const fs::path out = f.dir / "salida.png";
  std::ofstream(out) << "old";
  fs::permissions(out, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  stills::Raster r = raster({{1, 2, 3, 255}});
  ASSERT_EQ(save(r, {}, out.string()), status::kOk);
  EXPECT_EQ(readFile(out).substr(1, 3), "PNG");
  EXPECT_EQ(fs::status(out).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(f.entries(), 1u) << "no temporary file left";
}

TEST(PngFile, CannotCreateLeavesNothing) {
  Folder f;
  stills::Raster r = raster({{1, 2, 3, 255}});
  EXPECT_EQ(save(r, {}, (f.dir / "missing" / "salida.png").string()), status::kNotCreated);
  fs::create_directory(f.dir / "folder.png");
  EXPECT_EQ(save(r, {}, (f.dir / "folder.png").string()), status::kNotCreated) << "a folder";
  if (::geteuid() != 0) {  // root writes anywhere
    const fs::path locked = f.dir / "locked";
    fs::create_directory(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(save(r, {}, (locked / "salida.png").string()), status::kNotCreated);
    EXPECT_EQ(std::distance(fs::directory_iterator(locked), {}), 0);
  }
}

// A write that fails halfway (here the file-size limit; a full disk alike)
// must leave the old target whole and no temporary file.
TEST(PngFile, FailedWriteKeepsTheOldTarget) {
  Folder f;
  const fs::path out = f.dir / "photo.png";
  std::ofstream(out) << "the input, which must survive";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1000, 1000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::vector<std::uint8_t> bytes(5000, 42);
    ::_exit(writeAtomically(out.string(), bytes));
  }
  int raw = 0;
  ::waitpid(child, &raw, 0);
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), status::kNotFinished);
  EXPECT_EQ(readFile(out), "the input, which must survive");
  EXPECT_EQ(f.entries(), 1u) << "the temporary file is removed";
}

TEST(PngFile, DevicesAreWrittenInPlace) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  const std::vector<std::uint8_t> bytes(10, 1);
  EXPECT_EQ(writeAtomically("/dev/full", bytes), status::kNotFinished);
  EXPECT_EQ(writeAtomically("/dev/null", bytes), status::kOk);
}

}  // namespace
}  // namespace recortar
