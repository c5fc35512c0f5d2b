#include "video/input.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

namespace video {

namespace {

// Reading a FILE* on FFmpeg's behalf: in-memory files and spooled pipes.
int readFile(void* opaque, uint8_t* buf, int size) {
  std::FILE* f = static_cast<std::FILE*>(opaque);
  const size_t got = std::fread(buf, 1, static_cast<size_t>(size), f);
  if (got > 0) return static_cast<int>(got);
  return std::ferror(f) ? AVERROR(EIO) : AVERROR_EOF;
}

int64_t seekFile(void* opaque, int64_t offset, int whence) {
  std::FILE* f = static_cast<std::FILE*>(opaque);
  if (whence & AVSEEK_SIZE) {
    const off_t at = ftello(f);
    if (at < 0 || fseeko(f, 0, SEEK_END) != 0) return AVERROR(EIO);
    const off_t size = ftello(f);
    fseeko(f, at, SEEK_SET);
    return size;
  }
  if (fseeko(f, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE) != 0) return AVERROR(EIO);
  return ftello(f);
}

// Zero on success, else an FFmpeg error code.
int spool(std::FILE* in, std::FILE* out) {
  std::vector<char> chunk(1 << 16);
  size_t got;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), in)) > 0) {
    if (std::fwrite(chunk.data(), 1, got, out) != got) return AVERROR(errno ? errno : EIO);
  }
  if (std::ferror(in)) return AVERROR(EIO);
  if (std::fflush(out) != 0 || std::fseek(out, 0, SEEK_SET) != 0) return AVERROR(EIO);
  return 0;
}

bool isStreamed(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 &&
         (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode));
}

}  // namespace

void Input::IoFreer::operator()(AVIOContext* p) const {
  av_freep(&p->buffer);
  avio_context_free(&p);
}

void Input::FormatCloser::operator()(AVFormatContext* p) const {
  avformat_close_input(&p);
}

Input::Input() = default;
Input::~Input() = default;

// "file:" keeps a name such as "concat:a|b" or "http://x" a name of a local
// file.
Error Input::openFile(const std::string& path) {
  if (isStreamed(path)) {
    std::unique_ptr<std::FILE, FileCloser> in(std::fopen(path.c_str(), "rb"));
    if (!in) return {Failure::kNoVideo, {}};
    file_.reset(std::tmpfile());
    if (!file_) return readerError(AVERROR(errno));
    if (const int err = spool(in.get(), file_.get()); err < 0) return readerError(err);
  }
  return open("file:" + path, "file");
}

Error Input::openMemory(const uint8_t* data, size_t size) {
  if (size == 0) return {Failure::kNoVideo, {}};
  file_.reset(fmemopen(const_cast<uint8_t*>(data), size, "rb"));
  if (!file_) return readerError(AVERROR(errno));
  // Nothing outside the buffer may be opened, not even a local file.
  return open("memory", "none");
}

// `whitelist` names the only protocols by which the file and any file it
// refers to may be opened.
Error Input::open(const std::string& url, const char* whitelist) {
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) return readerError(AVERROR(ENOMEM));
  if (file_) {
    constexpr int kBufferSize = 1 << 15;
    auto* buffer = static_cast<uint8_t*>(av_malloc(kBufferSize));
    if (buffer) {
      io_.reset(
          avio_alloc_context(buffer, kBufferSize, 0, file_.get(), readFile, nullptr, seekFile));
    }
    if (!io_) {
      av_free(buffer);
      avformat_free_context(raw);
      return readerError(AVERROR(ENOMEM));
    }
    raw->pb = io_.get();
  }
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", whitelist, 0);
  int err = avformat_open_input(&raw, url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (err >= 0) {  // else raw is freed
    fmt_.reset(raw);
    err = avformat_find_stream_info(raw, nullptr);
  }
  // Memory running out is the reader failing, not the file.
  if (err == AVERROR(ENOMEM)) return readerError(err);
  if (err < 0) return {Failure::kNoVideo, {}};
  return {};
}

}  // namespace video
