#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "helpers.hpp"
#include "tracker/messages.hpp"
#include "tracker/probe.hpp"  // formatScore

namespace seguir {
namespace {

using testing::runSeguir;
using testing::Scratch;

// A 64 x 48 picture with texture in both directions.
cv::Mat textured() {
  cv::Mat m(48, 64, CV_8UC3);
  for (int y = 0; y < m.rows; ++y) {
    for (int x = 0; x < m.cols; ++x) {
      m.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uint8_t>((x * 37 + y * 11) % 256),
                                        static_cast<uint8_t>((x * 5 + y * y) % 256),
                                        static_cast<uint8_t>((x * x + y * 3) % 256));
    }
  }
  return m;
}

class Probe : public ::testing::Test {
 protected:
  void SetUp() override {
    cv::imwrite(s.path("tex.png"), textured());
    cv::imwrite(s.path("flat.png"), cv::Mat(30, 40, CV_8UC3, cv::Scalar(90, 90, 90)));
  }
  std::string line(const std::string& a, const std::string& b, const std::string& cands,
                   std::vector<std::string> rect = {"0", "0", "1", "1"}) {
    std::vector<std::string> args = {"--escala", s.path(a), s.path(b)};
    args.insert(args.end(), rect.begin(), rect.end());
    args.push_back(cands);
    const auto o = runSeguir(s, args);
    EXPECT_EQ(o.status, kStatusOk) << o.err;
    EXPECT_EQ(o.err, "");
    return o.out;
  }
  Scratch s;
};

TEST_F(Probe, SameImageScoresOneAndFlatImageZero) {
  EXPECT_EQ(line("tex.png", "tex.png", "0,0,1,1"), "1.0000\n");
  EXPECT_EQ(line("flat.png", "flat.png", "0,0,1,1"), "0.0000\n");
}

TEST_F(Probe, PiecesWithoutExactlyFourNumbersGiveMinusOne) {
  EXPECT_EQ(line("tex.png", "tex.png", "0,0,1,1;0,0,1,1;x"), "1.0000 1.0000 -1\n");
  EXPECT_EQ(line("tex.png", "tex.png", "0,0,1,1,1"), "-1\n");   // five numbers
  EXPECT_EQ(line("tex.png", "tex.png", "0, 0, 1, 1"), "-1\n");  // " 0" is no number
  EXPECT_EQ(line("tex.png", "tex.png", "0,0,1,1;;0,,0,1,1;"), "1.0000 1.0000\n");
  EXPECT_EQ(line("tex.png", "tex.png", ";;;"), "\n");
  EXPECT_EQ(line("tex.png", "tex.png", ""), "\n");
}

TEST_F(Probe, OutsideSamplesAreZero) {
  EXPECT_EQ(line("tex.png", "tex.png", "2,2,3,3"), "0.0000\n");  // wholly outside
  // Positions that no integer holds count as outside, like any other.
  EXPECT_EQ(line("tex.png", "tex.png", "0,-1e300,1,1e300"), "0.0000\n");
  // Partly outside: the zeros enter the grid and its mean, so the score drops.
  const std::string partly = line("tex.png", "tex.png", "0,0,1.5,1");
  EXPECT_NE(partly, "1.0000\n");
  EXPECT_NE(partly, "0.0000\n");
}

TEST_F(Probe, ReversedCornersMirror) {
  cv::Mat ramp(8, 48, CV_8UC1);
  for (int x = 0; x < 48; ++x) ramp.col(x).setTo(x * 5);
  cv::imwrite(s.path("ramp.png"), ramp);
  EXPECT_EQ(line("ramp.png", "ramp.png", "1,0,0,1"), "-1.0000\n");
}

TEST_F(Probe, TransparentPixelsCountAsBlack) {
  cv::Mat opaque(32, 32, CV_8UC3, cv::Scalar(0, 0, 0));
  opaque(cv::Rect(16, 0, 16, 32)).setTo(cv::Scalar(255, 255, 255));
  cv::Mat clear(32, 32, CV_8UC4, cv::Scalar(255, 255, 255, 0));  // white, fully transparent
  clear(cv::Rect(16, 0, 16, 32)).setTo(cv::Scalar(255, 255, 255, 255));
  cv::imwrite(s.path("opaque.png"), opaque);
  cv::imwrite(s.path("clear.png"), clear);
  EXPECT_EQ(line("opaque.png", "clear.png", "0,0,1,1"), "1.0000\n");
}

TEST_F(Probe, SixteenBitImagesReadLikeTheirEightBitForm) {
  cv::Mat wide;
  textured().convertTo(wide, CV_16UC3, 257.0);
  cv::imwrite(s.path("wide.png"), wide);
  EXPECT_EQ(line("wide.png", "tex.png", "0,0,1,1"), "1.0000\n");
}

TEST_F(Probe, UnreadableImagesAndMissingRectangle) {
  { std::ofstream(s.path("junk.png")) << "not an image"; }
  for (auto [a, b] : {std::pair{"junk.png", "tex.png"}, std::pair{"tex.png", "missing.png"}}) {
    const auto o = runSeguir(s, {"--escala", s.path(a), s.path(b), "0", "0", "1", "1", "0,0,1,1"});
    EXPECT_EQ(o.status, kStatusUnreadable);
    EXPECT_EQ(o.err, std::string(kNoImages) + "\n");
    EXPECT_EQ(o.out, "");
  }
  // Non-numbers among the rectangle's elements are skipped; fewer than four
  // numbers leave no rectangle.
  const auto o = runSeguir(
      s, {"--escala", s.path("tex.png"), s.path("tex.png"), "0", "x", "1", "1", "0,0,1,1"});
  EXPECT_EQ(o.status, kStatusUsage);
  EXPECT_EQ(o.err, std::string(kUsage) + "\n");
}

TEST(ProbeFormat, NegativeZeroKeepsItsSign) {
  EXPECT_EQ(formatScore(-0.00001f), "-0.0000");
  EXPECT_EQ(formatScore(0.99996f), "1.0000");
  EXPECT_EQ(formatScore(-1.0f), "-1.0000");
}

// The probe compares the file's raster as stored: no EXIF orientation (3, a
// half turn; 6 and 8, a quarter turn either way) is applied.
TEST(ProbeStill, KeepsTheStoredOrientation) {
  Scratch s;
  std::vector<uchar> jpeg;
  ASSERT_TRUE(cv::imencode(".jpg", textured(), jpeg));
  for (const uchar o : {1, 3, 6, 8}) {
    std::vector<uchar> file = jpeg;
    const std::vector<uchar> app1{0xFF, 0xE1, 0, 34, 'E', 'x', 'i', 'f', 0,    0,    'I', 'I',
                                  42,   0,    8, 0,  0,   0,   1,   0,   0x12, 0x01, 3,   0,
                                  1,    0,    0, 0,  o,   0,   0,   0,   0,    0,    0,   0};
    file.insert(file.begin() + 2, app1.begin(), app1.end());
    const std::string path = s.path("turned.jpg");
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
    const std::optional<core::Img> img = loadStill(path);
    ASSERT_TRUE(img) << int{o};
    EXPECT_EQ(img->w, 64) << int{o};
    EXPECT_EQ(img->h, 48) << int{o};
  }
}

}  // namespace
}  // namespace seguir
