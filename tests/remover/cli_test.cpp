// The built program end to end: arguments, statuses, messages, output file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "remover/messages.hpp"
#include "remover/saliency_network.hpp"
#include "support/helpers.hpp"

namespace recortar {
namespace {

std::string line(const char* text) {
  return std::string(text) + "\n";
}

namespace fs = std::filesystem;
using support::Outcome;
using support::readFile;
using support::Scratch;

// An image on a white background with a dark disc: the keying takes it.
cv::Mat flatImage() {
  cv::Mat m(30, 40, CV_8UC3, cv::Scalar(255, 255, 255));
  cv::circle(m, {20, 15}, 8, cv::Scalar(40, 60, 200), cv::FILLED);
  return m;
}

// A busy texture: the keying declines and the segmentation finds nothing.
cv::Mat noise() {
  cv::Mat m(240, 320, CV_8UC3);
  cv::RNG(3).fill(m, cv::RNG::UNIFORM, 0, 256);
  return m;
}

class Program : public ::testing::Test {
 protected:
  Outcome run(const std::vector<std::string>& args, const std::string& before = "") {
    return support::runProgram(RECORTAR_BINARY, s, args, before);
  }
  std::string write(const std::string& name, const cv::Mat& image) {
    EXPECT_TRUE(cv::imwrite(path(name), image));
    return path(name);
  }
  // recortar --mascara gives the alpha of the cut-out, as one grey PNG, with
  // the cut-out's summary line.
  void expectMatteIsTheCutOutsAlpha(const std::string& in) {
    const Outcome cut = run({in, path("cut.png")});
    const Outcome matte = run({kMatteOption, in, path("matte.png")});
    EXPECT_EQ(matte.status, cut.status) << in;
    EXPECT_EQ(matte.out, cut.out) << in;
    const cv::Mat alpha = cv::imread(path("matte.png"), cv::IMREAD_UNCHANGED);
    cv::Mat expected;
    cv::extractChannel(cv::imread(path("cut.png"), cv::IMREAD_UNCHANGED), expected, 3);
    ASSERT_EQ(alpha.type(), CV_8UC1) << in;
    EXPECT_EQ(cv::countNonZero(alpha != expected), 0) << in;
  }
  void writeBytes(const std::string& name, const std::vector<std::uint8_t>& bytes, size_t n) {
    std::ofstream(path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(n));
  }
  std::string path(const std::string& name) const { return s.path(name); }
  Scratch s;
};

// A wrong argument count; an input missing, not an image, cut short, or
// declaring a hostile size; an output nowhere to be made (no word said); a
// busy texture with no subject; a file-size limit (a full disk alike) that
// fails the write rather than killing the program: the status, the one
// message, nothing written and no temporary file left beside the target.
TEST_F(Program, FailuresSayOneThingAndWriteNothing) {
  const std::string in = write("in.png", flatImage());
  std::ofstream(path("not-an-image.png")) << "hola\n";
  std::vector<std::uint8_t> png;
  ASSERT_TRUE(cv::imencode(".png", noise(), png));
  writeBytes("half.png", png, png.size() / 2);
  std::ofstream(path("huge.ppm")) << "P6\n100000 100000\n255\n";
  cv::Mat busy(200, 300, CV_8UC3, cv::Scalar(255, 255, 255));
  cv::Mat disc = busy(cv::Rect(100, 50, 100, 100));
  cv::RNG(5).fill(disc, cv::RNG::UNIFORM, 0, 200);  // incompressible, so over the limit
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err, before = "";
  } cases[] = {
      {{in}, status::kUsage, line(text::kUsage)},
      {{in, path("out.png"), path("b.png")}, status::kUsage, line(text::kUsage)},
      {{"--otra", in, path("out.png")}, status::kUsage, line(text::kUsage)},
      {{kMatteOption, in, path("out.png"), "x"}, status::kUsage, line(text::kUsage)},
      {{path("missing.png"), path("out.png")}, status::kUnreadable, line(text::kUnreadable)},
      {{path("not-an-image.png"), path("out.png")}, status::kUnreadable, line(text::kUnreadable)},
      {{path("half.png"), path("out.png")}, status::kUnreadable, line(text::kUnreadable)},
      {{path("huge.ppm"), path("out.png")}, status::kUnreadable, line(text::kUnreadable)},
      {{in, path("nowhere/out.png")}, status::kNotCreated, ""},
      {{write("noise.png", noise()), path("out.png")},
       status::kNothingFound,
       line(text::kNothingFound)},
      {{write("busy.png", busy), path("out.png")}, status::kNotFinished, "", "ulimit -f 8; "},
  };
  for (const auto& c : cases) {
    const Outcome o = run(c.args, c.before);
    EXPECT_EQ(o.status, c.status) << c.args[0];
    EXPECT_EQ(o.err, c.err) << c.args[0];
    EXPECT_EQ(o.out, "");
    EXPECT_FALSE(fs::exists(path("out.png"))) << c.args[0];
    EXPECT_EQ(support::entries(path("")), 8u) << c.args[0] << ": the inputs and the two logs only";
  }
}

// JPEG, grey and 16-bit inputs are keyed; an output name without .png still
// gets a PNG. A phone's JPEG, stored sideways with the EXIF orientation (6:
// turn a quarter clockwise) in an APP1 segment right after the start marker,
// is cut out upright.
TEST_F(Program, FlatBackgroundIsKeyed) {
  cv::Mat grey, deep;
  cv::cvtColor(flatImage(), grey, cv::COLOR_BGR2GRAY);
  flatImage().convertTo(deep, CV_16U, 257.0);
  std::vector<std::uint8_t> jpeg;
  ASSERT_TRUE(cv::imencode(".jpg", flatImage(), jpeg));
  const std::vector<std::uint8_t> app1{0xFF, 0xE1, 0, 34, 'E', 'x', 'i', 'f', 0,    0,    'M', 'M',
                                       0,    42,   0, 0,  0,   8,   0,   1,   0x01, 0x12, 0,   3,
                                       0,    0,    0, 1,  0,   6,   0,   0,   0,    0,    0,   0};
  jpeg.insert(jpeg.begin() + 2, app1.begin(), app1.end());
  writeBytes("phone.jpg", jpeg, jpeg.size());
  for (const auto& [in, out, summary, disc] :
       {std::tuple{write("in.jpg", flatImage()), "out.png", "ok logo 40x30\n", cv::Point(20, 15)},
        std::tuple{write("grey.png", grey), "grey-out.png", "ok logo 40x30\n", cv::Point(20, 15)},
        std::tuple{write("deep.png", deep), "salida", "ok logo 40x30\n", cv::Point(20, 15)},
        std::tuple{path("phone.jpg"), "upright.png", "ok logo 30x40\n", cv::Point(15, 20)}}) {
    const Outcome o = run({in, path(out)});
    EXPECT_EQ(o.status, status::kOk) << in;
    EXPECT_EQ(o.out, summary) << in;
    EXPECT_EQ(o.err, "");
    const cv::Mat png = cv::imread(path(out), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(png.type(), CV_8UC4) << in;
    EXPECT_EQ(png.at<cv::Vec4b>(0, 0)[3], 0);
    EXPECT_EQ(png.at<cv::Vec4b>(disc)[3], 255) << in << ": the disc";
  }
  EXPECT_EQ(readFile(path("salida")).substr(1, 3), "PNG");
  expectMatteIsTheCutOutsAlpha(path("in.jpg"));
}

TEST_F(Program, ASubjectIsCutOut) {
  cv::Mat scene = noise();
  cv::GaussianBlur(scene, scene, cv::Size(), 2);
  cv::ellipse(scene, {160, 120}, {60, 80}, 0, 0, 360, cv::Scalar(30, 200, 250), cv::FILLED);
  // The cut-out itself is the segmentation tests' to judge.
  const Outcome some = run({write("scene.png", scene), path("some.png")});
  EXPECT_EQ(some.status, status::kOk);
  EXPECT_EQ(some.out, "ok 320x240\n");
  EXPECT_EQ(cv::imread(path("some.png"), cv::IMREAD_UNCHANGED).type(), CV_8UC4);
  expectMatteIsTheCutOutsAlpha(path("scene.png"));
}

TEST_F(Program, FifoInputInputAsOutputAndOutputThroughALink) {
  const std::string in = write("in.png", flatImage());
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  const std::string feed = "cat '" + in + "' > '" + path("fifo") + "' &";
  ASSERT_EQ(std::system(feed.c_str()), 0);
  EXPECT_EQ(run({path("fifo"), path("out.png")}).out, "ok logo 40x30\n") << "read once";
  // The input replaced by its own cut-out, through a temporary file.
  EXPECT_EQ(run({in, in}).out, "ok logo 40x30\n");
  EXPECT_EQ(cv::imread(in, cv::IMREAD_UNCHANGED).type(), CV_8UC4);
  EXPECT_EQ(std::distance(fs::directory_iterator(path("")), {}), 5) << "no temporary file left";
  // An output through a link replaces the file it names; the link stays.
  fs::create_symlink("out.png", path("link.png"));
  EXPECT_EQ(run({write("again.png", flatImage()), path("link.png")}).out, "ok logo 40x30\n");
  EXPECT_TRUE(fs::is_symlink(path("link.png")));
  EXPECT_EQ(cv::imread(path("out.png"), cv::IMREAD_UNCHANGED).type(), CV_8UC4);
}

// The program copied away from its segmentation module, then with the module
// but where no model lies beside it nor under the prefix: the keying still
// works, the segmentation path fails with status 1 and one line (naming the
// model), and nothing is written.
TEST_F(Program, WithoutItsModuleOrModelSegmentationFailsSaying) {
  const std::string flat = write("flat.png", flatImage()), busy = write("noise.png", noise());
  fs::create_directories(path("bin"));
  const std::string program = path("bin/recortar");
  fs::copy_file(RECORTAR_BINARY, program);
  const fs::path module = RECORTAR_MODULE;
  for (const bool withModule : {false, true}) {
    SCOPED_TRACE(withModule ? "module, no model" : "no module");
    if (withModule) fs::copy_file(module, path("bin/" + module.filename().string()));
    const Outcome o = support::runProgram(program, s, {busy, path("o.png")});
    EXPECT_EQ(o.status, status::kSegmentationFailed);
    EXPECT_EQ(o.err.rfind(withModule ? text::kModelMissing : text::kNoSegmentation, 0), 0u)
        << o.err;
    if (withModule) {
      EXPECT_NE(o.err.find(path("bin/" + std::string(kModelName))), std::string::npos);
    }
    EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << "one line";
    EXPECT_EQ(o.out, "");
    EXPECT_FALSE(fs::exists(path("o.png")));
    EXPECT_EQ(support::runProgram(program, s, {flat, path("k.png")}).out, "ok logo 40x30\n");
  }
}

}  // namespace
}  // namespace recortar
