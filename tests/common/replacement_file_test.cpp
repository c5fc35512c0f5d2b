// Every output of the programs replaces its target whole or not at all:
// seguir's track, pista's sheet and video, recortar's PNG.
#include <gtest/gtest.h>
#include <unistd.h>

#include "common/replacement_file.hpp"
#include "support/helpers.hpp"

namespace common {
namespace {

namespace fs = std::filesystem;
using support::entries;
using support::readFile;
using support::Scratch;

Replaced replace(const std::string& path, const std::string& text) {
  return replaceFile(path, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

TEST(ReplacementFile, ReplacesTheTargetOrLeavesItAsItWas) {
  Scratch s;
  const std::string target = s.path("out/track.json");
  fs::create_directories(s.path("out"));
  ASSERT_EQ(replace(target, "first"), Replaced::kDone);
  const auto perms = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(target, perms);
  ASSERT_EQ(replace(target, "second, longer"), Replaced::kDone);
  EXPECT_EQ(readFile(target), "second, longer");
  EXPECT_EQ(fs::status(target).permissions(), perms);
  EXPECT_EQ(entries(s.path("out")), 1u);

  // A disk that fills up halfway through the write: the old file survives,
  // no temporary file is left behind, and the size signal kills nothing.
  const auto limited = [&](const std::string& bytes) {
    return support::underFileSizeLimit(4096,
                                       [&] { return static_cast<int>(replace(target, bytes)); });
  };
  EXPECT_EQ(limited(std::string(100000, 'x')), static_cast<int>(Replaced::kNotFinished));
  EXPECT_EQ(readFile(target), "second, longer");
  EXPECT_EQ(entries(s.path("out")), 1u);
  EXPECT_EQ(limited("small"), static_cast<int>(Replaced::kDone));
  EXPECT_EQ(readFile(target), "small");

  // Nowhere to write: a missing folder, a folder where the file should be,
  // a folder locked against us.
  fs::create_directory(s.path("locked"));
  fs::permissions(s.path("locked"), fs::perms::owner_read | fs::perms::owner_exec);
  std::vector<std::string> nowhere = {"missing/track.json", "out"};
  if (::geteuid() != 0) nowhere.push_back("locked/track.json");  // root writes anywhere
  for (const std::string& name : nowhere) {
    EXPECT_EQ(replace(s.path(name), "x"), Replaced::kNotCreated) << name;
  }
  EXPECT_TRUE(fs::is_directory(s.path("out")));
  EXPECT_EQ(entries(s.path("locked")), 0u);

  // Devices cannot be replaced, only written in place.
  EXPECT_EQ(replace("/dev/full", "x"), Replaced::kNotFinished);
  EXPECT_EQ(replace("/dev/null", "x"), Replaced::kDone);
}

// A link stays a link: the file it names gets the new content.
TEST(ReplacementFile, ALinkedTargetIsReplacedThroughTheLink) {
  Scratch s;
  ASSERT_EQ(replace(s.path("real.png"), "old"), Replaced::kDone);
  fs::create_symlink("real.png", s.path("link.png"));
  ASSERT_EQ(replace(s.path("link.png"), "new"), Replaced::kDone);
  EXPECT_TRUE(fs::is_symlink(s.path("link.png")));
  EXPECT_EQ(readFile(s.path("real.png")), "new");
}

}  // namespace
}  // namespace common
