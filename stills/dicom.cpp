// DICOM through GDCM, which decodes every transfer syntax it knows
// (uncompressed, RLE, JPEG, JPEG-LS, JPEG 2000). Part of the module of
// extra_module.hpp.
//
// Frame 0 only. Grey (MONOCHROME2, and MONOCHROME1 inverted so that the
// picture looks as it is meant to), RGB, palette colour through its table,
// and YBR_FULL; 8 or 16 bits allocated. Samples are scaled from their stored
// bits to 8 with rounding, as Netpbm's maximum value is, so that a 12-bit
// image fills the range; signed samples are shifted to start at 0. Rescale
// slope and window are not applied: the picture is the stored values. GDCM
// itself runs in a child process (see decodeDicom).
#include <gdcmImageApplyLookupTable.h>
#include <gdcmImageChangePhotometricInterpretation.h>
#include <gdcmImageReader.h>
#include <gdcmTrace.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

#include "stills/extra_module.hpp"

namespace stills::detail {

namespace {

// The file as a read-only, seekable stream buffer, without a copy.
class MemoryBuffer final : public std::streambuf {
 public:
  explicit MemoryBuffer(Bytes file) {
    // The buffer is only read from: nothing is ever put back into it.
    char* begin = const_cast<char*>(reinterpret_cast<const char*>(file.data()));
    setg(begin, begin, begin + file.size());
  }

 protected:
  pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                   std::ios_base::openmode which) override {
    const off_type size = egptr() - eback();
    const off_type from = dir == std::ios_base::beg   ? 0
                          : dir == std::ios_base::cur ? gptr() - eback()
                                                      : size;
    if ((which & std::ios_base::in) == 0 || off < -from || off > size - from) {
      return pos_type(off_type(-1));
    }
    setg(eback(), eback() + from + off, egptr());
    return pos_type(from + off);
  }
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
    return seekoff(off_type(pos), std::ios_base::beg, which);
  }
};

// GDCM allocates (and clears) what an element's 32-bit length declares before
// reading it, so a kilobyte of damaged file could take gigabytes. Every
// length is checked here against the bytes that follow it, through nested
// sequences and items, before GDCM sees the file.
class Lengths {
 public:
  explicit Lengths(Bytes file) : f_(file) {}

  bool check() {
    std::size_t at = 132;
    std::string syntax;
    // The meta group: always explicit VR little endian; it names the syntax of the rest.
    while (f_.size() - at >= 8 && u16(at, true) == 0x0002) {
      const std::size_t tag = at;
      if (!header(at, {true, true}) || f_.size() - at < length_) return false;
      if (u16(tag + 2, true) == 0x0010) {
        syntax.assign(reinterpret_cast<const char*>(f_.data() + at), length_);
        while (!syntax.empty() && (syntax.back() == '\0' || syntax.back() == ' '))
          syntax.pop_back();
      }
      at += length_;
    }
    Layout layout{true, true};
    if (syntax == "1.2.840.10008.1.2") {
      layout.explicitVr = false;
    } else if (syntax == "1.2.840.10008.1.2.2") {
      layout.little = false;
    } else if (syntax == "1.2.840.10008.1.2.1.99") {
      return false;  // deflated: its lengths cannot be seen without inflating it
    } else if (syntax.empty() && f_.size() - at >= 6) {
      layout.explicitVr = std::isupper(f_[at + 4]) && std::isupper(f_[at + 5]);
    }
    return walk(at, f_.size(), layout, false, 0);
  }

 private:
  struct Layout {
    bool explicitVr;
    bool little;
  };
  static constexpr std::uint32_t kUndefined = 0xFFFFFFFF;

  unsigned u16(std::size_t at, bool little) const {
    return little ? f_[at] | (f_[at + 1] << 8) : (f_[at] << 8) | f_[at + 1];
  }
  std::uint32_t u32(std::size_t at, bool little) const {
    const std::uint32_t lo = u16(at, little), hi = u16(at + 2, little);
    return little ? lo | (hi << 16) : (lo << 16) | hi;
  }

