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

// A camera drifting over a coloured fractal, and seguir's track of a region
// of it.
struct Tracked {
  std::string video, track;
  std::vector<std::string> box{"0.4", "0.35", "0.55", "0.6"};
};

Tracked makeTrack(const Scratch& s) {
  Tracked t{s.path("clip.mp4"), s.path("track.json")};
  // Coloured, but never as strongly as the overlay's pure colours.
  ffmpeg("-f lavfi -i mandelbrot=s=960x600:maxiter=200:start_scale=2.5 -frames:v 1 -vf hue=s=0.2 " +
         shellQuote(s.path("field.png")));
  ffmpeg("-loop 1 -framerate 30 -i " + shellQuote(s.path("field.png")) +
         " -t 2 -vf \"crop=640:360:'160+120*sin(t)':'120+80*cos(t*0.7)',format=yuv420p\""
         " -c:v libx264 -preset ultrafast " +
         shellQuote(t.video));
  std::string cmd = shellQuote(SEGUIR_EXE) + " " + shellQuote(t.video) + " 0.2 1.8";
  for (const auto& b : t.box) cmd += " " + b;
  cmd += " " + shellQuote(t.track) + " >/dev/null";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  return t;
}

// Pixels whose channel `c` (of blue, green, red) exceeds both others by more
// than `by`: the overlay's colours.
int dominant(const cv::Mat& bgr, int c, int by) {
  std::vector<cv::Mat> ch;
  cv::split(bgr, ch);
  return cv::countNonZero((ch[c] > ch[(c + 1) % 3] + by) & (ch[c] > ch[(c + 2) % 3] + by));
}

TEST(Pista, SheetVideoLossAndBadTracksOfOneTrack) {
  Scratch s;
  const Tracked t = makeTrack(s);
  std::vector<std::string> args{t.video, t.track, s.path("sheet.png")};
  args.insert(args.end(), t.box.begin(), t.box.end());
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
  const std::string probe = s.path("probe.txt");
  ASSERT_EQ(std::system(("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                         "stream=codec_name,width,height,nb_read_frames -of csv=p=0 " +
                         shellQuote(s.path("out.mp4")) + " >" + shellQuote(probe))
                            .c_str()),
            0);
  EXPECT_EQ(readFile(probe), "h264,640,360," + std::to_string(doc["frames"].size()) + "\n");
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

  // Tracks that are not this video's are refused.
  const std::string good = readFile(t.track);
  const struct {
    std::string track;
    std::string_view message;
  } cases[] = {
      {write("text.json", "not json"), kTrackUnreadable},
      {write("partial.json", good.substr(0, good.size() / 2)), kTrackUnreadable},
      {variant("wider.json", [](auto& d) { d["width"] = 1280; }), kTrackSize},
      {variant("later.json", [](auto& d) { d["frames"].back()["t"] = 99.0; }), kTrackTimes},
      {variant("between.json",
               [](auto& d) {
                 d["frames"][1]["t"] = d["frames"][1]["t"].template get<double>() + 0.01;
               }),
       kTrackTimes},
      {variant("empty.json", [](auto& d) { d["frames"] = nlohmann::json::array(); }), kTrackEmpty},
      {s.path("missing.json"), kTrackUnreadable},
  };
  for (const auto& c : cases) {
    o = runPista(s, {t.video, c.track, s.path("refused.png")});
    EXPECT_EQ(o.status, kStatusBadTrack) << c.track;
    EXPECT_EQ(o.err, std::string(c.message) + "\n") << c.track;
    EXPECT_FALSE(std::filesystem::exists(s.path("refused.png")));
  }
}

TEST(Pista, UsageAndUnreadableVideo) {
  Scratch s;
  const std::string usage = std::string(kUsage) + "\n";
  for (const auto& args :
       std::vector<std::vector<std::string>>{{},
                                             {"a.mp4", "p.json"},
                                             {"a.mp4", "p.json", "out.gif"},
                                             {"a.mp4", "p.json", "o.png", "0", "0", "1", "x"}}) {
    const Outcome o = runPista(s, args);
    EXPECT_EQ(o.status, kStatusUsage);
    EXPECT_EQ(o.err, usage);
  }
  std::ofstream(s.path("p.json"))
      << R"({"width":640,"height":360,"fps":30,"frames":[{"t":0,"x":0.5,"y":0.5,"s":1,"r":0,"c":1}],"lostAt":null})";
  std::ofstream(s.path("bad.mp4")) << "not a video";
  const Outcome o = runPista(s, {s.path("bad.mp4"), s.path("p.json"), s.path("o.png")});
  EXPECT_EQ(o.status, kStatusNoVideo);
  EXPECT_EQ(o.err, "El archivo no tiene video.\n");
}

}  // namespace
}  // namespace pista
