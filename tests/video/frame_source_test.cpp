// The frame source: spans and their times in every container, the analysis
// size, the display matrix and the conversion to grey; and hostile input:
// damaged files, pipes, names that FFmpeg would take for URLs, and memory
// running out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <random>
#include <thread>

#include "core/grey.hpp"
#include "support/helpers.hpp"
#include "tracker/messages.hpp"
#include "video/frame_source.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define SEGUIR_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SEGUIR_ASAN 1
#endif
#endif

namespace video {
namespace {

using namespace seguir;  // the program's statuses and messages

using support::Scratch;
namespace fs = std::filesystem;

// The frames of a span and their times, or why opening or reading failed in
// `error`; what the source says of the video.
struct Read {
  std::vector<double> times;
  std::vector<core::Img> frames;
  Error error;
  VideoInfo info;
};

// With `viaRgba`, through libswscale's accurate RGBA: the reference that the
// direct Y'CbCr pass is held to.
Read readAll(Opened o, bool viaRgba = false) {
  if (!o.source) return {{}, {}, o.error, {}};
  Read r;
  if (viaRgba) o.source->useRgbaConversion(true);
  r.info = o.source->info();
  core::Img img;
  for (double t = 0; o.source->next(t, img);) {
    r.times.push_back(t);
    r.frames.push_back(img);
  }
  r.error = o.source->error();
  return r;
}

Read readSpan(const std::string& path, double inicio = 0, double fin = 10, bool viaRgba = false) {
  return readAll(FrameSource::open(path, inicio, fin), viaRgba);
}

double mean(const core::Img& img) {
  return std::accumulate(img.p.begin(), img.p.end(), 0.0) / static_cast<double>(img.p.size());
}

// The mean absolute difference of two pictures of one size.
template <class Samples>
double meanDiff(const std::vector<float>& a, const Samples& b) {
  double sum = 0;
  for (size_t k = 0; k < a.size(); ++k) sum += std::fabs(a[k] - static_cast<float>(b[k]));
  return sum / static_cast<double>(a.size());
}

// seguir on the middle of a short video: the whole of it, into t.json.
support::Outcome track(const Scratch& s, const std::string& video, const std::string& before = "") {
  return support::runSeguir(s, {video, "0", "100", ".3", ".3", ".7", ".7", s.path("t.json")},
                            before);
}

// How many frames ffmpeg itself decodes from a file.
int ffmpegFrames(const Scratch& s, const std::string& path) {
  return std::atoi(
      support::runProgram("ffprobe", s,
                          {"-v", "quiet", "-count_frames", "-select_streams", "v:0",
                           "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", path})
          .out.c_str());
}

// A copy of `from` whose video data, from the start of the "mdat" box, is
// noise for `length` bytes, or up to the middle of the file when 0.
void scramble(const std::string& from, const std::string& to, size_t length) {
  std::string bytes = support::readFile(from);
  const size_t mdat = bytes.find("mdat");
  ASSERT_NE(mdat, std::string::npos);
  const size_t end = length ? mdat + 4 + length : bytes.size() / 2;
  std::mt19937 rng(7);
  for (size_t k = mdat + 4; k < end; ++k) bytes[k] = static_cast<char>(rng());
  std::ofstream(to, std::ios::binary) << bytes;
}

// Random damage is the video fuzz target's. Here the opening group of
// pictures is lost (the first 40 KB of video data overwritten) and the later
// ones must decode, silently; or the only group's key frame is destroyed and
// no frame decodes, which is a failure of the reader and writes nothing.
TEST(DamagedVideo, RejectedPacketsAreSkippedAndNothingDecodableIsAReaderFailure) {
  Scratch s;
  support::lavfiClip("testsrc2=size=320x240:rate=30:duration=6", s.path("clip.mp4"),
                     "-c:v libx264 -preset ultrafast -g 30 -pix_fmt yuv420p");
  support::lavfiClip("testsrc2=size=320x240:rate=30:duration=1", s.path("one.mp4"));
  scramble(s.path("clip.mp4"), s.path("head.mp4"), 40000);
  scramble(s.path("one.mp4"), s.path("dead.mp4"), 0);
  for (const char* name : {"clip.mp4", "head.mp4", "dead.mp4"}) {
    const bool dead = std::string(name) == "dead.mp4";
    const int expected = ffmpegFrames(s, s.path(name));
    ASSERT_TRUE(dead ? expected == 0 : expected > 100) << name << ": " << expected;
    const Read r = readSpan(s.path(name), 0, 100);
    EXPECT_EQ(static_cast<bool>(r.error), dead) << name;
    EXPECT_NEAR(static_cast<double>(r.times.size()), expected, 3) << name;
    EXPECT_EQ(std::adjacent_find(r.times.begin(), r.times.end(), std::greater_equal<>()),
              r.times.end())
        << name << ": times increase";
    // The program reports the frames it tracked, not the first stretch.
    fs::remove(s.path("t.json"));
    const auto o = track(s, s.path(name));
    EXPECT_EQ(o.status, dead ? kStatusReader : kStatusOk) << name;
    EXPECT_EQ(o.err, dead ? std::string(kReaderNotStarted) + "\n" : "") << name;
    EXPECT_EQ(fs::exists(s.path("t.json")), !dead) << name;
  }
}

// 50 frames at 25 fps, frame k uniformly 20 + 4 k, in the given codec and
// container, so that each frame's time and picture can be checked together.
void rampClip(const std::string& out, const std::string& codec) {
  std::vector<std::vector<uint8_t>> frames;
  for (int k = 0; k < 50; ++k) frames.emplace_back(64 * 48, static_cast<uint8_t>(20 + 4 * k));
  support::encodeGrey(frames, 64, 48, 25, out, codec);
}

void expectRamp(const Read& r, int firstK, int lastK, const std::string& what) {
  ASSERT_EQ(r.times.size(), static_cast<size_t>(lastK - firstK + 1)) << what;
  for (int k = firstK; k <= lastK; ++k) {
    const size_t i = static_cast<size_t>(k - firstK);
    EXPECT_NEAR(r.times[i], k * 0.04, 1e-6) << what << " frame " << k;
    EXPECT_NEAR(mean(r.frames[i]), 20 + 4 * k, 3.0) << what << " frame " << k;
  }
  EXPECT_FALSE(r.error) << what;
}

TEST(VideoTimes, EachFrameAtItsOwnTimeInEveryContainer) {
  Scratch s;
  const std::string x264 = "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 10";
  rampClip(s.path("mjpeg.avi"), "-c:v mjpeg -pix_fmt yuvj420p -q:v 2");
  rampClip(s.path("intra.avi"), "-c:v mpeg4 -g 1 -q:v 2 -pix_fmt yuv420p");
  rampClip(s.path("raw.h264"), x264);
  rampClip(s.path("late-index.mp4"), x264);  // the index after the data
  // A key frame only at the start, so that a span in the middle must be
  // decoded from frame 0; MPEG-TS has no index: its seek lands between key
  // frames, where nothing decodes, so the span must be found from the start.
  rampClip(s.path("one-key.mp4"), "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 100");
  support::ffmpeg("-i " + s.path("one-key.mp4") + " -c copy -muxdelay 0 -muxpreload 0 " +
                  s.path("one-key.ts"));
  // A capture whose clock starts an hour and 1.4 s in: times are on the
  // timeline players show, from 0, as for every file that starts at 0.
  support::ffmpeg("-i " + s.path("one-key.mp4") + " -c copy -output_ts_offset 3600 " +
                  s.path("late.ts"));
  // A second video stream after the ramp, of another size: only the first is read.
  support::ffmpeg("-i " + s.path("one-key.mp4") +
                  " -f lavfi -i testsrc2=size=160x128:rate=25:duration=2 -map 0 -map 1 -c:v:0 copy "
                  "-c:v:1 libx264 -preset ultrafast -pix_fmt yuv420p " +
                  s.path("two.mkv"));
  for (const char* name : {"mjpeg.avi", "intra.avi", "raw.h264", "late-index.mp4", "one-key.mp4",
                           "one-key.ts", "late.ts", "two.mkv"}) {
    // A start between two frames: 0.5 s lies between frames 12 and 13; 1.0
    // is frame 25's own time.
    expectRamp(readSpan(s.path(name), 0.5, 10), 13, 49, name);
    expectRamp(readSpan(s.path(name), 0, 1), 0, 25, name);
    expectRamp(readSpan(s.path(name), 1.2, 1.6), 30, 40, name);
  }
  // Beyond the end, or a reversed span: no frame, and no failure.
  expectRamp(readSpan(s.path("one-key.mp4"), 3, 4), 0, -1, "beyond the end");
  expectRamp(readSpan(s.path("one-key.mp4"), 1.4, 1.2), 0, -1, "reversed");

  // Through a pipe nothing can be read twice, yet the MP4 needs its index
  // from the end before the first frame.
  const std::string fifo = s.path("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    std::ofstream(fifo, std::ios::binary) << support::readFile(s.path("late-index.mp4"));
  });
  const Read piped = readSpan(fifo, 0.5, 10);
  writer.join();
  expectRamp(piped, 13, 49, "pipe");

