#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "pista/messages.hpp"
#include "support/helpers.hpp"

namespace pista {
namespace {

using support::ffmpeg;
using support::Outcome;
using support::readFile;
using support::Scratch;
using support::shellQuote;

Outcome runPista(const Scratch& s, const std::vector<std::string>& args) {
  return support::runProgram(PISTA_EXE, s, args);
}

// Pixels whose channel `c` (of blue, green, red) exceeds both others by more
// than `by`: the overlay's colours.
int dominant(const cv::Mat& bgr, int c, int by) {
  std::vector<cv::Mat> ch;
  cv::split(bgr, ch);
  return cv::countNonZero((ch[c] > ch[(c + 1) % 3] + by) & (ch[c] > ch[(c + 2) % 3] + by));
}

// A camera drifting over a coloured fractal, and seguir's track of a region
// of it, drawn on a sheet and a video; then tracks and arguments refused.
TEST(Pista, SheetVideoLossAndRefusals) {
  Scratch s;
  const struct { std::string video, track; } t{s.path("clip.mp4"), s.path("track.json")};
  // Coloured, but never as strongly as the overlay's pure colours.
  ffmpeg("-f lavfi -i mandelbrot=s=960x600:maxiter=200:start_scale=2.5 -frames:v 1 -vf hue=s=0.2 " +
         shellQuote(s.path("field.png")));
  ffmpeg("-loop 1 -framerate 30 -i " + shellQuote(s.path("field.png")) +
         " -t 2 -vf \"crop=640:360:'160+120*sin(t)':'120+80*cos(t*0.7)',format=yuv420p\""
         " -c:v libx264 -preset ultrafast " +
         shellQuote(t.video));
  const std::vector<std::string> box{"0.4", "0.35", "0.55", "0.6"};
  std::vector<std::string> args{t.video, "0.2", "1.8"};
  args.insert(args.end(), box.begin(), box.end());
  args.push_back(t.track);
  ASSERT_EQ(support::runProgram(SEGUIR_EXE, s, args).status, 0);
  args = {t.video, t.track, s.path("sheet.png")};
  args.insert(args.end(), box.begin(), box.end());
  Outcome o = runPista(s, args);
  ASSERT_EQ(o.status, kStatusOk) << o.err;
  EXPECT_EQ(o.out, "ok hoja de 12 cuadros\n");
  EXPECT_EQ(o.err, "");

  const cv::Mat sheet = cv::imread(s.path("sheet.png"));
  ASSERT_FALSE(sheet.empty());
  const auto doc = nlohmann::json::parse(readFile(t.track));
  const auto& first = doc["frames"][0];
  // Tile 0 shows record 0: a 640 x 360 frame at 480 x 270, six pixels in.
  const double zoom = 480.0 / 640.0, left = 6, top = 6;
  const double cx = left + first["x"].get<double>() * 480 - 0.5;
  const double cy = top + first["y"].get<double>() * 270 - 0.5;
  const double hw = 0.15 * 640 * zoom / 2, hh = 0.25 * 360 * zoom / 2;
  const auto greenNear = [&](double x, double y) {
    const cv::Rect near(static_cast<int>(std::lround(x)) - 2, static_cast<int>(std::lround(y)) - 2,
                        5, 5);
    return dominant(sheet(near), 1, 60) > 0;
  };
  EXPECT_TRUE(greenNear(cx - hw, cy)) << "left edge";
  EXPECT_TRUE(greenNear(cx + hw, cy)) << "right edge";
  EXPECT_TRUE(greenNear(cx - hw / 2, cy - hh)) << "top edge";
  EXPECT_TRUE(greenNear(cx, cy + hh)) << "bottom edge";
  EXPECT_FALSE(greenNear(cx, cy)) << "nothing drawn inside the region";
  EXPECT_FALSE(greenNear(left + 20, top + 20)) << "nor far from it";
  // Away from the overlay the tile is the video's own frame, in its colours.
  ffmpeg("-ss " + first["t"].dump() + " -i " + shellQuote(t.video) +
         " -frames:v 1 -vf scale=480:270:flags=area " + shellQuote(s.path("frame.png")));
  const cv::Rect corner(300, 10, 160, 80);
  cv::Mat diff;
  cv::absdiff(sheet(corner + cv::Point(6, 6)), cv::imread(s.path("frame.png"))(corner), diff);
  EXPECT_LT(cv::mean(diff)[0] + cv::mean(diff)[1] + cv::mean(diff)[2], 3 * 4.0);

  // The video has every frame of the span, and no temporary file stays.
  o = runPista(s, {t.video, t.track, s.path("out.mp4")});
  ASSERT_EQ(o.status, kStatusOk) << o.err;
  EXPECT_EQ(o.out, "ok video de " + std::to_string(doc["frames"].size()) + " cuadros\n");
  const Outcome probe = support::runProgram(
      "ffprobe", s,
      {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
       "stream=codec_name,width,height,nb_read_frames", "-of", "csv=p=0", s.path("out.mp4")});
  EXPECT_EQ(probe.out, "h264,640,360," + std::to_string(doc["frames"].size()) + "\n");
  for (const auto& entry : std::filesystem::directory_iterator(s.path(""))) {
    EXPECT_NE(entry.path().filename().string().front(), '.') << "temporary file left behind";
  }

  // A track that ends in a loss, as seguir writes it: the sheet's last tile
  // (row 3, column 4) is the frame where the region was lost, drawn in red.
  const auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream(s.path(name)) << text;
    return s.path(name);
  };
  // The track changed by `change`, written beside it.
  const auto variant = [&](const std::string& name, const auto& change) {
    auto changed = doc;
    change(changed);
    return write(name, changed.dump());
  };
  const std::string lost = variant("lost.json", [](auto& d) {
    d["lostAt"] = d["frames"][30]["t"];
    d["frames"] = nlohmann::json(d["frames"].begin(), d["frames"].begin() + 30);
  });
  ASSERT_EQ(runPista(s, {t.video, lost, s.path("lost.png")}).status, kStatusOk);
  const cv::Rect lastTile(6 + 3 * (480 + 6), 6 + 2 * (270 + 6), 480, 270);
  EXPECT_GT(dominant(cv::imread(s.path("lost.png"))(lastTile), 2, 80), 100);

