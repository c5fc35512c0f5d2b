#include <nlohmann/json.hpp>

#include "support/helpers.hpp"
#include "support/scene.hpp"
#include "tracker/messages.hpp"

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

// The numbers in every form strtod takes, on a missing, audio-only or empty file.
TEST(CommandLine, MissingAudioOnlyAndEmptyFilesHaveNoVideo) {
  Scratch s;
  support::ffmpeg("-f lavfi -i sine=duration=0.5 -c:a aac " + s.path("a.m4a"));
  { std::ofstream(s.path("empty.mp4")); }
  for (const char* name : {"missing.mp4", "a.m4a", "empty.mp4"}) {
    const auto o =
        runSeguir(s, {s.path(name), "2", "+2", "2.", ".5", "1e1", "0x1p-1", s.path("o.json")});
    EXPECT_EQ(o.status, kStatusUnreadable) << name;
    EXPECT_EQ(o.err, std::string(kNoVideo) + "\n");
    EXPECT_EQ(o.out, "");
    EXPECT_FALSE(support::fs::exists(s.path("o.json")));
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
  // failure, and it replaces what the output held.
  { std::ofstream(s.path("o.json")) << std::string(10000, 'x'); }
  o = run({"5", "6", "0.3", "0.3", "0.6", "0.6"}, s.path("o.json"));
  EXPECT_EQ(o.status, kStatusOk);
  EXPECT_EQ(o.out, "ok 0 cuadros\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(support::readFile(s.path("o.json")),
            R"({"width":160.0,"height":120.0,"fps":10.0,"frames":[],"lostAt":null})");
}

// The patch drifts over a flat field and vanishes after frame 9: frames 10
// and 11 are weak, 12 is the loss. A span that ends before the loss keeps
// no weak records at its end either.
TEST(Tracking, VanishingRegion) {
  Scratch s;
  std::vector<std::vector<uint8_t>> frames;
  for (int k = 0; k < 16; ++k) {
    frames.push_back(support::render({140 + 1.5 * k, 120, 1, 0}, k < 10, true));
  }
  support::encodeGrey(frames, support::kW, support::kH, 10, s.path("gone.mp4"));
  // The patch's box on the first frame: (140, 120) +- 32.
  const auto run = [&](const std::string& fin, const std::string& summary) {
    const auto o = runSeguir(s, {s.path("gone.mp4"), "0", fin, "0.3375", "0.366667", "0.5375",
                                 "0.633333", s.path("track.json")});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out, summary);
    return Json::parse(support::readFile(s.path("track.json")));
  };
  Json doc = run("10", "ok 10 cuadros (se perdió)\n");
  EXPECT_NEAR(doc["lostAt"].get<double>(), 1.2, 1e-9);
  ASSERT_EQ(doc["frames"].size(), 10u);  // the two weak records are trimmed
  EXPECT_NEAR(doc["frames"][9]["t"].get<double>(), 0.9, 1e-9);
  doc = run("1.1", "ok 10 cuadros\n");
  EXPECT_TRUE(doc["lostAt"].is_null());
  EXPECT_EQ(doc["frames"].size(), 10u);
}

}  // namespace
}  // namespace seguir
