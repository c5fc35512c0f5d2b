#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "common/progress.hpp"

namespace common {
namespace {

std::string drain(int fd) {
  std::string all;
  char buf[512];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) all.append(buf, static_cast<size_t>(n));
  return all;
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
  const std::string shown = drain(master);
  ::close(master);
  EXPECT_NE(shown.find("1 de 10 cuadros"), std::string::npos) << shown;
  EXPECT_EQ(shown.substr(shown.size() - 4), "\r\033[K") << "the line is erased last";
}

TEST(Progress, ExpectedFramesOfASpan) {
  EXPECT_EQ(expectedFrames(2.0, 30.0), 61);  // both ends of the span hold a frame
  EXPECT_EQ(expectedFrames(2.0, 0.0), 0);    // no frame rate: unknown
  EXPECT_EQ(expectedFrames(-1.0, 30.0), 0);  // a span that ends before it starts
  EXPECT_EQ(expectedFrames(1e300, 30.0), 0);
}

}  // namespace
}  // namespace common
