// The frame source: spans and their times in every container, the analysis
// size and the display matrix; and hostile input: damaged files, pipes, names
// that FFmpeg would take for URLs, and memory running out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <thread>

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

using support::runSeguir;
using support::Scratch;
using support::shellQuote;
namespace fs = std::filesystem;

// The frames of a span, or why opening or reading failed in `error`;
// what the source says of the video, and its first frame.
struct Read {
  std::vector<double> times;
  std::vector<double> means;
  Error error;
  VideoInfo info;
  core::Img first;
};

Read readAll(Opened o) {
  Read r;
  if (!o.source) {
    r.error = o.error;
    return r;
  }
  r.info = o.source->info();
  core::Img img;
  for (double t = 0; o.source->next(t, img);) {
    if (r.times.empty()) r.first = img;
    r.times.push_back(t);
    double sum = 0;
    for (float v : img.p) sum += v;
    r.means.push_back(sum / static_cast<double>(img.p.size()));
  }
  r.error = o.source->error();
  return r;
}

Read readSpan(const std::string& path, double inicio = 0, double fin = 10) {
  return readAll(FrameSource::open(path, inicio, fin));
}

std::pair<VideoInfo, core::Img> firstFrame(const std::string& path) {
  Read r = readSpan(path);
  return {r.info, std::move(r.first)};
}