  // Reads the tag, VR and length of the element at `at` into the members and
  // moves past them; false when they do not fit.
  bool header(std::size_t& at, Layout l) {
    if (f_.size() - at < 8) return false;
    group_ = u16(at, l.little);
    element_ = u16(at + 2, l.little);
    vr_[0] = vr_[1] = 0;
    if (group_ == 0xFFFE || !l.explicitVr) {  // items and delimiters have no VR
      length_ = u32(at + 4, l.little);
      at += 8;
      return true;
    }
    vr_[0] = static_cast<char>(f_[at + 4]);
    vr_[1] = static_cast<char>(f_[at + 5]);
    static constexpr const char* kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                            "SV", "UC", "UN", "UR", "UT", "UV"};
    const bool longForm = std::any_of(std::begin(kLong), std::end(kLong),
                                      [&](const char* v) { return std::memcmp(v, vr_, 2) == 0; });
    if (!longForm) {
      length_ = u16(at + 6, l.little);
      at += 8;
      return true;
    }
    if (f_.size() - at < 12) return false;
    length_ = u32(at + 8, l.little);
    at += 12;
    return true;
  }

  // The elements (or, in encapsulated pixel data, the fragments) from `at`
  // up to `end` or to the delimiter that closes them.
  bool walk(std::size_t& at, std::size_t end, Layout l, bool fragments, int depth) {
    if (depth > 64) return false;
    while (at < end) {
      if (!header(at, l) || at > end) return false;
      if (group_ == 0xFFFE && (element_ == 0xE00D || element_ == 0xE0DD)) return true;
      const bool item = group_ == 0xFFFE;
      if (length_ == kUndefined) {
        // Runs to its delimiter: a sequence, an item, encapsulated pixel data
        // (OB or OW), or a sequence whose VR was lost (UN: implicit inside).
        const bool encapsulated =
            !item && (std::memcmp(vr_, "OB", 2) == 0 || std::memcmp(vr_, "OW", 2) == 0);
        const Layout inner = std::memcmp(vr_, "UN", 2) == 0 ? Layout{false, true} : l;
        if (!walk(at, end, inner, encapsulated, depth + 1)) return false;
        continue;
      }
      if (length_ > end - at) return false;
      const std::size_t next = at + length_;
      // Sequences and their items hold elements; fragments hold bytes.
      const bool nested = item ? !fragments : std::memcmp(vr_, "SQ", 2) == 0;
      if (nested && !walk(at, next, l, false, depth + 1)) return false;
      at = next;
    }
    return true;
  }

  Bytes f_;
  unsigned group_ = 0, element_ = 0;
  char vr_[2] = {0, 0};
  std::uint32_t length_ = 0;
};

// Samples of `bits` stored bits, signed or not, to 0..255.
struct Scale {
  std::int64_t offset;  // added first: brings signed samples to 0..max
  std::int64_t max;

  std::uint8_t operator()(std::int64_t v) const {
    v = std::clamp<std::int64_t>(v + offset, 0, max);
    return static_cast<std::uint8_t>((v * 255 + max / 2) / max);
  }
};

std::int64_t sample(const std::uint8_t* p, int bytes, bool isSigned) {
  if (bytes == 1) return isSigned ? std::int64_t{static_cast<std::int8_t>(*p)} : *p;
  std::uint16_t v;
  std::memcpy(&v, p, 2);  // GDCM hands out samples in the machine's byte order
  return isSigned ? std::int64_t{static_cast<std::int16_t>(v)} : v;
}

// The whole decoded volume is held at once (and a table's colours beside
// it): its size is bounded by the same limit as one picture's, and
// uncompressed samples must all be in the file.
bool sizeFits(const gdcm::Image& image, Bytes file) {
  const unsigned* dims = image.GetDimensions();
  const std::int64_t w = dims[0], h = dims[1];
  const std::int64_t frames = image.GetNumberOfDimensions() > 2 ? dims[2] : 1;
  return sizeAllowed(w, h) && sizeAllowed(w * h, frames) &&
         (image.GetTransferSyntax().IsEncapsulated() || image.GetBufferLength() <= file.size());
}

// Frame 0 of a grey or RGB image into the premultiplied (here: opaque) raster.
bool toRaster(const gdcm::Image& image, bool invert, const RasterRequest& raster) {
  const unsigned* dims = image.GetDimensions();
  const std::int64_t w = dims[0], h = dims[1];
  const gdcm::PixelFormat& format = image.GetPixelFormat();
  const int channels = format.GetSamplesPerPixel();
  const int bits = format.GetBitsAllocated();
  if ((channels != 1 && channels != 3) || (bits != 8 && bits != 16)) return false;
  const std::size_t length = image.GetBufferLength();
  const int bytes = bits / 8;
  if (length < static_cast<std::size_t>(w * h) * channels * bytes) return false;
  std::uint8_t* out = raster(w, h);
  if (out == nullptr) return false;
  std::vector<std::uint8_t> decoded(length);
  if (!image.GetBuffer(reinterpret_cast<char*>(decoded.data()))) return false;

  const int stored = std::clamp<int>(format.GetBitsStored(), 1, bits);
  const bool isSigned = format.GetPixelRepresentation() == 1;
  const Scale scale{isSigned ? std::int64_t{1} << (stored - 1) : 0,
                    (std::int64_t{1} << stored) - 1};
  const std::size_t pixels = static_cast<std::size_t>(w * h);
  // Colour stored interleaved (R G B R G B) or as three planes.
  const bool planar = channels == 3 && image.GetPlanarConfiguration() == 1;
  const std::size_t step = planar ? 1 : channels;
  const std::size_t plane = planar ? pixels : 1;
  const std::uint8_t* in = decoded.data();
  for (std::size_t i = 0; i < pixels; ++i, out += 4) {
    for (int c = 0; c < 3; ++c) {
      const std::size_t at = (i * step + (channels == 3 ? c * plane : 0)) * bytes;
      const std::uint8_t v = scale(sample(in + at, bytes, isSigned));
      out[c] = invert ? static_cast<std::uint8_t>(255 - v) : v;
    }
    out[3] = 255;
  }
  return true;
}

