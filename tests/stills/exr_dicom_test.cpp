// OpenEXR and DICOM, read by the module that stills opens on first use. The
// EXR files are written here with OpenEXR, the DICOM files byte by byte.
#include <ImfHeader.h>
#include <ImfRgbaFile.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "stills/stills.hpp"
#include "tracker/helpers.hpp"

namespace stills {
namespace {

using Bytes = std::vector<std::uint8_t>;
using seguir::testing::Scratch;

Bytes pixels(const Image& image) {
  return Bytes(image.raster.px.get(), image.raster.px.get() + image.raster.bytes());
}

Bytes slurp(const std::string& path) {
  const std::string s = seguir::testing::readFile(path);
  return Bytes(s.begin(), s.end());
}

// An EXR of the given half-float pixels, row by row, over `window`.
Bytes exr(const Scratch& s, const Imath::Box2i& window, const std::vector<Imf::Rgba>& px,
          Imf::RgbaChannels channels, Imf::Compression compression = Imf::ZIP_COMPRESSION) {
  const std::string path = s.path("picture.exr");
  {
    Imf::Header header(window, window, 1, Imath::V2f(0, 0), 1, Imf::INCREASING_Y, compression);
    Imf::RgbaOutputFile out(path.c_str(), header, channels);
    const int w = window.max.x - window.min.x + 1, h = window.max.y - window.min.y + 1;
    out.setFrameBuffer(px.data() - window.min.x - window.min.y * w, 1, w);
    out.writePixels(h);
  }
  return slurp(path);
}

TEST(OpenExr, LinearLightPremultipliedOverTheDataWindow) {
  Scratch s;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // A data window off the origin; colour stored premultiplied, as EXR does.
  const Bytes rgba = exr(s, Imath::Box2i({-3, 5}, {-2, 6}),
                         {{0.5f, 0.25f, 2.0f, 1.0f},
                          {0.25f, 0.8f, nan, 0.5f},  // green brighter than its alpha
                          {-1.0f, 0.0f, 1.0f, 0.0f},
                          {0.125f, 0.375f, 0.75f, 1.0f}},
                         Imf::WRITE_RGBA);
  const std::optional<Image> image = decode(rgba);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->raster.w, 2);
  EXPECT_EQ(image->raster.h, 2);
  EXPECT_EQ(pixels(*image),
            (Bytes{128, 64, 255, 255, 64, 128, 0, 128, 0, 0, 0, 0, 32, 96, 191, 255}));

  // Luminance alone is grey and opaque; without alpha every pixel is opaque.
  const Bytes grey = exr(s, Imath::Box2i({0, 0}, {1, 0}),
                         {{0.5f, 0.5f, 0.5f, 1.0f}, {1.0f, 1.0f, 1.0f, 1.0f}}, Imf::WRITE_Y);
  ASSERT_TRUE(decode(grey));
  EXPECT_EQ(pixels(*decode(grey)), (Bytes{128, 128, 128, 255, 255, 255, 255, 255}));

  // More rows than one read takes, in blocks of 1, 32 and 256 rows (the last
  // two compressions lossy: a value may move by one).
  std::vector<Imf::Rgba> ramp;
  for (int y = 0; y < 300; ++y) ramp.push_back({y / 299.0f, 0.0f, 0.0f, 1.0f});
  for (const Imf::Compression c :
       {Imf::NO_COMPRESSION, Imf::PIZ_COMPRESSION, Imf::B44_COMPRESSION, Imf::DWAB_COMPRESSION}) {
    const std::optional<Image> tall =
        decode(exr(s, Imath::Box2i({0, 0}, {0, 299}), ramp, Imf::WRITE_RGB, c));
    ASSERT_TRUE(tall) << c;
    EXPECT_EQ(tall->raster.h, 300) << c;
    for (const int y : {0, 15, 16, 150, 299}) {
      EXPECT_NEAR(tall->raster.row(y)[0], std::lround(y * 255 / 299.0), 1) << c << " row " << y;
    }
  }
}

// A DICOM file in Explicit VR Little Endian, as a scanner's export is, or in
// Implicit VR Little Endian, the syntax every reader must know.
class Dicom {
 public:
  Dicom(int rows, int columns, const char* photometric, int samples, int bits, int stored,
        bool isSigned = false, int planar = 0, bool implicitVr = false)
      : implicit(implicitVr) {
    Bytes meta;
    add(meta, 0x0002, 0x0001, "OB", {0, 1});
    add(meta, 0x0002, 0x0002, "UI", text("1.2.840.10008.5.1.4.1.1.7"));  // secondary capture
    add(meta, 0x0002, 0x0003, "UI", text("1.2.3.4"));
    add(meta, 0x0002, 0x0010, "UI", text(implicit ? "1.2.840.10008.1.2" : "1.2.840.10008.1.2.1"));
    file.assign(128, 0);
    file.insert(file.end(), {'D', 'I', 'C', 'M'});
    add(file, 0x0002, 0x0000, "UL", u32(static_cast<std::uint32_t>(meta.size())));
    file.insert(file.end(), meta.begin(), meta.end());
    add(file, 0x0008, 0x0016, "UI", text("1.2.840.10008.5.1.4.1.1.7"));
    add(file, 0x0028, 0x0002, "US", u16(samples));
    add(file, 0x0028, 0x0004, "CS", text(photometric));
    if (samples == 3) add(file, 0x0028, 0x0006, "US", u16(planar));
    add(file, 0x0028, 0x0010, "US", u16(rows));
    add(file, 0x0028, 0x0011, "US", u16(columns));
    add(file, 0x0028, 0x0100, "US", u16(bits));
    add(file, 0x0028, 0x0101, "US", u16(stored));
    add(file, 0x0028, 0x0102, "US", u16(stored - 1));
    add(file, 0x0028, 0x0103, "US", u16(isSigned ? 1 : 0));
    bytesPerSample = bits / 8;
  }

