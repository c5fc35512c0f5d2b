// The container, opened from a local file or from memory, never from an
// FFmpeg URL or protocol: a path must never reach a network or another
// program, nor a file that a playlist or concat list names.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "video/failure.hpp"

struct AVFormatContext;
struct AVIOContext;

namespace video {

class Input {
 public:
  Input();
  ~Input();
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // A local file. A pipe or device cannot be read twice, but many containers
  // (an MP4 with its index at the end) must seek back: such input is first
  // copied whole to an anonymous temporary file.
  Error openFile(const std::string& path);
  // A file held in memory, which must outlive the input.
  Error openMemory(const uint8_t* data, size_t size);

  AVFormatContext* format() const { return fmt_.get(); }

 private:
  Error open(const std::string& url, const char* whitelist);

  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  struct IoFreer {
    void operator()(AVIOContext* p) const;
  };
  struct FormatCloser {
    void operator()(AVFormatContext* p) const;
  };
  // Our own reading, for memory and spooled pipes; outlives the format context.
  std::unique_ptr<std::FILE, FileCloser> file_;
  std::unique_ptr<AVIOContext, IoFreer> io_;
  std::unique_ptr<AVFormatContext, FormatCloser> fmt_;
};

}  // namespace video
