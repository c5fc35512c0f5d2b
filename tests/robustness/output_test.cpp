// The track file is replaced whole or not at all.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "../tracker/helpers.hpp"
#include "tracker/output.hpp"

namespace seguir {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::Scratch;

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  return names;
}

// Runs writeWholeFile in a child whose files may not grow past `limit`
// bytes; true when the child reported success (a signal counts as a crash).
bool writeUnderSizeLimit(const std::string& path, const std::string& bytes, rlim_t limit) {
  const pid_t child = fork();
  if (child == 0) {
    const rlimit r{limit, limit};
    setrlimit(RLIMIT_FSIZE, &r);
    _exit(writeWholeFile(path, bytes) ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(WholeFile, ReplacesTheTargetOrLeavesItAsItWas) {
  Scratch s;
  const std::string target = s.path("out/track.json");
  fs::create_directories(s.path("out"));
  ASSERT_TRUE(writeWholeFile(target, "first"));
  ASSERT_TRUE(writeWholeFile(target, "second, longer"));
  EXPECT_EQ(readFile(target), "second, longer");
  EXPECT_EQ(entries(s.path("out")), std::vector<std::string>{"track.json"});

  // A disk that fills up halfway through the write: the old track survives
  // and no temporary file is left behind.
  EXPECT_FALSE(writeUnderSizeLimit(target, std::string(100000, 'x'), 4096));
  EXPECT_EQ(readFile(target), "second, longer");
  EXPECT_EQ(entries(s.path("out")), std::vector<std::string>{"track.json"});
  EXPECT_TRUE(writeUnderSizeLimit(target, "small", 4096));
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
