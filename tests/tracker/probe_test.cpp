#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "core/grey.hpp"
#include "support/helpers.hpp"
#include "support/scene.hpp"
#include "tracker/messages.hpp"
#include "tracker/probe.hpp"

namespace seguir {
namespace {

using support::runSeguir;
using support::Scratch;

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

// Pictures for the probe: a texture, a horizontal ramp, the
// texture in 16 bits, and two halves black and white of which the black one
// is white but fully transparent in the second picture.
void writePictures(const Scratch& s) {
  cv::imwrite(s.path("tex.png"), textured());
  cv::Mat ramp(8, 48, CV_8UC1);
  for (int x = 0; x < 48; ++x) ramp.col(x).setTo(x * 5);
  cv::imwrite(s.path("ramp.png"), ramp);
  cv::Mat wide;
  textured().convertTo(wide, CV_16UC3, 257.0);
  cv::imwrite(s.path("wide.png"), wide);
  cv::Mat opaque(32, 32, CV_8UC3, cv::Scalar(0, 0, 0));
  opaque(cv::Rect(16, 0, 16, 32)).setTo(cv::Scalar(255, 255, 255));
  cv::Mat clear(32, 32, CV_8UC4, cv::Scalar(255, 255, 255, 0));
  clear(cv::Rect(16, 0, 16, 32)).setTo(cv::Scalar(255, 255, 255, 255));
  cv::imwrite(s.path("opaque.png"), opaque);
  cv::imwrite(s.path("clear.png"), clear);
}

TEST(Probe, ScoresLinesOfCandidates) {
  Scratch s;
  writePictures(s);
  const struct {
    const char *a, *b, *candidates, *line;
  } cases[] = {
      {"tex.png", "tex.png", "0,0,1,1", "1.0000\n"},
      // Pieces without exactly four numbers score -1; empty pieces are skipped.
      {"tex.png", "tex.png", "0,0,1,1;0,0,1,1;x", "1.0000 1.0000 -1\n"},
      {"tex.png", "tex.png", "0,0,1,1,1", "-1\n"},
      {"tex.png", "tex.png", "0, 0, 1, 1", "-1\n"},  // " 0" is no number
      {"tex.png", "tex.png", "0,0,1,1;;0,,0,1,1;", "1.0000 1.0000\n"},
      // A candidate with a non-finite number scores -1, its neighbours as usual.
      {"tex.png", "tex.png", "0,0,1,1;nan,0,1,1;0,0,inf,1;0,-1e999,1,1", "1.0000 -1 -1 -1\n"},
      {"tex.png", "tex.png", "", "\n"},
      // Samples outside the picture are zero, also where no integer holds them.
      {"tex.png", "tex.png", "2,2,3,3", "0.0000\n"},
      {"tex.png", "tex.png", "0,-1e300,1,1e300", "0.0000\n"},
      {"ramp.png", "ramp.png", "1,0,0,1", "-1.0000\n"},    // reversed corners mirror
      {"opaque.png", "clear.png", "0,0,1,1", "1.0000\n"},  // transparent is black
      {"wide.png", "tex.png", "0,0,1,1", "1.0000\n"},      // 16 bits read as 8
  };
  for (const auto& c : cases) {
    const auto o =
        runSeguir(s, {"--escala", s.path(c.a), s.path(c.b), "0", "0", "1", "1", c.candidates});
    EXPECT_EQ(o.status, kStatusOk) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out, c.line) << c.a << " " << c.b << " " << c.candidates;
  }

  // Partly outside: the zeros enter the grid and its mean, so the score drops.
  const auto partly = runSeguir(
      s, {"--escala", s.path("tex.png"), s.path("tex.png"), "0", "0", "1", "1", "0,0,1.5,1"});
  EXPECT_EQ(partly.status, kStatusOk);
  EXPECT_NE(partly.out, "1.0000\n");
  EXPECT_NE(partly.out, "0.0000\n");

  // Unreadable pictures. Non-numbers among the rectangle's elements are
  // skipped, so fewer than four numbers leave no rectangle; a non-finite one
  // is a usage error too.
  { std::ofstream(s.path("junk.png")) << "not an image"; }
  for (const auto& [a, b, y0, status, err] :
       {std::tuple{"junk.png", "tex.png", "0", kStatusUnreadable, kNoImages},
        {"tex.png", "missing.png", "0", kStatusUnreadable, kNoImages},
        {"tex.png", "tex.png", "x", kStatusUsage, kUsage},
        {"tex.png", "tex.png", "nan", kStatusUsage, kUsage},
        {"tex.png", "tex.png", "1e999", kStatusUsage, kUsage}}) {
    const auto o = runSeguir(s, {"--escala", s.path(a), s.path(b), "0", y0, "1", "1", "0,0,1,1"});
    EXPECT_EQ(o.status, status) << a << " " << b << " " << y0;
    EXPECT_EQ(o.err, std::string(err) + "\n");
    EXPECT_EQ(o.out, "");
  }
}

// The probe compares the file's raster as stored: no EXIF orientation (6 and
// 8, a quarter turn either way) is applied.
TEST(ProbeStill, KeepsTheStoredOrientation) {
  Scratch s;
  std::vector<uchar> jpeg;
  ASSERT_TRUE(cv::imencode(".jpg", textured(), jpeg));
  for (const uchar o : {6, 8}) {
    std::vector<uchar> file = jpeg;
    const std::vector<uchar> app1{0xFF, 0xE1, 0, 34, 'E', 'x', 'i', 'f', 0,    0,    'I', 'I',
                                  42,   0,    8, 0,  0,   0,   1,   0,   0x12, 0x01, 3,   0,
                                  1,    0,    0, 0,  o,   0,   0,   0,   0,    0,    0,   0};
    file.insert(file.begin() + 2, app1.begin(), app1.end());
    std::ofstream(s.path("turned.jpg"), std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
    const std::optional<core::Img> img = loadStill(s.path("turned.jpg"));
    ASSERT_TRUE(img) << int{o};
    EXPECT_EQ(img->w, 64) << int{o};
    EXPECT_EQ(img->h, 48) << int{o};
  }
}

// A flat picture's grid, once its mean is removed, holds only the rounding
// of that mean, which used to correlate perfectly (1.0000 or -1.0000) with
// the rounding of another flat grid.
TEST(ProbeFlat, FlatGridsScoreZero) {
  const unsigned colours[][3] = {{252, 240, 221}, {249, 255, 153}, {128, 128, 128},
                                 {0, 0, 0},       {255, 255, 255}, {13, 77, 201}};
  const auto plain = [](const unsigned(&c)[3]) {
    return core::Img{200, 200, std::vector<float>(200 * 200, core::greyOf(c[0], c[1], c[2]))};
  };
  const core::Img tex = support::renderImg({160, 120, 1, 0}, true, false);
  for (const auto& a : colours) {
    EXPECT_EQ(probeLine(plain(a), tex, .1, .1, .9, .9, ".1,.1,.9,.9"), "0.0000");
    EXPECT_EQ(probeLine(tex, plain(a), .1, .1, .9, .9, ".1,.1,.9,.9"), "0.0000");
    for (const auto& b : colours) {
      EXPECT_EQ(probeLine(plain(a), plain(b), .1, .1, .9, .9, ".1,.1,.9,.9;0,0,1,1"),
                "0.0000 0.0000")
          << a[0] << "," << a[1] << "," << a[2] << " against " << b[0] << "," << b[1] << ","
          << b[2];
    }
  }
}

}  // namespace
}  // namespace seguir