  // A file held in memory reads as the file does.
  const std::string mem = support::readFile(s.path("intra.avi"));
  expectRamp(readAll(FrameSource::openMemory(reinterpret_cast<const uint8_t*>(mem.data()),
                                             mem.size(), 0.5, 10)),
             13, 49, "memory");
}

// Only the width is limited: a phone's 4K video, turned upright, keeps the
// height that its width leaves it (3840 * 1920 / 2160). FFV1 stores an odd
// height of grey as it is: 2161 rows halve to 1081 (1080.5, halves away from
// zero).
TEST(AnalysisSize, OnlyTheWidthIsLimited) {
  VideoInfo portrait{.naturalW = 3840, .naturalH = 2160, .xf = Transform{0, 1, -1, 0, 0, 0}};
  fixAnalysisSize(portrait);
  EXPECT_EQ(portrait.GW, 1920);
  EXPECT_EQ(portrait.GH, 3413);

  Scratch s;
  support::lavfiClip("color=gray:size=3840x2160:rate=5:duration=0.2", s.path("odd.mkv"),
                     "-vf format=gray,pad=3840:2161 -c:v ffv1");
  const Read r = readSpan(s.path("odd.mkv"));
  EXPECT_EQ(r.info.GW, 1920);
  EXPECT_EQ(r.info.GH, 1081);
  ASSERT_FALSE(r.frames.empty());
  EXPECT_EQ(r.frames[0].p.size(), 1920u * 1081u);
}

// A copy of an MP4 whose track header carries the display matrix a, b, c, d
// (16.16 fixed point), written here by hand as no tool writes a free rotation.
std::string withMatrix(std::string mp4, const std::array<int32_t, 4>& m) {
  const size_t tkhd = mp4.find("tkhd");
  EXPECT_NE(tkhd, std::string::npos);
  EXPECT_EQ(mp4[tkhd + 4], 0);  // version 0: the matrix follows 40 bytes of fields
  for (size_t k = 0; k < 4; ++k) {
    const size_t at = tkhd + 44 + (k < 2 ? k : k + 1) * 4;
    for (int byte = 0; byte < 4; ++byte) {
      mp4[at + static_cast<size_t>(byte)] =
          static_cast<char>(static_cast<uint32_t>(m[k]) >> (24 - 8 * byte));
    }
  }
  return mp4;
}

// The analysis frame is the frame as players show it. For a quarter or half
// turn, ffmpeg applies the display matrix when it decodes to a raw file, so its
// output is the truth; a free rotation (45 degrees) leaves the corners that
// the turned frame does not cover black.
TEST(Frames, DisplayMatrixGivesTheUprightPicture) {
  Scratch s;
  support::lavfiClip("color=white:size=320x240:rate=10:duration=0.3", s.path("q.mp4"),
                     "-vf drawbox=x=0:y=0:w=100:h=80:color=black:t=fill,"
                     "drawbox=x=200:y=180:w=40:h=40:color=gray:t=fill "
                     "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
  const std::string mp4 = support::readFile(s.path("q.mp4"));
  constexpr int32_t k1 = 65536, kCos45 = 46341;
  const std::tuple<std::array<int32_t, 4>, int64_t, int64_t> turns[] = {
      {{0, k1, -k1, 0}, 240, 320},  // a phone's: a quarter turn clockwise
      {{0, -k1, k1, 0}, 240, 320},
      {{-k1, 0, 0, -k1}, 320, 240},
      {{kCos45, kCos45, -kCos45, kCos45}, 57, 396}};  // |a w + c h| = 0.7071 * 80
  for (const auto& [m, gw, gh] : turns) {
    SCOPED_TRACE(::testing::Message() << m[0] << " " << m[1]);
    std::ofstream(s.path("turned.mp4"), std::ios::binary) << withMatrix(mp4, m);
    const Read r = readSpan(s.path("turned.mp4"));
    ASSERT_EQ(r.info.GW, gw);
    ASSERT_EQ(r.info.GH, gh);
    ASSERT_FALSE(r.frames.empty());
    const std::vector<float>& p = r.frames[0].p;
    if (m[0] == kCos45) {
      EXPECT_GT(p[static_cast<size_t>(198 * 57 + 28)], 240);  // the centre is the frame's
      EXPECT_EQ(p[0], 0);                                     // the corners are not
      EXPECT_EQ(p.back(), 0);
      continue;
    }
    // ffmpeg's first frame, in grey and in the colours pista draws on.
    const auto shown = [&](const std::string& format) {
      support::ffmpeg("-i " + s.path("turned.mp4") + " -frames:v 1 -f rawvideo -pix_fmt " + format +
                      " " + s.path("shown.raw"));
      const std::string raw = support::readFile(s.path("shown.raw"));
      return std::vector<uint8_t>(raw.begin(), raw.end());
    };
    const std::vector<uint8_t> grey = shown("gray");
    ASSERT_EQ(grey.size(), p.size());
    EXPECT_LT(meanDiff(p, grey), 4.0);

    // The colour picture is turned alike.
    Opened o = FrameSource::open(s.path("turned.mp4"), 0, 10);
    o.source->useColour(gh == 320 ? 240 : 320, gh);
    Picture picture;
    ColourFrame colour;
    double t = 0;
    ASSERT_TRUE(o.source->nextPicture(t, picture));
    o.source->renderColour(picture, colour);
    const std::vector<uint8_t> bgr = shown("bgr24");
    ASSERT_EQ(bgr.size(), colour.bgr.size());
    EXPECT_LT(meanDiff(std::vector<float>(colour.bgr.begin(), colour.bgr.end()), bgr), 4.0);
  }
}

// RGB-coded video never meets the matrix: its analysis frame is the grey
// formula of its own pixels, exactly, as ffmpeg decodes them.
TEST(Conversion, RgbCodedVideoGivesTheFormulaOfItsPixels) {
  Scratch s;
  for (auto [name, codec] : {std::pair{"ffv1.mkv", "-c:v ffv1 -pix_fmt bgr0"},
                             std::pair{"png.mkv", "-c:v png -pix_fmt rgb24"}}) {
    SCOPED_TRACE(name);
    support::lavfiClip("testsrc2=size=68x46:rate=5:duration=0.4,format=rgb24,crop=67:45",
                       s.path(name), codec);
    support::ffmpeg("-i " + s.path(name) + " -frames:v 1 -f rawvideo -pix_fmt rgb24 " +
                    s.path("rgb.raw"));
    const std::string rgb = support::readFile(s.path("rgb.raw"));
    const Read r = readSpan(s.path(name));
    ASSERT_FALSE(r.frames.empty());
    ASSERT_EQ(rgb.size(), r.frames[0].p.size() * 3);  // 67 x 45: odd sizes
    for (size_t i = 0; i < r.frames[0].p.size(); ++i) {
      const auto* px = reinterpret_cast<const uint8_t*>(rgb.data()) + 3 * i;
      ASSERT_EQ(r.frames[0].p[i], core::greyOf(px[0], px[1], px[2])) << i;
    }
  }
}

// The frame source hands the decoder's planes to the pass in the right
// order and strides, with the stream's matrix and range: its frames agree with
// libswscale's accurate RGBA, whose chroma is interpolated where ours is not.
// On this test card's sharp colour edges that alone differs by up to 0.7
// (FFmpeg 5.1) and 1.04 (7.1) levels on average; the BT.601 matrix on the
// BT.709 clip, or swapped chroma planes, by several.
TEST(Conversion, DirectPassAgreesWithLibswscale) {
  Scratch s;
  for (auto [name, pix] :
       {std::pair{"420.mp4", "yuv420p"}, std::pair{"444.mp4", "yuv444p"},
        std::pair{"422j.mp4", "yuvj422p"}, std::pair{"709.mp4", "yuv420p -colorspace bt709"}}) {
    SCOPED_TRACE(name);
    support::lavfiClip("testsrc2=size=192x128:rate=5:duration=0.4", s.path(name),
                       std::string("-c:v libx264 -preset ultrafast -qp 0 -pix_fmt ") + pix);
    const std::vector<core::Img> direct = readSpan(s.path(name)).frames;
    const std::vector<core::Img> ref = readSpan(s.path(name), 0, 10, true).frames;
    ASSERT_EQ(direct.size(), ref.size());
    ASSERT_FALSE(direct.empty());
    double sum = 0;  // frames of one size: the mean of their means is the mean
    for (size_t k = 0; k < direct.size(); ++k) sum += meanDiff(direct[k].p, ref[k].p);
    EXPECT_LT(sum / static_cast<double>(direct.size()), 1.5);
  }
}

TEST(VideoPath, IsAlwaysALocalFile) {
  Scratch s;
  support::lavfiClip("testsrc2=size=320x240:rate=10:duration=1", s.path("a.mp4"));
  const std::string a = support::readFile(s.path("a.mp4"));
  // Names that FFmpeg would read as protocols, used here as plain file names.
  std::ofstream(s.path("take:2.mp4"), std::ios::binary) << a;
  std::ofstream(s.path("b.mp4"), std::ios::binary) << a;
  // The names must reach FFmpeg as they are, relative to the folder.
  const fs::path home = fs::current_path();
  fs::current_path(s.path(""));
  // A playlist may name local segments, but never a network address: a
  // local port records whether anything connected to it.
  const int server = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof at;
  EXPECT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&at), len), 0);
  EXPECT_EQ(::listen(server, 8), 0);
  ::getsockname(server, reinterpret_cast<sockaddr*>(&at), &len);
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(at.sin_port)) + "/";
  support::ffmpeg("-i a.mp4 -c copy -f hls -hls_time 0.5 -hls_list_size 0 local.m3u8");
  std::string list = support::readFile(s.path("local.m3u8"));
  const std::string remote = url + "local";
  for (size_t at = 0; (at = list.find("local", at)) != std::string::npos; at += remote.size()) {
    list.replace(at, 5, remote);
  }
  std::ofstream(s.path("net.m3u8")) << list;
  // Nor is a missing, an audio-only or an empty file a video.
  support::ffmpeg("-f lavfi -i sine=duration=0.5 -c:a aac a.m4a");
  std::ofstream(s.path("empty.mp4")).flush();
  for (const std::string& name :
       {std::string("take:2.mp4"), std::string("local.m3u8"), std::string("concat:a.mp4|b.mp4"),
        std::string("pipe:0"), std::string("fd:0"), url + "a.mp4", std::string("net.m3u8"),
        std::string("missing.mp4"), std::string("a.m4a"), std::string("empty.mp4")}) {
    const bool local = name == "take:2.mp4" || name == "local.m3u8";
    const auto o = track(s, name, "exec <a.mp4; ");
    EXPECT_EQ(o.status, local ? kStatusOk : kStatusUnreadable) << name << ": " << o.err;
    EXPECT_EQ(o.err, local ? "" : std::string(kNoVideo) + "\n") << name;
    EXPECT_EQ(o.out.substr(0, 13), local ? "ok 10 cuadros" : "") << name << ": " << o.out;
    EXPECT_EQ(fs::remove(s.path("t.json")), local) << name;
  }
  pollfd connected{server, POLLIN, 0};
  EXPECT_EQ(::poll(&connected, 1, 100), 0);
  ::close(server);
  fs::current_path(home);
}

