#include <cmath>
#include <numeric>

#include "helpers.hpp"
#include "tracker/messages.hpp"
#include "tracker/video.hpp"

namespace seguir {
namespace {

using testing::Scratch;

struct Read {
  std::vector<double> times;
  std::vector<core::Img> frames;
};

Read readSpan(const std::string& path, double inicio, double fin) {
  Read r;
  OpenResult o = FrameSource::open(path, inicio, fin);
  EXPECT_TRUE(o.source) << o.message;
  if (!o.source) return r;
  double t;
  core::Img img;
  while (o.source->next(t, img)) {
    r.times.push_back(t);
    r.frames.push_back(img);
  }
  return r;
}

double mean(const core::Img& img) {
  return std::accumulate(img.p.begin(), img.p.end(), 0.0) / static_cast<double>(img.p.size());
}

// 20 frames at 10 fps, frame k uniformly 20 + 10 k.
void expectFrames(const Read& r, int firstK, int lastK) {
  ASSERT_EQ(r.times.size(), static_cast<size_t>(lastK - firstK + 1));
  for (int k = firstK; k <= lastK; ++k) {
    const size_t i = static_cast<size_t>(k - firstK);
    EXPECT_NEAR(r.times[i], k * 0.1, 1e-9);
    // The picture is the frame of that time, not a neighbour.
    EXPECT_NEAR(mean(r.frames[i]), 20 + 10 * k, 3.0) << k;
  }
}

// A key frame only at the start, so that a span in the middle must be
// decoded from frame 0.
TEST(Span, HoldsTheFramesFromInicioToFinWherever) {
  Scratch s;
  std::vector<std::vector<uint8_t>> ramp;
  for (int k = 0; k < 20; ++k) ramp.emplace_back(64 * 48, static_cast<uint8_t>(20 + 10 * k));
  testing::encodeGrey(ramp, 64, 48, 10, s.path("ramp.mp4"), "-g 100");
  expectFrames(readSpan(s.path("ramp.mp4"), 0, 1.9), 0, 19);
  expectFrames(readSpan(s.path("ramp.mp4"), 0.5, 1.0), 5, 10);  // 1.0 is a frame time
  expectFrames(readSpan(s.path("ramp.mp4"), 0.45, 0.95), 5, 9);
  expectFrames(readSpan(s.path("ramp.mp4"), 1.2, 1.4), 12, 14);  // mid group of pictures
  // MPEG-TS has no index: its seek lands between key frames, where nothing
  // decodes, so the span must be found by reading from the start.
  testing::ffmpeg("-i " + s.path("ramp.mp4") + " -c copy -muxdelay 0 -muxpreload 0 " +
                  s.path("ramp.ts"));
  expectFrames(readSpan(s.path("ramp.ts"), 1.2, 1.4), 12, 14);
  // Beyond the end, or a reversed span: no frame, and no failure.
  EXPECT_TRUE(readSpan(s.path("ramp.mp4"), 3, 4).times.empty());
  EXPECT_TRUE(readSpan(s.path("ramp.mp4"), 1.4, 1.2).times.empty());
}

TEST(AnalysisSize, OnlyTheWidthIsLimited) {
  const auto sized = [](int64_t w, int64_t h, Transform xf = {}) {
    VideoInfo i;
    i.naturalW = w;
    i.naturalH = h;
    i.xf = xf;
    fixAnalysisSize(i);
    return i;
  };
  VideoInfo i = sized(3840, 2160);
  EXPECT_EQ(i.A, 0.5);
  EXPECT_EQ(i.GW, 1920);
  EXPECT_EQ(i.GH, 1080);
  EXPECT_EQ(sized(3840, 2161).GH, 1081);  // 1080.5, halves away from zero
  EXPECT_EQ(sized(1280, 720).GW, 1280);
  i = sized(1920, 1080, Transform{0, 1, -1, 0, 0, 0});  // portrait phone video
  EXPECT_EQ(i.W, 1080);
  EXPECT_EQ(i.H, 1920);
  EXPECT_EQ(i.GW, 1080);
  EXPECT_EQ(i.GH, 1920);  // a tall frame keeps its height
}

TEST(Frames, LargeVideosAreReducedToAnalysisSize) {
  Scratch s;
  testing::lavfiClip("testsrc2=size=3840x2160:rate=5:duration=0.2", s.path("uhd.mp4"));
  // libx264 wants even sizes; FFV1 stores an odd height of grey as it is.
  testing::lavfiClip("color=gray:size=3840x2160:rate=5:duration=0.2", s.path("odd.mkv"),
                     "-vf format=gray,pad=3840:2161 -c:v ffv1");
  for (auto [name, gh] : {std::pair{"uhd.mp4", 1080}, std::pair{"odd.mkv", 1081}}) {
    OpenResult o = FrameSource::open(s.path(name), 0, 10);
    ASSERT_TRUE(o.source) << o.message;
    EXPECT_EQ(o.source->info().GW, 1920);
    EXPECT_EQ(o.source->info().GH, gh);
    double t;
    core::Img img;
    ASSERT_TRUE(o.source->next(t, img));
    EXPECT_EQ(img.w, 1920);
    EXPECT_EQ(img.h, gh);
    EXPECT_EQ(img.p.size(), static_cast<size_t>(1920 * gh));
  }
}

// The analysis frame is the frame as players show it. ffmpeg applies the
// display matrix when it decodes to a raw file, so its output is the truth.
TEST(Frames, DisplayMatrixGivesTheUprightPicture) {
  Scratch s;
  testing::lavfiClip("color=black:size=320x240:rate=10:duration=0.3", s.path("q.mp4"),
                     "-vf drawbox=x=0:y=0:w=160:h=120:color=white:t=fill,"
                     "drawbox=x=200:y=180:w=40:h=40:color=gray:t=fill "
                     "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
  for (const char* rotate : {"270", "90", "180"}) {
    const std::string turned = s.path(std::string("r") + rotate + ".mp4");
    testing::rotatedCopy(s.path("q.mp4"), turned, std::stoi(rotate));
    OpenResult o = FrameSource::open(turned, 0, 10);
    ASSERT_TRUE(o.source) << o.message;
    const VideoInfo& info = o.source->info();
    const bool quarter = std::string(rotate) != "180";
    EXPECT_EQ(info.W, quarter ? 240 : 320) << rotate;
    EXPECT_EQ(info.H, quarter ? 320 : 240) << rotate;
    double t;
    core::Img img;
    ASSERT_TRUE(o.source->next(t, img));
    ASSERT_EQ(img.w, info.GW);

    testing::ffmpeg("-i " + turned + " -frames:v 1 -f rawvideo -pix_fmt gray " +
                    s.path("shown.gray"));
    const std::string shown = testing::readFile(s.path("shown.gray"));
    ASSERT_EQ(shown.size(), img.p.size());
    double diff = 0;
    for (size_t k = 0; k < shown.size(); ++k) {
      diff += std::fabs(static_cast<uint8_t>(shown[k]) - img.p[k]);
    }
    EXPECT_LT(diff / static_cast<double>(shown.size()), 4.0) << rotate;
  }
  // The phone's matrix: a quarter turn clockwise puts the white corner top right.
  OpenResult o = FrameSource::open(s.path("r270.mp4"), 0, 10);
  ASSERT_TRUE(o.source);
  EXPECT_EQ(o.source->info().xf.b, 1);
  EXPECT_EQ(o.source->info().xf.c, -1);
  double t;
  core::Img img;
  ASSERT_TRUE(o.source->next(t, img));
  EXPECT_GT(img.p[static_cast<size_t>(20 * 240 + 220)], 200);  // top right
  EXPECT_LT(img.p[static_cast<size_t>(20 * 240 + 20)], 50);    // top left
}

// No tool writes a free rotation, so the test writes the track header's
// matrix itself: a = d = cos 45, b = sin 45, c = -sin 45 in 16.16 fixed point.
TEST(Frames, FreeRotationLeavesTheUncoveredCornersBlack) {
  Scratch s;
  testing::lavfiClip("color=white:size=320x240:rate=10:duration=0.2", s.path("w.mp4"));
  std::string mp4 = testing::readFile(s.path("w.mp4"));
  const size_t tkhd = mp4.find("tkhd");
  ASSERT_NE(tkhd, std::string::npos);
  ASSERT_EQ(mp4[tkhd + 4], 0);  // version 0: the matrix follows 40 bytes of fields
  const int32_t m[4] = {46341, 46341, -46341, 46341};
  for (int k = 0; k < 4; ++k) {
    const size_t at = tkhd + 44 + static_cast<size_t>(k < 2 ? k : k + 1) * 4;
    for (int byte = 0; byte < 4; ++byte) {
      mp4[at + static_cast<size_t>(byte)] =
          static_cast<char>(static_cast<uint32_t>(m[k]) >> (24 - 8 * byte));
    }
  }
  { std::ofstream(s.path("r45.mp4"), std::ios::binary) << mp4; }

  OpenResult o = FrameSource::open(s.path("r45.mp4"), 0, 10);
  ASSERT_TRUE(o.source) << o.message;
  const VideoInfo& info = o.source->info();
  EXPECT_NEAR(info.xf.c, -0.7071, 1e-4);
  EXPECT_EQ(info.GW, 57);  // |a w + c h| = 0.7071 * 80
  EXPECT_EQ(info.GH, 396);
  double t;
  core::Img img;
  ASSERT_TRUE(o.source->next(t, img));
  EXPECT_GT(img.p[static_cast<size_t>(198 * 57 + 28)], 240);  // the centre is the frame's
  EXPECT_EQ(img.p[0], 0);                                     // the corners are not
  EXPECT_EQ(img.p.back(), 0);
}

TEST(Frames, FirstOfTwoVideoStreamsIsRead) {
  Scratch s;
  testing::ffmpeg(
      "-f lavfi -i testsrc2=size=320x240:rate=10:duration=0.3 "
      "-f lavfi -i testsrc2=size=160x128:rate=10:duration=0.3 -map 0 -map 1 "
      "-c:v libx264 -preset ultrafast -pix_fmt yuv420p " +
      s.path("two.mkv"));
  const Read r = readSpan(s.path("two.mkv"), 0, 10);
  ASSERT_EQ(r.frames.size(), 3u);
  EXPECT_EQ(r.frames[0].w, 320);
  EXPECT_EQ(r.frames[0].h, 240);
}

TEST(Frames, NoVideoIsStatusThree) {
  Scratch s;
  testing::ffmpeg("-f lavfi -i sine=duration=0.3 -c:a aac " + s.path("a.m4a"));
  OpenResult o = FrameSource::open(s.path("a.m4a"), 0, 1);
  EXPECT_FALSE(o.source);
  EXPECT_EQ(o.status, kStatusUnreadable);
  EXPECT_EQ(o.message, kNoVideo);
}

}  // namespace
}  // namespace seguir
