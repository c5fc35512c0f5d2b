#include <cmath>
#include <nlohmann/json.hpp>

#include "helpers.hpp"
#include "scene.hpp"
#include "tracker/output.hpp"

namespace seguir {
namespace {

using testing::runSeguir;
using testing::Scratch;
namespace fs = std::filesystem;
using testing::readFile;
using Json = nlohmann::ordered_json;

using testing::kH;
using testing::kW;
using testing::Pose;
using testing::render;

// The patch drifts over a flat field and vanishes after frame 9: frames 10
// and 11 are weak, 12 is the loss. A span that ends before the loss keeps
// no weak records at its end either.
TEST(Tracking, VanishingRegion) {
  Scratch s;
  std::vector<std::vector<uint8_t>> frames;
  for (int k = 0; k < 16; ++k) frames.push_back(render({140 + 1.5 * k, 120, 1, 0}, k < 10, true));
  testing::encodeGrey(frames, kW, kH, 10, s.path("gone.mp4"));
  // The patch's box on the first frame: (140, 120) +- 32.
  const auto run = [&](const std::string& fin, const std::string& summary) {
    const auto o = runSeguir(s, {s.path("gone.mp4"), "0", fin, "0.3375", "0.366667", "0.5375",
                                 "0.633333", s.path("track.json")});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out, summary);
    return Json::parse(readFile(s.path("track.json")));
  };
  Json doc = run("10", "ok 10 cuadros (se perdió)\n");
  EXPECT_NEAR(doc["lostAt"].get<double>(), 1.2, 1e-9);
  ASSERT_EQ(doc["frames"].size(), 10u);  // the two weak records are trimmed
  EXPECT_NEAR(doc["frames"][9]["t"].get<double>(), 0.9, 1e-9);
  doc = run("1.1", "ok 10 cuadros\n");
  EXPECT_TRUE(doc["lostAt"].is_null());
  EXPECT_EQ(doc["frames"].size(), 10u);
}

TEST(TrackOutput, TrimKeepsTheFirstRecordAndConfidentOnes) {
  const auto cs = [](std::vector<double> c) {
    std::vector<Record> r;
    for (double v : c) r.push_back({0, 0, 0, 1, 0, v});
    trimWeakTail(r);
    return r.size();
  };
  EXPECT_EQ(cs({1, 0.9, 0.2, 0.1}), 2u);
  EXPECT_EQ(cs({1, 0.2, 0.9, 0.5}), 4u);  // exactly 0.5 is not weak; weak in the middle stays
  EXPECT_EQ(cs({0.1, 0.1}), 1u);          // the first record always stays
  EXPECT_EQ(cs({}), 0u);
}

TEST(TrackOutput, NonFiniteValuesBecomeNull) {
  Track t;
  t.width = 2;
  t.height = 1;
  t.fps = 29.97f;
  t.frames.push_back({0.5, NAN, INFINITY, 1, 0, 1});
  t.lostAt = 1.25;
  EXPECT_EQ(toJson(t),
            R"({"width":2.0,"height":1.0,"fps":29.969999313354492,"frames":[{"t":0.5,"x":null,)"
            R"("y":null,"s":1.0,"r":0.0,"c":1.0}],"lostAt":1.25})");
}

// The track file is replaced whole or not at all.
TEST(WholeFile, ReplacesTheTargetOrLeavesItAsItWas) {
  Scratch s;
  const std::string target = s.path("out/track.json");
  fs::create_directories(s.path("out"));
  ASSERT_TRUE(writeWholeFile(target, "first"));
  ASSERT_TRUE(writeWholeFile(target, "second, longer"));
  EXPECT_EQ(readFile(target), "second, longer");
  EXPECT_EQ(testing::entries(s.path("out")), 1u);

  // A disk that fills up halfway through the write: the old track survives
  // and no temporary file is left behind; the size signal kills nothing.
  const auto limited = [&](const std::string& bytes) {
    return testing::underFileSizeLimit(4096, [&] { return writeWholeFile(target, bytes) ? 0 : 1; });
  };
  EXPECT_EQ(limited(std::string(100000, 'x')), 1);
  EXPECT_EQ(readFile(target), "second, longer");
  EXPECT_EQ(testing::entries(s.path("out")), 1u);
  EXPECT_EQ(limited("small"), 0);
  EXPECT_EQ(readFile(target), "small");

  // Nowhere to write: a missing folder, or a folder where the file should be.
  EXPECT_FALSE(writeWholeFile(s.path("missing/track.json"), "x"));
  EXPECT_FALSE(writeWholeFile(s.path("out"), "x"));
  EXPECT_TRUE(fs::is_directory(s.path("out")));
}

TEST(WholeFile, ALinkedTargetIsReplacedThroughTheLink) {
  Scratch s;
  ASSERT_TRUE(writeWholeFile(s.path("real.json"), "old"));
  fs::create_symlink("real.json", s.path("link.json"));
  ASSERT_TRUE(writeWholeFile(s.path("link.json"), "new"));
  EXPECT_TRUE(fs::is_symlink(s.path("link.json")));
  EXPECT_EQ(readFile(s.path("real.json")), "new");
}

}  // namespace
}  // namespace seguir
