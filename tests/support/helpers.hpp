// Shared by every suite: a scratch folder, running a built program, and
// making small inputs with the ffmpeg command-line tool.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace support {

namespace fs = std::filesystem;

// A fresh folder per test, removed afterwards.
class Scratch {
 public:
  Scratch() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "t";
    dir_ = fs::temp_directory_path() / ("seguir-test-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  ~Scratch() { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

 private:
  fs::path dir_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline std::size_t entries(const std::string& folder) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
}

// Runs `body` in a child whose files may not grow past `limit` bytes, as on
// a disk that fills up halfway through a write: the child's exit status, or
// -1 when a signal ended it.
inline int underFileSizeLimit(rlim_t limit, const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    const rlimit r{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &r);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs a built program with exactly these arguments, after the shell
// commands in `before` (a limit, a redirection of the input); status -1 when
// a signal ended it.
inline Outcome runProgram(const std::string& exe, const Scratch& scratch,
                          const std::vector<std::string>& args, const std::string& before = "") {
  std::string cmd = before + shellQuote(exe);
  for (const auto& a : args) cmd += " " + shellQuote(a);
  const std::string out = scratch.path("stdout.txt"), err = scratch.path("stderr.txt");
  cmd += " >" + shellQuote(out) + " 2>" + shellQuote(err);
  const int raw = std::system(cmd.c_str());
  Outcome o;
  o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  o.out = readFile(out);
  o.err = readFile(err);
  return o;
}

#ifdef SEGUIR_EXE
inline Outcome runSeguir(const Scratch& scratch, const std::vector<std::string>& args,
                         const std::string& before = "") {
  return runProgram(SEGUIR_EXE, scratch, args, before);
}
#endif

// Runs ffmpeg quietly with the given arguments (already quoted where needed).
inline void ffmpeg(const std::string& args) {
  const std::string cmd = "ffmpeg -nostdin -loglevel error -y " + args;
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

// A clip of a lavfi source, H.264 in MP4 by default.
inline void lavfiClip(
    const std::string& source, const std::string& out,
    const std::string& codec = "-c:v libx264 -preset ultrafast -pix_fmt yuv420p") {
  ffmpeg("-f lavfi -i " + shellQuote(source) + " " + codec + " " + shellQuote(out));
}

// Encodes grey frames (w x h bytes each) at `fps` frames per second, H.264
// by default.
inline void encodeGrey(
    const std::vector<std::vector<uint8_t>>& frames, int w, int h, int fps, const std::string& out,
    const std::string& codec = "-c:v libx264 -preset ultrafast -crf 8 -pix_fmt yuv420p") {
  const std::string raw = out + ".raw";
  {
    std::ofstream f(raw, std::ios::binary);
    for (const auto& fr : frames) f.write(reinterpret_cast<const char*>(fr.data()), w * h);
  }
  ffmpeg("-f rawvideo -pix_fmt gray -s " + std::to_string(w) + "x" + std::to_string(h) + " -r " +
         std::to_string(fps) + " -i " + shellQuote(raw) + " " + codec + " " + shellQuote(out));
  fs::remove(raw);
}

}  // namespace support