bool decodeHere(Bytes file, const RasterRequest& raster) {
  static const bool quiet = [] {
    // GDCM reports every oddity of a file on standard error unless told not to.
    static std::ostream nowhere(nullptr);
    gdcm::Trace::SetStream(nowhere);
    gdcm::Trace::SetDebug(false);
    gdcm::Trace::SetWarning(false);
    gdcm::Trace::SetError(false);
    return true;
  }();
  (void)quiet;
  if (!Lengths(file).check()) return false;
  MemoryBuffer buffer(file);
  std::istream in(&buffer);
  gdcm::ImageReader reader;
  reader.SetStream(in);
  if (!reader.Read()) return false;
  const gdcm::Image& image = reader.GetImage();
  if (!sizeFits(image, file)) return false;
  using PI = gdcm::PhotometricInterpretation;
  switch (image.GetPhotometricInterpretation()) {
    case PI::MONOCHROME1:
      return toRaster(image, true, raster);
    case PI::MONOCHROME2:
    case PI::RGB:
    case PI::YBR_ICT:  // JPEG 2000's colour transforms, undone by its decoder
    case PI::YBR_RCT:
      return toRaster(image, false, raster);
    case PI::PALETTE_COLOR: {
      gdcm::ImageApplyLookupTable lookup;
      lookup.SetInput(image);
      return lookup.Apply() && toRaster(lookup.GetOutput(), false, raster);
    }
    case PI::YBR_FULL: {
      gdcm::ImageChangePhotometricInterpretation change;
      change.SetInput(image);
      change.SetPhotometricInterpretation(PI::RGB);
      return change.Change() && toRaster(change.GetOutput(), false, raster);
    }
    default:
      return false;
  }
}

// All `size` bytes moved by `io` (read or write), or false.
template <typename Io, typename Byte>
bool whole(Io io, int fd, Byte* p, std::size_t size) {
  while (size > 0) {
    const ssize_t n = io(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The child's side: decode, then send width, height and the raster.
[[noreturn]] void decodeForParent(Bytes file, int to) {
  // A fatal signal simply ends the child, with no handler's report: the
  // parent sees the missing answer.
  for (const int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) std::signal(sig, SIG_DFL);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) ::dup2(null, STDERR_FILENO);  // GDCM's failed assertions say so there
  struct Owner {
    std::int64_t size[2] = {0, 0};
    std::vector<std::uint8_t> px;
  } owner;
  const RasterRequest request{[](void* o, std::int64_t w, std::int64_t h) -> std::uint8_t* {
                                auto* self = static_cast<Owner*>(o);
                                if (!sizeAllowed(w, h)) return nullptr;
                                self->size[0] = w;
                                self->size[1] = h;
                                self->px.resize(static_cast<std::size_t>(4 * w * h));
                                return self->px.data();
                              },
                              &owner};
  bool ok = false;
  try {
    ok = decodeHere(file, request) && !owner.px.empty();
  } catch (...) {
  }
  ok = ok &&
       whole(::write, to, reinterpret_cast<const std::uint8_t*>(owner.size), sizeof owner.size) &&
       whole(::write, to, owner.px.data(), owner.px.size());
  ::_exit(ok ? 0 : 1);
}

}  // namespace

// GDCM stops the process on some damaged files (its assertions are compiled
// in), so it runs in a child process of its own: a file it cannot take ends
// the child, never the program.
bool decodeDicom(Bytes file, const RasterRequest& raster) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return false;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe[0]);
    decodeForParent(file, pipe[1]);
  }
  ::close(pipe[1]);
  bool ok = false;
  std::int64_t size[2];
  if (child > 0 && whole(::read, pipe[0], reinterpret_cast<std::uint8_t*>(size), sizeof size)) {
    std::uint8_t* out = raster(size[0], size[1]);
    ok = out != nullptr &&
         whole(::read, pipe[0], out, static_cast<std::size_t>(4 * size[0] * size[1]));
  }
  ::close(pipe[0]);  // a child still writing ends on the broken pipe
  int status = 0;
  if (child > 0) {
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  return ok && child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace stills::detail
