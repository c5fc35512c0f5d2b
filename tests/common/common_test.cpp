// What every program shares: the number rule of the command lines, the
// progress line, and the replacement file through which every output of the
// programs (seguir's track, pista's sheet and video, recortar's PNG) replaces
// its target whole or not at all.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/numbers.hpp"
#include "common/progress.hpp"
#include "common/replacement_file.hpp"
#include "support/helpers.hpp"

namespace common {
namespace {

// What strtod accepts is strtod's own business; ours is that the conversion
// must take the whole text.
TEST(Numbers, OnlyTextConsumedWholeIsANumber) {
  EXPECT_EQ(parseNumber("-0.25"), -0.25);
  // strtod would skip the leading blanks and stop before the trailing text.
  for (const char* bad : {"", " 2", "\t2", "2 ", "2s", "1,5", "abc", "-", "."}) {
    EXPECT_FALSE(parseNumber(bad)) << '"' << bad << '"';
  }
  // An embedded NUL would end the text early for strtod: "2" with "1" hidden.
  EXPECT_FALSE(parseNumber(std::string_view("2\0001", 3)));
}

// Anywhere but a terminal (a pipe, a file, every script and test) nothing is
// written; on a terminal the line appears and is erased last.
TEST(Progress, ShowsOnlyOnATerminalAndErasesItsLine) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    Progress progress(10, file, std::chrono::milliseconds(0));
    for (int i = 0; i < 5; ++i) progress.frame();
  }
  EXPECT_EQ(std::ftell(file), 0);
  std::fclose(file);

  int master = -1, slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    GTEST_SKIP() << "no pseudo-terminal here (a container without /dev/pts)";
  }
  std::FILE* terminal = ::fdopen(slave, "w");
  ASSERT_NE(terminal, nullptr);
  {
    Progress progress(10, terminal, std::chrono::milliseconds(0));
    progress.frame();
    progress.clear();
  }
  std::fclose(terminal);
  std::string shown;
  char buf[512];
  for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) shown.append(buf, n);
  EXPECT_NE(shown.find("1 de 10 cuadros"), std::string::npos) << shown;
  EXPECT_EQ(shown.substr(shown.size() - 4), "\r\033[K") << "the line is erased last";
}

TEST(Progress, ExpectedFramesOfASpan) {
  EXPECT_EQ(expectedFrames(2.0, 30.0), 61);  // both ends of the span hold a frame
  EXPECT_EQ(expectedFrames(2.0, 0.0), 0);    // no frame rate: unknown
  EXPECT_EQ(expectedFrames(-1.0, 30.0), 0);  // a span that ends before it starts
  EXPECT_EQ(expectedFrames(1e300, 30.0), 0);
}

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

  // A link stays a link: the file it names gets the new content.
  fs::create_symlink("track.json", s.path("out/link.json"));
  ASSERT_EQ(replace(s.path("out/link.json"), "new"), Replaced::kDone);
  EXPECT_TRUE(fs::is_symlink(s.path("out/link.json")));
  EXPECT_EQ(readFile(target), "new");

  // Devices cannot be replaced, only written in place.
  EXPECT_EQ(replace("/dev/full", "x"), Replaced::kNotFinished);
  EXPECT_EQ(replace("/dev/null", "x"), Replaced::kDone);
}

}  // namespace
}  // namespace common