// How many frames ffmpeg itself decodes from a file.
int ffmpegFrames(const Scratch& s, const std::string& path) {
  const std::string out = s.path("count.txt");
  const std::string cmd =
      "ffprobe -v quiet -count_frames -select_streams v:0 -show_entries "
      "stream=nb_read_frames -of csv=p=0 " +
      shellQuote(path) + " >" + shellQuote(out);
  if (std::system(cmd.c_str()) != 0) return -1;
  return std::atoi(support::readFile(out).c_str());
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

// Random damage is the video fuzz target's; here the opening group of
// pictures is lost (the first 40 KB of video data overwritten), and the
// later ones must decode.
TEST(DamagedVideo, RejectedPacketsAreSkippedNotTheEndOfTheSpan) {
  Scratch s;
  const std::string clip = s.path("clip.mp4");
  support::lavfiClip("testsrc2=size=320x240:rate=30:duration=6", clip,
                     "-c:v libx264 -preset ultrafast -g 30 -pix_fmt yuv420p");

  scramble(clip, s.path("head.mp4"), 40000);
  for (const char* name : {"clip.mp4", "head.mp4"}) {
    const int expected = ffmpegFrames(s, s.path(name));
    ASSERT_GT(expected, 100) << name;
    const Read r = readSpan(s.path(name), 0, 100);
    EXPECT_FALSE(r.error) << name;
    EXPECT_NEAR(static_cast<double>(r.times.size()), expected, 3) << name;
    EXPECT_EQ(std::adjacent_find(r.times.begin(), r.times.end(), std::greater_equal<>()),
              r.times.end())
        << name << ": times increase";
  }
  // The program reports the frames it tracked, not the first stretch.
  const auto o =
      runSeguir(s, {s.path("head.mp4"), "0", "100", ".3", ".3", ".7", ".7", s.path("t.json")});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
}

TEST(DamagedVideo, NothingDecodableIsAReaderFailure) {
  Scratch s;
  // One group of pictures whose key frame is destroyed: no frame decodes.
  const std::string clip = s.path("clip.mp4");
  support::lavfiClip("testsrc2=size=320x240:rate=30:duration=1", clip);
  scramble(clip, s.path("dead.mp4"), 0);
  ASSERT_EQ(ffmpegFrames(s, s.path("dead.mp4")), 0);
  const auto o =
      runSeguir(s, {s.path("dead.mp4"), "0", "100", ".3", ".3", ".7", ".7", s.path("t.json")});
  EXPECT_EQ(o.status, kStatusReader);
  EXPECT_EQ(o.err, std::string(kReaderNotStarted) + "\n");
  EXPECT_FALSE(fs::exists(s.path("t.json")));
}

// 50 frames at 25 fps, frame k uniformly 20 + 4 k, in the given codec and
// container, so that each frame's time and picture can be checked together.
void rampClip(const Scratch& s, const std::string& out, const std::string& codec) {
  const std::string raw = s.path("ramp.gray");
  {
    std::ofstream f(raw, std::ios::binary);
    for (int k = 0; k < 50; ++k) f << std::string(64 * 48, static_cast<char>(20 + 4 * k));
  }
  support::ffmpeg("-f rawvideo -pix_fmt gray -s 64x48 -r 25 -i " + shellQuote(raw) + " " + codec +
                  " " + shellQuote(out));
}

void expectRamp(const Read& r, int firstK, int lastK, const std::string& what) {
  ASSERT_EQ(r.times.size(), static_cast<size_t>(lastK - firstK + 1)) << what;
  for (int k = firstK; k <= lastK; ++k) {
    const size_t i = static_cast<size_t>(k - firstK);
    EXPECT_NEAR(r.times[i], k * 0.04, 1e-6) << what << " frame " << k;
    EXPECT_NEAR(r.means[i], 20 + 4 * k, 3.0) << what << " frame " << k;
  }
  EXPECT_FALSE(r.error) << what;
}

TEST(VideoTimes, EachFrameAtItsOwnTimeInEveryContainer) {
  Scratch s;
  const std::string x264 = "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 10";
  rampClip(s, s.path("mjpeg.avi"), "-c:v mjpeg -pix_fmt yuvj420p -q:v 2");
  rampClip(s, s.path("intra.avi"), "-c:v mpeg4 -g 1 -q:v 2 -pix_fmt yuv420p");
  rampClip(s, s.path("raw.h264"), x264);
  rampClip(s, s.path("late-index.mp4"), x264);  // the index after the data
  // A key frame only at the start, so that a span in the middle must be
  // decoded from frame 0; MPEG-TS has no index: its seek lands between key
  // frames, where nothing decodes, so the span must be found from the start.
  rampClip(s, s.path("one-key.mp4"), "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 100");
  support::ffmpeg("-i " + s.path("one-key.mp4") + " -c copy -muxdelay 0 -muxpreload 0 " +
                  s.path("one-key.ts"));
  // A capture whose clock starts an hour and 1.4 s in: times are on the
  // timeline players show, from 0, as for every file that starts at 0.
  support::ffmpeg("-i " + s.path("one-key.mp4") + " -c copy -output_ts_offset 3600 " +
                  s.path("late.ts"));
  for (const char* name : {"mjpeg.avi", "intra.avi", "raw.h264", "late-index.mp4", "one-key.mp4",
                           "one-key.ts", "late.ts"}) {
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

// Only the width is limited. FFV1 stores an odd height of grey as it is:
// 2161 rows halve to 1081 (1080.5, halves away from zero).
TEST(AnalysisSize, OnlyTheWidthIsLimited) {
  const auto sized = [](int64_t w, int64_t h, Transform xf = {}) {
    VideoInfo i;
    i.naturalW = w;
    i.naturalH = h;
    i.xf = xf;
    fixAnalysisSize(i);
    return i;
  };
  EXPECT_EQ(sized(1280, 720).GW, 1280);
  const VideoInfo portrait = sized(1920, 1080, Transform{0, 1, -1, 0, 0, 0});  // a phone's video
  EXPECT_EQ(portrait.W, 1080);
  EXPECT_EQ(portrait.H, 1920);
  EXPECT_EQ(portrait.GW, 1080);
  EXPECT_EQ(portrait.GH, 1920);  // a tall frame keeps its height

  Scratch s;
  support::lavfiClip("color=gray:size=3840x2160:rate=5:duration=0.2", s.path("odd.mkv"),
                     "-vf format=gray,pad=3840:2161 -c:v ffv1");
  const auto [info, img] = firstFrame(s.path("odd.mkv"));
  EXPECT_EQ(info.A, 0.5);
  EXPECT_EQ(info.GW, 1920);
  EXPECT_EQ(info.GH, 1081);
  EXPECT_EQ(img.w, 1920);
  EXPECT_EQ(img.p.size(), 1920u * 1081u);
}

// The analysis frame is the frame as players show it. ffmpeg applies the
// display matrix when it decodes to a raw file, so its output is the truth.
TEST(Frames, DisplayMatrixGivesTheUprightPicture) {
  Scratch s;
  support::lavfiClip("color=black:size=320x240:rate=10:duration=0.3", s.path("q.mp4"),
                     "-vf drawbox=x=0:y=0:w=160:h=120:color=white:t=fill,"
                     "drawbox=x=200:y=180:w=40:h=40:color=gray:t=fill "
                     "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
  for (const char* rotate : {"270", "90", "180"}) {
    const std::string turned = s.path(std::string("r") + rotate + ".mp4");
    support::rotatedCopy(s.path("q.mp4"), turned, std::stoi(rotate));
    const auto [info, img] = firstFrame(turned);
    const bool quarter = std::string(rotate) != "180";
    EXPECT_EQ(info.W, quarter ? 240 : 320) << rotate;
    EXPECT_EQ(info.H, quarter ? 320 : 240) << rotate;
    ASSERT_EQ(img.w, info.GW);

    support::ffmpeg("-i " + turned + " -frames:v 1 -f rawvideo -pix_fmt gray " +
                    s.path("shown.gray"));
    const std::string shown = support::readFile(s.path("shown.gray"));
    ASSERT_EQ(shown.size(), img.p.size());
    double diff = 0;
    for (size_t k = 0; k < shown.size(); ++k) {
      diff += std::fabs(static_cast<uint8_t>(shown[k]) - img.p[k]);
    }
    EXPECT_LT(diff / static_cast<double>(shown.size()), 4.0) << rotate;

    // The colour picture pista draws on is turned alike.
    Opened o = FrameSource::open(turned, 0, 10);
    o.source->useColour(static_cast<int64_t>(info.W), static_cast<int64_t>(info.H));
    Picture picture;
    ColourFrame colour;
    double t = 0;
    ASSERT_TRUE(o.source->nextPicture(t, picture));
    o.source->renderColour(picture, colour);
    support::ffmpeg("-i " + turned + " -frames:v 1 -f rawvideo -pix_fmt bgr24 " +
                    s.path("shown.bgr"));
    const std::string bgr = support::readFile(s.path("shown.bgr"));
    ASSERT_EQ(bgr.size(), colour.bgr.size());
    diff = 0;
    for (size_t k = 0; k < bgr.size(); ++k)
      diff += std::abs(static_cast<uint8_t>(bgr[k]) - colour.bgr[k]);
    EXPECT_LT(diff / static_cast<double>(bgr.size()), 4.0) << rotate;
  }
  // The phone's matrix: a quarter turn clockwise puts the white corner top right.
  const auto [info, img] = firstFrame(s.path("r270.mp4"));
  EXPECT_EQ(info.xf.b, 1);
  EXPECT_EQ(info.xf.c, -1);
  ASSERT_EQ(img.p.size(), 240u * 320u);
  EXPECT_GT(img.p[static_cast<size_t>(20 * 240 + 220)], 200);  // top right
  EXPECT_LT(img.p[static_cast<size_t>(20 * 240 + 20)], 50);    // top left
}

// No tool writes a free rotation, so the test writes the track header's
// matrix itself: a = d = cos 45, b = sin 45, c = -sin 45 in 16.16 fixed point.
TEST(Frames, FreeRotationLeavesTheUncoveredCornersBlack) {
  Scratch s;
  support::lavfiClip("color=white:size=320x240:rate=10:duration=0.2", s.path("w.mp4"));
  std::string mp4 = support::readFile(s.path("w.mp4"));
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

  const auto [info, img] = firstFrame(s.path("r45.mp4"));
  EXPECT_NEAR(info.xf.c, -0.7071, 1e-4);
  EXPECT_EQ(info.GW, 57);  // |a w + c h| = 0.7071 * 80
  EXPECT_EQ(info.GH, 396);
  ASSERT_EQ(img.p.size(), 57u * 396u);
  EXPECT_GT(img.p[static_cast<size_t>(198 * 57 + 28)], 240);  // the centre is the frame's
  EXPECT_EQ(img.p[0], 0);                                     // the corners are not
  EXPECT_EQ(img.p.back(), 0);
}

TEST(Frames, FirstOfTwoVideoStreamsIsRead) {
  Scratch s;
  support::ffmpeg(
      "-f lavfi -i testsrc2=size=320x240:rate=10:duration=0.3 "
      "-f lavfi -i testsrc2=size=160x128:rate=10:duration=0.3 -map 0 -map 1 "
      "-c:v libx264 -preset ultrafast -pix_fmt yuv420p " +
      s.path("two.mkv"));
  const Read r = readSpan(s.path("two.mkv"), 0, 10);
  EXPECT_EQ(r.times.size(), 3u);
  EXPECT_EQ(r.first.w, 320);
  EXPECT_EQ(r.first.h, 240);
}

// A local TCP port that records whether anything connected to it.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), len), 0);
    EXPECT_EQ(::listen(fd_, 8), 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd_); }
  std::string url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
  }
  bool reached() const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 100) > 0;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

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
  const std::string out = s.path("t.json");
  auto o = runSeguir(s, {"take:2.mp4", "0", "10", ".3", ".3", ".7", ".7", out});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out.rfind("ok 10 cuadros", 0), 0u) << o.out;

  const std::string noVideo = std::string(kNoVideo) + "\n";
  Listener server;
  for (const std::string& url : {std::string("concat:a.mp4|b.mp4"), std::string("pipe:0"),
                                 std::string("fd:0"), server.url("a.mp4")}) {
    o = runSeguir(s, {url, "0", "10", ".3", ".3", ".7", ".7", out}, "exec <a.mp4; ");
    EXPECT_EQ(o.status, kStatusUnreadable) << url;
    EXPECT_EQ(o.err, noVideo) << url;
  }
  EXPECT_FALSE(server.reached());

  // A playlist may name local segments, but never a network address.
  support::ffmpeg("-i a.mp4 -c copy -f hls -hls_time 0.5 -hls_list_size 0 local.m3u8");
  o = runSeguir(s, {"local.m3u8", "0", "100", ".3", ".3", ".7", ".7", out});
  EXPECT_EQ(o.status, 0) << o.err;
  std::string list = support::readFile(s.path("local.m3u8"));
  const std::string remote = server.url("local");
  for (size_t at = 0; (at = list.find("local", at)) != std::string::npos; at += remote.size()) {
    list.replace(at, 5, remote);
  }
  std::ofstream(s.path("net.m3u8")) << list;
  o = runSeguir(s, {"net.m3u8", "0", "100", ".3", ".3", ".7", ".7", out});
  EXPECT_NE(o.status, 0);
  EXPECT_FALSE(server.reached());
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
    const std::vector<std::string> args = {s.path(name), "0",  "10", ".3",
                                           ".3",         ".7", ".7", s.path("t.json")};
    const auto free = runSeguir(s, args);
    ASSERT_EQ(free.status, 0) << free.err;
    // Under each limit the run either succeeds as it does without one, or
    // fails as a reader, in one line: never an abort, never a shorter track.
    for (int mb : {200, 300, 400, 600, 1000}) {
      const auto o = runSeguir(s, args, "ulimit -v " + std::to_string(mb * 1000) + "; exec ");
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