  // Two sequences before the pixels: one of defined length holding an item
  // of defined length, one of undefined length holding an item of undefined
  // length, each item with one element.
  Dicom& withSequences() {
    Bytes element;
    add(element, 0x0040, 0x0007, "LO", text("ab"));
    Bytes item{0xFE, 0xFF, 0x00, 0xE0};
    const Bytes n = u32(static_cast<std::uint32_t>(element.size()));
    item.insert(item.end(), n.begin(), n.end());
    item.insert(item.end(), element.begin(), element.end());
    Bytes open{0xFE, 0xFF, 0x00, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF};
    open.insert(open.end(), element.begin(), element.end());
    open.insert(open.end(), {0xFE, 0xFF, 0x0D, 0xE0, 0, 0, 0, 0});
    add(file, 0x0040, 0x0260, "SQ", open, true);
    file.insert(file.end(), {0xFE, 0xFF, 0xDD, 0xE0, 0, 0, 0, 0});
    add(file, 0x0040, 0x0275, "SQ", item);
    return *this;
  }

  // Pixel data, the samples in file order.
  Bytes with(const std::vector<int>& samples) const {
    Bytes data;
    for (const int v : samples) {
      data.push_back(static_cast<std::uint8_t>(v));
      if (bytesPerSample == 2) data.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    if (data.size() % 2) data.push_back(0);
    Bytes out = file;
    add(out, 0x7FE0, 0x0010, bytesPerSample == 2 ? "OW" : "OB", data);
    return out;
  }

 private:
  static Bytes u16(int v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
  }
  static Bytes u32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  }
  static Bytes text(const std::string& s) {
    Bytes b(s.begin(), s.end());
    if (b.size() % 2) b.push_back(s[0] >= '0' && s[0] <= '9' ? 0 : ' ');
    return b;
  }
  // An element; `open` gives it an undefined length, closed by the caller.
  void add(Bytes& to, int group, int element, const char* vr, const Bytes& value,
           bool open = false) const {
    const Bytes tag = u16(group), el = u16(element);
    to.insert(to.end(), tag.begin(), tag.end());
    to.insert(to.end(), el.begin(), el.end());
    const Bytes n = u32(open ? 0xFFFFFFFF : static_cast<std::uint32_t>(value.size()));
    if (implicit && group != 0x0002) {
      to.insert(to.end(), n.begin(), n.end());
    } else if (std::strcmp(vr, "OB") == 0 || std::strcmp(vr, "OW") == 0 ||
               std::strcmp(vr, "SQ") == 0) {
      to.insert(to.end(), vr, vr + 2);
      to.insert(to.end(), {0, 0});
      to.insert(to.end(), n.begin(), n.end());
    } else {
      to.insert(to.end(), vr, vr + 2);
      const Bytes n16 = u16(static_cast<int>(value.size()));
      to.insert(to.end(), n16.begin(), n16.end());
    }
    to.insert(to.end(), value.begin(), value.end());
  }

  bool implicit;
  Bytes file;
  int bytesPerSample = 1;
};

Bytes grey(std::initializer_list<int> values) {
  Bytes out;
  for (const int v : values)
    out.insert(out.end(), {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v),
                           static_cast<std::uint8_t>(v), 255});
  return out;
}

std::optional<Bytes> read(const Bytes& file) {
  const std::optional<Image> image = decode(file);
  if (!image) return std::nullopt;
  return pixels(*image);
}

