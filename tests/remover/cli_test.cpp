// The built program end to end: arguments, statuses, messages, output file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "remover/messages.hpp"

namespace recortar {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out, err;
};

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// An image on a white background with a dark disc: the keying takes it.
cv::Mat flatImage() {
  cv::Mat m(30, 40, CV_8UC3, cv::Scalar(255, 255, 255));
  cv::circle(m, {20, 15}, 8, cv::Scalar(40, 60, 200), cv::FILLED);
  return m;
}

// A busy texture: the keying declines and the segmentation finds nothing.
cv::Mat noise() {
  cv::Mat m(240, 320, CV_8UC3);
  cv::RNG rng(3);
  rng.fill(m, cv::RNG::UNIFORM, 0, 256);
  return m;
}

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("recortar-cli-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
            std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  Outcome run(const std::vector<std::string>& args) {
    std::string command = std::string("'") + RECORTAR_BINARY + "'";
    for (const std::string& a : args) command += " '" + a + "'";
    command += " >'" + (dir_ / "stdout").string() + "' 2>'" + (dir_ / "stderr").string() + "'";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(dir_ / "stdout"), slurp(dir_ / "stderr")};
  }

  std::string write(const std::string& name, const cv::Mat& image) {
    const std::string path = (dir_ / name).string();
    EXPECT_TRUE(cv::imwrite(path, image));
    return path;
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

TEST_F(Program, WrongArgumentCount) {
  const std::string in = write("in.png", flatImage());
  for (const auto& args : {std::vector<std::string>{in}, {in, path("a.png"), path("b.png")}}) {
    const Outcome o = run(args);
    EXPECT_EQ(o.status, status::kUsage);
    EXPECT_EQ(o.err, text::kUsage);
    EXPECT_EQ(o.out, "");
  }
  EXPECT_FALSE(fs::exists(path("a.png")));
  EXPECT_FALSE(fs::exists(path("b.png")));
}

TEST_F(Program, UnreadableInput) {
  std::ofstream(path("not-an-image.png")) << "hola\n";
  for (const std::string& in : {path("missing.png"), path("not-an-image.png")}) {
    const Outcome o = run({in, path("out.png")});
    EXPECT_EQ(o.status, status::kUnreadable) << in;
    EXPECT_EQ(o.err, text::kUnreadable);
    EXPECT_EQ(o.out, "");
    EXPECT_FALSE(fs::exists(path("out.png")));
  }
}

TEST_F(Program, FlatBackgroundIsKeyed) {
  const Outcome o = run({write("in.jpg", flatImage()), path("out.png")});
  EXPECT_EQ(o.status, status::kOk);
  EXPECT_EQ(o.out, "ok logo 40x30\n");
  EXPECT_EQ(o.err, "");
  const cv::Mat png = cv::imread(path("out.png"), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(png.type(), CV_8UC4);
  EXPECT_EQ(png.at<cv::Vec4b>(0, 0)[3], 0);
  EXPECT_EQ(png.at<cv::Vec4b>(15, 20)[3], 255);
}

TEST_F(Program, GreyAndDeepInputsAreKeyed) {
  cv::Mat grey;
  cv::cvtColor(flatImage(), grey, cv::COLOR_BGR2GRAY);
  cv::Mat deep;
  flatImage().convertTo(deep, CV_16U, 257.0);
  for (const auto& [name, image] : {std::pair{"grey.png", grey}, std::pair{"deep.png", deep}}) {
    const Outcome o = run({write(name, image), path("out.png")});
    EXPECT_EQ(o.out, "ok logo 40x30\n") << name;
  }
}

TEST_F(Program, OutputNameWithoutPngGetsPng) {
  const Outcome o = run({write("in.png", flatImage()), path("salida")});
  ASSERT_EQ(o.status, status::kOk);
  EXPECT_EQ(slurp(path("salida")).substr(1, 3), "PNG");
}

TEST_F(Program, OutputInMissingFolderIsSilent) {
  const Outcome o = run({write("in.png", flatImage()), path("nowhere/out.png")});
  EXPECT_EQ(o.status, status::kNotCreated);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.out, "");
}

TEST_F(Program, FirstPageOfMultiPageTiff) {
  const std::string in = path("pages.tiff");
  ASSERT_TRUE(cv::imwritemulti(in, std::vector<cv::Mat>{flatImage(), noise()}));
  EXPECT_EQ(run({in, path("out.png")}).out, "ok logo 40x30\n") << "page 0 is flat";
  const std::string reversed = path("reversed.tiff");
  ASSERT_TRUE(cv::imwritemulti(reversed, std::vector<cv::Mat>{noise(), flatImage()}));
  EXPECT_EQ(run({reversed, path("out.png")}).status, status::kNothingFound) << "page 0 is noise";
}

TEST_F(Program, NoSubjectAndSubject) {
  const Outcome none = run({write("noise.png", noise()), path("none.png")});
  EXPECT_EQ(none.status, status::kNothingFound);
  EXPECT_EQ(none.err, text::kNothingFound);
  EXPECT_EQ(none.out, "");
  EXPECT_FALSE(fs::exists(path("none.png")));

  cv::Mat scene = noise();
  cv::GaussianBlur(scene, scene, cv::Size(), 2);
  cv::ellipse(scene, {160, 120}, {60, 80}, 0, 0, 360, cv::Scalar(30, 200, 250), cv::FILLED);
  const Outcome some = run({write("scene.png", scene), path("some.png")});
  EXPECT_EQ(some.status, status::kOk);
  EXPECT_EQ(some.out, "ok 320x240\n");
  const cv::Mat png = cv::imread(path("some.png"), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(png.type(), CV_8UC4);
  EXPECT_EQ(png.at<cv::Vec4b>(120, 160)[3], 255);
  EXPECT_EQ(png.at<cv::Vec4b>(5, 5)[3], 0);
}

// A phone's JPEG: stored sideways, with the EXIF orientation (6: turn a
// quarter clockwise) in an APP1 segment right after the start marker.
std::vector<std::uint8_t> sideways(const cv::Mat& image) {
  std::vector<std::uint8_t> jpeg;
  EXPECT_TRUE(cv::imencode(".jpg", image, jpeg));
  const std::vector<std::uint8_t> app1{0xFF, 0xE1, 0, 34, 'E', 'x', 'i', 'f', 0,    0,    'M', 'M',
                                       0,    42,   0, 0,  0,   8,   0,   1,   0x01, 0x12, 0,   3,
                                       0,    0,    0, 1,  0,   6,   0,   0,   0,    0,    0,   0};
  jpeg.insert(jpeg.begin() + 2, app1.begin(), app1.end());
  return jpeg;
}

TEST_F(Program, PhotoIsCutOutUpright) {
  const std::vector<std::uint8_t> jpeg = sideways(flatImage());
  std::ofstream(path("phone.jpg"), std::ios::binary)
      .write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
  const Outcome o = run({path("phone.jpg"), path("out.png")});
  EXPECT_EQ(o.out, "ok logo 30x40\n") << "the upright picture's size";
  const cv::Mat png = cv::imread(path("out.png"), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(png.size(), cv::Size(30, 40));
  EXPECT_EQ(png.at<cv::Vec4b>(20, 15)[3], 255) << "the disc, turned";
}

// Damaged and hostile inputs: status 3, the one message, nothing written.
TEST_F(Program, DamagedInputsAreUnreadable) {
  std::vector<std::uint8_t> png;
  ASSERT_TRUE(cv::imencode(".png", noise(), png));
  std::ofstream(path("half.png"), std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()),
             static_cast<std::streamsize>(png.size() / 2));
  std::ofstream(path("huge.ppm")) << "P6\n100000 100000\n255\n";
  for (const std::string name : {"half.png", "huge.ppm"}) {
    const Outcome o = run({path(name), path("out.png")});
    EXPECT_EQ(o.status, status::kUnreadable) << name;
    EXPECT_EQ(o.err, text::kUnreadable) << name;
    EXPECT_FALSE(fs::exists(path("out.png"))) << name;
  }
}

TEST_F(Program, FifoInputAndInputAsOutput) {
  const std::string in = write("in.png", flatImage());
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  const std::string feed = "cat '" + in + "' > '" + path("fifo") + "' &";
  ASSERT_EQ(std::system(feed.c_str()), 0);
  EXPECT_EQ(run({path("fifo"), path("out.png")}).out, "ok logo 40x30\n") << "read once";
  // The input replaced by its own cut-out, through a temporary file.
  EXPECT_EQ(run({in, in}).out, "ok logo 40x30\n");
  EXPECT_EQ(cv::imread(in, cv::IMREAD_UNCHANGED).type(), CV_8UC4);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 5) << "no temporary file left";
}

// Without the segmentation module beside it, the keying still works and the
// segmentation path fails with one line.
TEST_F(Program, MissingSegmentationModule) {
  const fs::path alone = dir_ / "recortar";
  fs::copy_file(RECORTAR_BINARY, alone);
  const std::string command = "'" + alone.string() + "' '" + write("noise.png", noise()) + "' '" +
                              path("o.png") + "' 2>'" + path("err") + "'";
  const int raw = std::system(command.c_str());
  EXPECT_EQ(WEXITSTATUS(raw), status::kSegmentationFailed);
  const std::string err = slurp(path("err"));
  EXPECT_EQ(err.rfind(text::kNoSegmentation, 0), 0u) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

}  // namespace
}  // namespace recortar