  // Tracks that are not this video's are refused, as are wrong arguments
  // (before any file is opened) and a file without video.
  const std::string good = readFile(t.track), refused = s.path("refused.png");
  const auto with = [&](const std::string& track) {
    return std::vector<std::string>{t.video, track, refused};
  };
  const struct {
    std::vector<std::string> args;
    int status;
    std::string_view message;
  } cases[] = {
      {with(write("text.json", "not json")), kStatusBadTrack, kTrackUnreadable},
      {with(write("partial.json", good.substr(0, good.size() / 2))), kStatusBadTrack,
       kTrackUnreadable},
      {with(variant("wider.json", [](auto& d) { d["width"] = 1280; })), kStatusBadTrack,
       kTrackSize},
      {with(variant("later.json", [](auto& d) { d["frames"].back()["t"] = 99.0; })),
       kStatusBadTrack, kTrackTimes},
      {with(variant("between.json",
                    [](auto& d) {
                      d["frames"][1]["t"] = d["frames"][1]["t"].template get<double>() + 0.01;
                    })),
       kStatusBadTrack, kTrackTimes},
      {with(variant("empty.json", [](auto& d) { d["frames"] = nlohmann::json::array(); })),
       kStatusBadTrack, kTrackEmpty},
      {with(s.path("missing.json")), kStatusBadTrack, kTrackUnreadable},
      {{}, kStatusUsage, kUsage},
      {{"a.mp4", "p.json"}, kStatusUsage, kUsage},
      {{"a.mp4", "p.json", "out.gif"}, kStatusUsage, kUsage},
      {{"a.mp4", "p.json", "o.png", "0", "0", "1", "x"}, kStatusUsage, kUsage},
      {{write("bad.mp4", "not a video"), t.track, refused}, kStatusNoVideo, kNoVideo},
  };
  for (const auto& c : cases) {
    o = runPista(s, c.args);
    EXPECT_EQ(o.status, c.status) << c.args.size() << " " << c.message;
    EXPECT_EQ(o.err, std::string(c.message) + "\n") << c.args.size();
    EXPECT_FALSE(std::filesystem::exists(refused));
  }
}

}  // namespace
}  // namespace pista