TEST(Dicom, GreyInvertedDeepSignedAndColour) {
  EXPECT_EQ(read(Dicom(2, 2, "MONOCHROME2", 1, 8, 8).with({0, 100, 200, 255})),
            grey({0, 100, 200, 255}));
  EXPECT_EQ(read(Dicom(1, 2, "MONOCHROME1", 1, 8, 8).with({0, 200})), grey({255, 55}))
      << "MONOCHROME1 shows low values bright";
  // 12 bits stored in 16 fill the range; 16 of 16 round like other 16-bit formats.
  EXPECT_EQ(read(Dicom(1, 4, "MONOCHROME2", 1, 16, 12).with({0, 4095, 2048, 100})),
            grey({0, 255, 128, 6}));
  EXPECT_EQ(read(Dicom(1, 3, "MONOCHROME2", 1, 16, 16).with({65535, 32768, 128})),
            grey({255, 128, 0}));
  EXPECT_EQ(read(Dicom(1, 3, "MONOCHROME2", 1, 16, 16, true).with({-32768, 0, 32767})),
            grey({0, 128, 255}))
      << "signed samples start at their least value";
  EXPECT_EQ(read(Dicom(1, 2, "RGB", 3, 8, 8).with({10, 20, 30, 40, 50, 60})),
            (Bytes{10, 20, 30, 255, 40, 50, 60, 255}));
  EXPECT_EQ(read(Dicom(1, 2, "RGB", 3, 8, 8, false, 1).with({10, 40, 20, 50, 30, 60})),
            (Bytes{10, 20, 30, 255, 40, 50, 60, 255}))
      << "colour planes";
  EXPECT_EQ(read(Dicom(1, 2, "MONOCHROME2", 1, 8, 8).withSequences().with({7, 9})), grey({7, 9}));
  EXPECT_EQ(read(Dicom(1, 2, "MONOCHROME2", 1, 8, 8, false, 0, true).withSequences().with({7, 9})),
            grey({7, 9}))
      << "implicit VR";
}

// Both formats cut short or with bytes flipped: nothing or a raster of the
// declared size, never a crash or a word on standard error; declared sizes
// beyond the limit are refused before anything that large is made.
TEST(ExrAndDicom, DamagedAndHugeFilesAreUnreadable) {
  Scratch s;
  std::vector<Imf::Rgba> px(24 * 20, Imf::Rgba(0.5f, 0.25f, 0.125f, 1.0f));
  const std::vector<Bytes> files = {
      exr(s, Imath::Box2i({0, 0}, {23, 19}), px, Imf::WRITE_RGBA),
      exr(s, Imath::Box2i({0, 0}, {23, 19}), px, Imf::WRITE_RGB, Imf::PIZ_COMPRESSION),
      Dicom(20, 24, "MONOCHROME2", 1, 16, 12).with(std::vector<int>(24 * 20, 1000))};
  std::mt19937 rng(11);
  for (std::size_t f = 0; f < files.size(); ++f) {
    ASSERT_TRUE(decode(files[f])) << f;
    for (std::size_t keep = 0; keep < files[f].size(); keep += 1 + files[f].size() / 50) {
      const std::optional<Image> image = decode(Bytes(files[f].begin(), files[f].begin() + keep));
      if (image) {
        EXPECT_EQ(image->raster.w, 24) << f << " cut at " << keep;
      }
    }
    for (int trial = 0; trial < 40; ++trial) {
      Bytes bad = files[f];
      for (int k = 0; k < 4; ++k)
        bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
      decode(bad);
    }
  }
  // The EXR's data window widened to 100000 x 100000 in its header.
  Bytes huge = files[0];
  const std::string name = "dataWindow";
  const auto at = std::search(huge.begin(), huge.end(), name.begin(), name.end());
  ASSERT_NE(at, huge.end());
  const auto box = at + static_cast<long>(name.size() + 1 + std::strlen("box2i") + 1 + 4);
  const std::int32_t far = 99999;
  std::memcpy(&*(box + 8), &far, 4);
  std::memcpy(&*(box + 12), &far, 4);
  EXPECT_FALSE(decode(huge));
  EXPECT_FALSE(decode(Dicom(65535, 65535, "MONOCHROME2", 1, 8, 8).with({1, 2, 3, 4})));
}

// The built programs find the module: recortar keys a flat DICOM picture.
TEST(ExrAndDicom, RecortarReadsThroughTheModule) {
  Scratch s;
  std::vector<int> samples(30 * 40, 250);
  for (int y = 10; y < 20; ++y)
    for (int x = 15; x < 25; ++x) samples[y * 40 + x] = 20;
  const Bytes file = Dicom(30, 40, "MONOCHROME2", 1, 8, 8).with(samples);
  std::ofstream(s.path("in.dcm"), std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  const seguir::testing::Outcome o =
      seguir::testing::runProgram(RECORTAR_BINARY, s, {s.path("in.dcm"), s.path("out.png")});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "ok logo 40x30\n");
  EXPECT_EQ(o.err, "");
}

}  // namespace
}  // namespace stills
