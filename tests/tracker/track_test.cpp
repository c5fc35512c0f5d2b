#include <cmath>
#include <nlohmann/json.hpp>

#include "support/scene.hpp"
#include "support/helpers.hpp"
#include "tracker/output.hpp"

namespace seguir {
namespace {

using support::runSeguir;
using support::Scratch;
using trackdoc::Record;
namespace fs = std::filesystem;
using support::readFile;
using Json = nlohmann::ordered_json;

using support::kH;
using support::kW;
using support::Pose;
using support::render;

// The patch drifts over a flat field and vanishes after frame 9: frames 10
// and 11 are weak, 12 is the loss. A span that ends before the loss keeps
// no weak records at its end either.
TEST(Tracking, VanishingRegion) {
  Scratch s;
  std::vector<std::vector<uint8_t>> frames;
  for (int k = 0; k < 16; ++k) frames.push_back(render({140 + 1.5 * k, 120, 1, 0}, k < 10, true));
  support::encodeGrey(frames, kW, kH, 10, s.path("gone.mp4"));
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

}  // namespace
}  // namespace seguir
