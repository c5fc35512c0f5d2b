// OpenEXR through the library's RGBA interface, which brings RGB(A), Y(A) and
// luminance-chroma files alike to half-float RGBA. Part of the module of
// exr_dicom_module.hpp.
//
// The raster is the data window: the display window only says where that
// lies on a screen. Samples are linear light, taken as 0..1 times 255 like
// the other float formats. OpenEXR stores colour premultiplied by alpha, so
// it is kept as stored; a colour above its alpha (light added by a
// transparent pixel) is limited to the alpha, which the raster cannot exceed.
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfRgbaFile.h>
#include <ImfTileDescription.h>
#include <ImfVersion.h>

#include <Iex.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "stills/exr_dicom_module.hpp"

namespace stills::detail {

namespace {

// The file as OpenEXR's input stream, without a copy.
class MemoryStream final : public Imf::IStream {
 public:
  explicit MemoryStream(Bytes file) : Imf::IStream("memory"), file_(file) {}

  bool read(char c[], int n) override {
    if (n < 0 || at_ > file_.size() || file_.size() - at_ < static_cast<std::size_t>(n)) {
      throw Iex::InputExc("the file ends early");
    }
    std::memcpy(c, file_.data() + at_, static_cast<std::size_t>(n));
    at_ += static_cast<std::size_t>(n);
    return at_ < file_.size();
  }
  std::uint64_t tellg() override { return at_; }
  void seekg(std::uint64_t pos) override { at_ = pos; }

 private:
  Bytes file_;
  std::uint64_t at_ = 0;
};

// Rows read per call: the library's own buffers stay small however large the
// image, and no half-float copy of the whole image is made.
constexpr int kBand = 16;

// The header alone first: its data window, when what it declares is
// allowed and the file can hold it, checked before the library sizes its
// tables and buffers by it.
std::optional<Imath::Box2i> checkedWindow(MemoryStream& stream, Bytes file) {
  if (file.size() < 8) return std::nullopt;
  // The magic number, then the version field: format 2, and flags.
  const int version = file[4] | (file[5] << 8) | (file[6] << 16) | (file[7] << 24);
  if (Imf::getVersion(version) != Imf::EXR_VERSION || Imf::isNonImage(version)) {
    return std::nullopt;  // another format version, or deep data with no picture to show
  }
  stream.seekg(8);
  Imf::Header header;
  int flags = version;
  header.readFrom(stream, flags);
  const Imath::Box2i window = header.dataWindow();
  const std::int64_t w = std::int64_t{window.max.x} - window.min.x + 1;
  const std::int64_t h = std::int64_t{window.max.y} - window.min.y + 1;
  if (!sizeAllowed(w, h)) return std::nullopt;
  // Each block of rows or tile has an 8-byte entry in the file's offset
  // table, and no compression packs more than 256 rows into one block.
  std::int64_t blocks = (h + 255) / 256;
  if (header.hasTileDescription()) {
    const Imf::TileDescription& tile = header.tileDescription();
    if (!sizeAllowed(tile.xSize, tile.ySize)) return std::nullopt;
    blocks = (w + tile.xSize - 1) / tile.xSize * ((h + tile.ySize - 1) / tile.ySize);
  }
  if (blocks > static_cast<std::int64_t>(file.size() / 8)) return std::nullopt;
  return window;
}

// The window's rows, band by band, into the raster.
void readRows(Imf::RgbaInputFile& in, const Imath::Box2i& window, std::uint8_t* out) {
  const auto width = static_cast<std::size_t>(std::int64_t{window.max.x} - window.min.x + 1);
  std::vector<Imf::Rgba> band(width * kBand);
  for (int y0 = window.min.y; y0 <= window.max.y;) {
    const int y1 = y0 + std::min<std::int64_t>(kBand - 1, window.max.y - std::int64_t{y0});
    // The library addresses pixel (x, y) at base + x + y · width; the base
    // itself may lie far outside the band, so it is reckoned as an address.
    const std::uintptr_t base =
        reinterpret_cast<std::uintptr_t>(band.data()) -
        (static_cast<std::uintptr_t>(static_cast<std::intptr_t>(y0)) * width +
         static_cast<std::uintptr_t>(std::intptr_t{window.min.x})) *
            sizeof(Imf::Rgba);
    in.setFrameBuffer(reinterpret_cast<Imf::Rgba*>(base), 1, width);
    in.readPixels(y0, y1);
    const std::size_t count = width * static_cast<std::size_t>(y1 - y0 + 1);
    for (std::size_t i = 0; i < count; ++i, out += 4) {
      const Imf::Rgba& p = band[i];
      const std::uint8_t a = fromLinear(p.a);
      out[0] = std::min(fromLinear(p.r), a);
      out[1] = std::min(fromLinear(p.g), a);
      out[2] = std::min(fromLinear(p.b), a);
      out[3] = a;
    }
    if (y1 == window.max.y) break;
    y0 = y1 + 1;
  }
}

}  // namespace

bool decodeExr(Bytes file, const RasterRequest& raster) {
  MemoryStream stream(file);
  const std::optional<Imath::Box2i> window = checkedWindow(stream, file);
  if (!window) return false;
  stream.seekg(0);
  Imf::RgbaInputFile in(stream, 0);
  if ((in.channels() & (Imf::WRITE_RGB | Imf::WRITE_Y)) == 0) return false;  // no colour
  std::uint8_t* out = raster(std::int64_t{window->max.x} - window->min.x + 1,
                             std::int64_t{window->max.y} - window->min.y + 1);
  if (out == nullptr) return false;
  readRows(in, *window, out);
  return true;
}

}  // namespace stills::detail
