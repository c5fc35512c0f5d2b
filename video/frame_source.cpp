#include "video/frame_source.hpp"

#include <new>
#include <optional>
#include <utility>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "video/conversion.hpp"
#include "video/decoder.hpp"
#include "video/input.hpp"

namespace video {

struct FrameSource::Impl {
  Input input;
  Decoder decoder;
  VideoInfo info;
  std::optional<Converter> converter;
  std::optional<ColourConverter> colour;  // when frames are delivered in colour
  Picture picture;                        // next()'s

  bool take(const AVFrame* f, Picture& out);
};

namespace {

Opened failed(Error error) {
  return {nullptr, std::move(error)};
}

}  // namespace

FrameSource::FrameSource(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
FrameSource::~FrameSource() = default;

const VideoInfo& FrameSource::info() const {
  return impl_->info;
}

const Error& FrameSource::error() const {
  return impl_->decoder.error();
}

Opened FrameSource::open(const std::string& path, double inicio, double fin) {
  // FFmpeg's own diagnostics would add lines to standard error, where the
  // programs promise at most one.
  av_log_set_level(AV_LOG_QUIET);
  auto impl = std::make_unique<Impl>();
  if (Error e = impl->input.openFile(path)) return failed(std::move(e));
  return start(std::move(impl), inicio, fin);
}

Opened FrameSource::openMemory(const uint8_t* data, size_t size, double inicio, double fin) {
  av_log_set_level(AV_LOG_QUIET);
  auto impl = std::make_unique<Impl>();
  if (Error e = impl->input.openMemory(data, size)) return failed(std::move(e));
  return start(std::move(impl), inicio, fin);
}

Opened FrameSource::start(std::unique_ptr<Impl> impl, double inicio, double fin) {
  AVFormatContext* fmt = impl->input.format();
  const int stream = firstVideoStream(fmt);
  if (stream < 0) return failed({Failure::kNoVideo, {}});
  impl->info = describe(fmt->streams[stream]);
  if (Error e = impl->decoder.open(fmt, stream)) return failed(std::move(e));
  impl->decoder.seekToSpan(inicio, fin);
  impl->converter = Converter::forVideo(impl->info);
  if (!impl->converter) return failed({Failure::kReaderFailed, {}});
  return {std::unique_ptr<FrameSource>(new FrameSource(std::move(impl))), {}};
}

void FrameSource::useColour(int64_t w, int64_t h) {
  impl_->colour.emplace(impl_->info, w, h);
}

void FrameSource::renderColour(Picture& picture, ColourFrame& frame) {
  std::swap(frame, picture.colour_);
}

void FrameSource::useRgbaConversion(bool accurate) {
  impl_->converter->useRgbaConversion(accurate);
}

bool FrameSource::next(double& t, core::Img& frame) {
  if (!nextPicture(t, impl_->picture)) return false;
  render(impl_->picture, core::Region{0, 0, impl_->info.GW, impl_->info.GH}, frame);
  return true;
}

bool FrameSource::nextPicture(double& t, Picture& picture) {
  Impl& s = *impl_;
  try {
    AVFrame* f = s.decoder.next(t);
    if (!f) return false;
    const bool taken = s.take(f, picture);
    av_frame_unref(f);
    if (!taken) s.decoder.stop({Failure::kReaderFailed, {}});
    return taken;
  } catch (const std::bad_alloc&) {
    s.decoder.stop(readerError(AVERROR(ENOMEM)));
    return false;
  }
}

// Frames on the direct Y'CbCr pass in a flip or quarter turn can be made a
// part at a time, once the part is known; the others only whole, now.
bool FrameSource::Impl::take(const AVFrame* f, Picture& out) {
  if (colour) return colour->convert(f, out.colour_);
  const int factor = converter->directFactor(f);
  if (!converter->byParts(factor)) return converter->convert(f, out.grey_);
  if (!out.frame_) out.frame_.reset(av_frame_alloc());
  if (!out.frame_) throw std::bad_alloc();
  av_frame_move_ref(out.frame_.get(), const_cast<AVFrame*>(f));
  out.factor_ = factor;
  return true;
}

// A frame made whole is handed over, its buffer swapped with the caller's
// for the next one; a deferred one has only the region made, from the
// decoder's planes, which are then let go.
void FrameSource::render(Picture& picture, const core::Region& region, core::Img& frame) {
  AVFrame* f = picture.frame_.get();
  if (!f || !f->data[0]) {
    std::swap(frame, picture.grey_);
    return;
  }
  impl_->converter->convertPart(f, picture.factor_, region, frame);
  av_frame_unref(f);
}

}  // namespace video
