// seguir, the built program, on small videos and pictures made here with
// ffmpeg: its arguments, statuses and messages, its output, and the probe.
#include <nlohmann/json.hpp>

#include <fstream>

#include "core/grey.hpp"
#include "support/helpers.hpp"
#include "support/scene.hpp"
#include "tracker/messages.hpp"
#include "tracker/probe.hpp"

namespace seguir {
namespace {

using support::runSeguir;
using support::Scratch;
using Json = nlohmann::ordered_json;

// A wrong argument count, a malformed or non-finite number (each form in
// another of the six places, on a file never opened: numbers come first), or
// the mode word in capitals ("a.png" is then no number).
TEST(CommandLine, BadArgumentsGiveUsage) {
  Scratch s;
  std::vector<std::vector<std::string>> cases = {
      {},
      std::vector<std::string>(7, "1"),
      std::vector<std::string>(9, "1"),
      {"--ESCALA", "a.png", "b.png", "0", "0", "1", "1", "0,0,1,1"}};
  const char* bad[] = {"", " 2", "2 ", "2s", "1,5", "abc", "inf", "nan", "-INFINITY"};
  for (size_t k = 0; k < std::size(bad); ++k) {
    cases.push_back({s.path("none.mp4"), "0", "1", "0.1", "0.1", "0.2", "0.2", s.path("o.json")});
    cases.back()[1 + k % 6] = bad[k];
  }
  for (const auto& args : cases) {
    const auto o = runSeguir(s, args);
    EXPECT_EQ(o.status, kStatusUsage) << args.size() << " " << (args.empty() ? "" : args[0]);
    EXPECT_EQ(o.err, std::string(kUsage) + "\n");
    EXPECT_EQ(o.out, "");
  }
}

// One short clip, four runs.
TEST(CommandLine, RunsOnAShortClip) {
  Scratch s;
  support::lavfiClip("testsrc2=size=160x120:rate=10:duration=1", s.path("v.mp4"));
  const auto run = [&](std::vector<std::string> numbers, const std::string& out) {
    numbers.insert(numbers.begin(), s.path("v.mp4"));
    numbers.push_back(out);
    return runSeguir(s, numbers);
  };

  // An output that cannot be written fails after the tracking, without a summary.
  auto o = run({"0", "1", "0.3", "0.3", "0.6", "0.6"}, s.path("no/such/folder/o.json"));
  EXPECT_EQ(o.status, kStatusNotSaved);
  EXPECT_EQ(o.err, std::string(kNotSaved) + "\n");
  EXPECT_EQ(o.out, "");

  // Far-off boxes are legal input; the sanitizer build turns any overflow in
  // a conversion to an integer into a failure here.
  const std::vector<std::vector<std::string>> boxes = {{"-1e300", "-1e300", "1e300", "1e300"},
                                                       {"1e300", "1e300", "1e300", "1e300"},
                                                       {"-1e308", "0", "1e308", "1"},
                                                       {"0.5", "0.5", "0.5", "0.5"}};
  for (const auto& box : boxes) {
    std::vector<std::string> numbers = {"0", "0.5"};
    numbers.insert(numbers.end(), box.begin(), box.end());
    o = run(numbers, s.path("o.json"));
    EXPECT_EQ(o.status, kStatusOk) << box[0] << " " << o.err;
    EXPECT_EQ(o.out.rfind("ok ", 0), 0u);
    EXPECT_TRUE(nlohmann::json::accept(support::readFile(s.path("o.json"))));
  }

  // A span past the end of the video yields no frame: an empty track, not a
  // failure, and it replaces what the output held. Numbers in the forms
  // strtod takes whole.
  { std::ofstream(s.path("o.json")) << std::string(10000, 'x'); }
  o = run({"5.", "+6", ".3", "3e-1", "0x1.3p-1", "0.6"}, s.path("o.json"));
  EXPECT_EQ(o.status, kStatusOk);
  EXPECT_EQ(o.out, "ok 0 cuadros\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(support::readFile(s.path("o.json")),
            R"({"width":160.0,"height":120.0,"fps":10.0,"frames":[],"lostAt":null})");
}

// The patch drifts over a flat field and vanishes after frame 9: frames 10
// and 11 are weak, 12 is the loss.
TEST(Tracking, VanishingRegion) {
  Scratch s;
  std::vector<std::vector<uint8_t>> frames;
  for (int k = 0; k < 16; ++k) {
    frames.push_back(support::render({140 + 1.5 * k, 120, 1, 0}, k < 10, true));
  }
  support::encodeGrey(frames, support::kW, support::kH, 10, s.path("gone.mp4"));
  // The patch's box on the first frame: (140, 120) +- 32.
  const auto o = runSeguir(s, {s.path("gone.mp4"), "0", "10", "0.3375", "0.366667", "0.5375",
                               "0.633333", s.path("track.json")});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.out, "ok 10 cuadros (se perdió)\n");
  const Json doc = Json::parse(support::readFile(s.path("track.json")));
  EXPECT_NEAR(doc["lostAt"].get<double>(), 1.2, 1e-9);
  ASSERT_EQ(doc["frames"].size(), 10u);  // the two weak records are trimmed
  EXPECT_NEAR(doc["frames"][9]["t"].get<double>(), 0.9, 1e-9);
}

// Pictures for the probe: a 64 x 48 test card, a horizontal ramp, the card
// in 16 bits, two halves black and white of which the black one is white
// but fully transparent in the second picture, and the card turned by EXIF.
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
  // The card as a JPEG with EXIF orientation 6 or 8, a quarter turn either way.
  const std::string jpeg = support::readFile(s.path("tex.jpg"));
  for (const char o : {6, 8}) {
    const char app1[] = {'\xFF', '\xE1', 0, 34, 'E', 'x', 'i', 'f', 0,    0, 'I', 'I',
                         42,     0,      8, 0,  0,   0,   1,   0,   0x12, 1, 3,   0,
                         1,      0,      0, 0,  o,   0,   0,   0,   0,    0, 0,   0};
    std::ofstream(s.path("turned" + std::to_string(o) + ".jpg"), std::ios::binary)
        << jpeg.substr(0, 2) << std::string(app1, sizeof app1) << jpeg.substr(2);
  }
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
      // The raster as stored: no EXIF orientation is applied.
      {"turned6.jpg", "tex.jpg", "0,0,1,1", "1.0000\n"},
      {"turned8.jpg", "tex.jpg", "0,0,1,1", "1.0000\n"},
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
