// The scale probe on numbers that place no rectangle and on pictures
// without contrast.
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "../tracker/helpers.hpp"
#include "tracker/messages.hpp"
#include "tracker/probe.hpp"

namespace seguir {
namespace {

using testing::runSeguir;
using testing::Scratch;

core::Img plain(int64_t w, int64_t h, unsigned r, unsigned g, unsigned b) {
  return core::Img{w, h, std::vector<float>(static_cast<size_t>(w * h), greyOf(r, g, b))};
}

core::Img textured(int64_t w, int64_t h) {
  core::Img img{w, h, std::vector<float>(static_cast<size_t>(w * h))};
  for (int64_t k = 0; k < w * h; ++k)
    img.p[static_cast<size_t>(k)] = static_cast<float>(k * 37 % 251);
  return img;
}

TEST(ProbeNumbers, ACandidateWithANonFiniteNumberScoresMinusOne) {
  const core::Img tex = textured(64, 48);
  EXPECT_EQ(probeLine(tex, tex, 0, 0, 1, 1, "0,0,1,1;nan,0,1,1;0,0,inf,1;0,-1e999,1,1;0,0,1,1"),
            "1.0000 -1 -1 -1 1.0000");
}

TEST(ProbeNumbers, ANonFiniteReferenceNumberIsAUsageError) {
  Scratch s;
  cv::imwrite(s.path("a.png"), cv::Mat(20, 20, CV_8UC3, cv::Scalar(10, 200, 30)));
  for (const char* bad : {"nan", "-inf", "1e999"}) {
    const auto o =
        runSeguir(s, {"--escala", s.path("a.png"), s.path("a.png"), "0", bad, "1", "1", "0,0,1,1"});
    EXPECT_EQ(o.status, kStatusUsage) << bad;
    EXPECT_EQ(o.err, std::string(kUsage) + "\n");
    EXPECT_EQ(o.out, "");
  }
}

// A flat picture's grid, once its mean is removed, holds only the rounding
// of that mean, which used to correlate perfectly (1.0000 or -1.0000) with
// the rounding of another flat grid.
TEST(ProbeFlat, FlatGridsScoreZero) {
  const unsigned colours[][3] = {{252, 240, 221}, {249, 255, 153}, {128, 128, 128},
                                 {0, 0, 0},       {255, 255, 255}, {13, 77, 201}};
  const core::Img tex = textured(200, 200);
  for (const auto& a : colours) {
    const core::Img first = plain(200, 200, a[0], a[1], a[2]);
    EXPECT_EQ(probeLine(first, tex, .1, .1, .9, .9, ".1,.1,.9,.9"), "0.0000");
    EXPECT_EQ(probeLine(tex, first, .1, .1, .9, .9, ".1,.1,.9,.9"), "0.0000");
    for (const auto& b : colours) {
      const core::Img second = plain(200, 200, b[0], b[1], b[2]);
      EXPECT_EQ(probeLine(first, second, .1, .1, .9, .9, ".1,.1,.9,.9;0,0,1,1"), "0.0000 0.0000")
          << a[0] << "," << a[1] << "," << a[2] << " against " << b[0] << "," << b[1] << ","
          << b[2];
    }
  }
  EXPECT_EQ(probeLine(tex, tex, .1, .1, .9, .9, ".1,.1,.9,.9"), "1.0000");

  // The same through the program, as a user meets it.
  Scratch s;
  cv::imwrite(s.path("a.png"), cv::Mat(200, 200, CV_8UC3, cv::Scalar(221, 240, 252)));  // BGR
  const auto o = runSeguir(
      s, {"--escala", s.path("a.png"), s.path("a.png"), ".1", ".1", ".9", ".9", ".1,.1,.9,.9"});
  EXPECT_EQ(o.out, "0.0000\n");
}

}  // namespace
}  // namespace seguir