TEST(OutOfMemory, IsAReaderFailureInOneLine) {
#ifdef SEGUIR_ASAN
  GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit here allows";
#else
  Scratch s;
  support::lavfiClip("testsrc2=size=3840x2160:rate=5:duration=0.6", s.path("uhd.mp4"));
  support::lavfiClip("color=gray:size=8192x8192:rate=5:duration=0.6", s.path("huge.mp4"),
                     "-vf drawbox=x=3000:y=3000:w=2000:h=2000:color=white:t=fill "
                     "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
  int failures = 0;
  for (const char* name : {"uhd.mp4", "huge.mp4"}) {
    const auto free = track(s, s.path(name));
    ASSERT_EQ(free.status, 0) << free.err;
    // Under each limit the run either succeeds as it does without one, or
    // fails as a reader, in one line: never an abort, never a shorter track.
    for (int mb : {200, 300, 400, 600, 1000}) {
      const auto o = track(s, s.path(name), "ulimit -v " + std::to_string(mb * 1000) + "; exec ");
      ASSERT_NE(o.status, -1) << name << " " << mb;
      if (o.status == 0) {
        EXPECT_EQ(o.out, free.out) << name << " " << mb;
        continue;
      }
      ++failures;
      EXPECT_EQ(o.status, kStatusReader) << name << " " << mb << ": " << o.err;
      EXPECT_EQ(o.err.rfind(kReaderNotStarted.substr(0, 20), 0), 0u) << o.err;
      EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    }
  }
  EXPECT_GT(failures, 0);  // the limits are low enough to matter
#endif
}

}  // namespace
}  // namespace video
