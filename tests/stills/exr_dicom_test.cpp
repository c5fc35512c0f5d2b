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

#include "stills/helpers.hpp"

namespace stills {
namespace {

using namespace testing;
using support::Scratch;

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
struct Dicom {
  int rows, columns;
  const char* photometric = "MONOCHROME2";
  int samples = 1, bits = 8, stored = 8;
  bool isSigned = false;
  int planar = 0;
  bool implicit = false;
  // Two sequences before the pixels: one of undefined length holding an item
  // of undefined length, one of defined length holding an item of defined
  // length, each item with one element.
  bool sequences = false;

  // The file with pixel data of these samples, in file order.
  Bytes with(const std::vector<int>& values) const {
    const auto even = [](const std::string& s) {
      Bytes b(s.begin(), s.end());
      if (b.size() % 2) b.push_back(s[0] >= '0' && s[0] <= '9' ? 0 : ' ');
      return b;
    };
    // An element; `open` gives it an undefined length, closed by the caller.
    const auto element = [&](int group, int el, const std::string& vr, const Bytes& value,
                             bool open = false) {
      const Bytes n = le(open ? 0xFFFFFFFF : value.size(), 4), head = le(group, 2) + le(el, 2);
      if (implicit && group != 2) return head + n + value;
      if (vr == "OB" || vr == "OW" || vr == "SQ") return head + even(vr) + le(0, 2) + n + value;
      return head + even(vr) + le(value.size(), 2) + value;
    };
    const std::string capture = "1.2.840.10008.5.1.4.1.1.7";  // secondary capture
    const Bytes meta =
        element(2, 1, "OB", {0, 1}) + element(2, 2, "UI", even(capture)) +
        element(2, 3, "UI", even("1.2.3.4")) +
        element(2, 0x10, "UI", even(implicit ? "1.2.840.10008.1.2" : "1.2.840.10008.1.2.1"));
    Bytes file = Bytes(128, 0) + even("DICM") + element(2, 0, "UL", le(meta.size(), 4)) + meta +
                 element(8, 0x16, "UI", even(capture)) + element(0x28, 2, "US", le(samples, 2)) +
                 element(0x28, 4, "CS", even(photometric));
    if (samples == 3) file = file + element(0x28, 6, "US", le(planar, 2));
    for (const auto& [el, v] : {std::pair{0x10, rows},
                                {0x11, columns},
                                {0x100, bits},
                                {0x101, stored},
                                {0x102, stored - 1},
                                {0x103, int{isSigned}}})
      file = file + element(0x28, el, "US", le(v, 2));
    if (sequences) {
      const Bytes inner = element(0x40, 7, "LO", even("ab"));
      const Bytes item = Bytes{0xFE, 0xFF, 0x00, 0xE0} + le(inner.size(), 4) + inner;
      const Bytes open = Bytes{0xFE, 0xFF, 0x00, 0xE0} + le(0xFFFFFFFF, 4) + inner +
                         Bytes{0xFE, 0xFF, 0x0D, 0xE0} + le(0, 4);
      file = file + element(0x40, 0x260, "SQ", open, true) + Bytes{0xFE, 0xFF, 0xDD, 0xE0} +
             le(0, 4) + element(0x40, 0x275, "SQ", item);
    }
    Bytes data;
    for (const int v : values) data = data + le(static_cast<std::uint16_t>(v), bits / 8);
    if (data.size() % 2) data.push_back(0);
    return file + element(0x7FE0, 0x10, bits == 16 ? "OW" : "OB", data);
  }
};

Bytes grey(std::initializer_list<int> values) {
  Bytes out;
  for (const int v : values) out = out + Bytes(3, static_cast<std::uint8_t>(v)) + Bytes{255};
  return out;
}

std::optional<Bytes> read(const Bytes& file) {
  const std::optional<Image> image = decode(file);
  if (!image) return std::nullopt;
  return pixels(*image);
}

TEST(Dicom, GreyInvertedDeepSignedAndColour) {
  const struct {
    const char* what;
    Dicom dicom;
    std::vector<int> samples;
    Bytes shown;
  } cases[] = {
      {"8-bit grey", {2, 2}, {0, 100, 200, 255}, grey({0, 100, 200, 255})},
      {"MONOCHROME1 shows low values bright", {1, 2, "MONOCHROME1"}, {0, 200}, grey({255, 55})},
      // 12 bits stored in 16 fill the range; 16 of 16 round like other 16-bit formats.
      {"12 of 16 bits",
       {1, 4, "MONOCHROME2", 1, 16, 12},
       {0, 4095, 2048, 100},
       grey({0, 255, 128, 6})},
      {"16 bits", {1, 3, "MONOCHROME2", 1, 16, 16}, {65535, 32768, 128}, grey({255, 128, 0})},
      {"signed samples start at their least value",
       {1, 3, "MONOCHROME2", 1, 16, 16, true},
       {-32768, 0, 32767},
       grey({0, 128, 255})},
      {"RGB", {1, 2, "RGB", 3}, {10, 20, 30, 40, 50, 60}, {10, 20, 30, 255, 40, 50, 60, 255}},
      {"colour planes",
       {1, 2, "RGB", 3, 8, 8, false, 1},
       {10, 40, 20, 50, 30, 60},
       {10, 20, 30, 255, 40, 50, 60, 255}},
      {"sequences", {.rows = 1, .columns = 2, .sequences = true}, {7, 9}, grey({7, 9})},
      {"implicit VR",
       {.rows = 1, .columns = 2, .implicit = true, .sequences = true},
       {7, 9},
       grey({7, 9})},
  };
  for (const auto& c : cases) EXPECT_EQ(read(c.dicom.with(c.samples)), c.shown) << c.what;
}

// Both formats cut short or with bytes flipped: nothing or a raster of the
// declared size, never a crash or a word on standard error (GDCM aborts on
// some damage, in its child); declared sizes beyond the limit, and element
// lengths beyond the file, which GDCM would allocate, are refused before
// anything that large is made.
TEST(ExrAndDicom, DamagedAndHugeFilesAreUnreadable) {
  Scratch s;
  std::vector<Imf::Rgba> px(24 * 20, Imf::Rgba(0.5f, 0.25f, 0.125f, 1.0f));
  const Bytes exrFile = exr(s, Imath::Box2i({0, 0}, {23, 19}), px, Imf::WRITE_RGBA);
  std::mt19937 rng(11);
  expectSurvivesDamage("EXR", exrFile, rng);
  expectSurvivesDamage(
      "PIZ EXR", exr(s, Imath::Box2i({0, 0}, {23, 19}), px, Imf::WRITE_RGB, Imf::PIZ_COMPRESSION),
      rng);
  expectSurvivesDamage(
      "DICOM", Dicom{20, 24, "MONOCHROME2", 1, 16, 12}.with(std::vector<int>(24 * 20, 1000)), rng);
  // The EXR's data window widened to 100000 x 100000 in its header.
  Bytes huge = exrFile;
  const std::string name = "dataWindow";
  const auto at = std::search(huge.begin(), huge.end(), name.begin(), name.end());
  ASSERT_NE(at, huge.end());
  const auto box = at + static_cast<long>(name.size() + 1 + std::strlen("box2i") + 1 + 4);
  const std::int32_t far = 99999;
  std::memcpy(&*(box + 8), &far, 4);
  std::memcpy(&*(box + 12), &far, 4);
  EXPECT_FALSE(decode(huge));
  EXPECT_FALSE(decode(Dicom{65535, 65535}.with({1, 2, 3, 4})));
  // The pixel data's length, the file's last element, made 4 GB.
  Bytes longer = Dicom{1, 2}.with({7, 9});
  const Bytes length = le(0xFFFFFFF0, 4);
  std::copy(length.begin(), length.end(), longer.end() - 2 - 4);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(decode(longer));
  // GDCM stops the process on two samples a pixel: only its child ends.
  EXPECT_FALSE(decode(Dicom{.rows = 1, .columns = 2, .samples = 2}.with({7, 9})));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// The built programs find the module: recortar keys a flat DICOM picture.
TEST(ExrAndDicom, RecortarReadsThroughTheModule) {
  Scratch s;
  std::vector<int> samples(30 * 40, 250);
  for (int y = 10; y < 20; ++y)
    for (int x = 15; x < 25; ++x) samples[y * 40 + x] = 20;
  const Bytes file = Dicom{30, 40}.with(samples);
  std::ofstream(s.path("in.dcm"), std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  const support::Outcome o =
      support::runProgram(RECORTAR_BINARY, s, {s.path("in.dcm"), s.path("out.png")});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "ok logo 40x30\n");
  EXPECT_EQ(o.err, "");
}

}  // namespace
}  // namespace stills
