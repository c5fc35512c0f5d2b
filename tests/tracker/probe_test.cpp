#include <fstream>
#include <optional>

#include "core/grey.hpp"
#include "support/helpers.hpp"
#include "support/scene.hpp"
#include "tracker/messages.hpp"
#include "tracker/probe.hpp"

namespace seguir {
namespace {

using support::runSeguir;
using support::Scratch;

// Pictures for the probe: a 64 x 48 test card, a horizontal ramp, the card
// in 16 bits, and two halves black and white of which the black one is white
// but fully transparent in the second picture.
void writePictures(const Scratch& s) {
  const auto picture = [&](const std::string& source, const std::string& name) {
    support::ffmpeg(source + " -frames:v 1 " + s.path(name));
  };
  picture("-f lavfi -i testsrc2=size=64x48", "tex.png");
  picture("-i " + s.path("tex.png") + " -pix_fmt rgb48be", "wide.png");
  picture("-f lavfi -i nullsrc=s=48x8,format=gray,geq=lum=X*5", "ramp.png");
  picture("-f lavfi -i color=black:s=32x32,drawbox=x=16:w=16:h=32:c=white:t=fill", "opaque.png");
  picture("-f lavfi -i 'color=white:s=32x32,format=rgba,geq=r=255:g=255:b=255:a=255*gte(X\\,16)'",
          "clear.png");
  picture("-i " + s.path("tex.png"), "tex.jpg");
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
  writePictures(s);
  const std::string jpeg = support::readFile(s.path("tex.jpg"));
  for (const char o : {6, 8}) {
    const char app1[] = {'\xFF', '\xE1', 0, 34, 'E', 'x', 'i', 'f', 0,    0, 'I', 'I',
                         42,     0,      8, 0,  0,   0,   1,   0,   0x12, 1, 3,   0,
                         1,      0,      0, 0,  o,   0,   0,   0,   0,    0, 0,   0};
    std::ofstream(s.path("turned.jpg"), std::ios::binary)
        << jpeg.substr(0, 2) << std::string(app1, sizeof app1) << jpeg.substr(2);
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
