// The still-image library on files written here with the codec libraries.
// Where the old build read a format through OpenCV's imgcodecs, its pixels
// (imread as stored, then premultiplied with rounding) are the reference.
#include <gif_lib.h>
#include <libheif/heif.h>
#include <openjpeg.h>
#include <tiffio.h>
#include <turbojpeg.h>
#include <unistd.h>
#include <webp/encode.h>
#include <webp/mux.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include <opencv2/imgcodecs.hpp>

#include "stills/helpers.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace stills {
namespace {

namespace fs = std::filesystem;
using testing::be;
using testing::Bytes;
using testing::le;
using testing::operator+;
using testing::pixels;

// A smooth picture with detail, so that JPEG's chroma and IDCT matter.
cv::Mat picture(int w, int h, int channels, int depth = CV_8U) {
  cv::Mat m(h, w, CV_MAKETYPE(depth, channels));
  std::mt19937 rng(static_cast<unsigned>(w * 31 + h + channels));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < channels; ++c) {
        const double v = 127 + 100 * std::sin(0.21 * x * (c + 1) + 0.13 * y) + rng() % 20;
        const double s = c == 3 ? (x * 255.0 / w) : v;  // alpha: a ramp from 0
        if (depth == CV_16U)
          m.ptr<std::uint16_t>(y)[x * channels + c] =
              cv::saturate_cast<std::uint16_t>(s * 257.0 + rng() % 200);
        else
          m.ptr<std::uint8_t>(y)[x * channels + c] = cv::saturate_cast<std::uint8_t>(s);
      }
    }
  }
  return m;
}

// The old build's raster: OpenCV's imread as stored, 16 bits rounded to 8,
// then premultiplied with rounding.
Bytes reference(const Bytes& file) {
  const cv::Mat m = cv::imdecode(file, cv::IMREAD_UNCHANGED);
  EXPECT_FALSE(m.empty());
  const int ch = m.channels();
  Bytes out;
  for (int y = 0; y < m.rows; ++y) {
    for (int x = 0; x < m.cols; ++x) {
      unsigned s[4] = {0, 0, 0, 255};
      for (int c = 0; c < ch; ++c) {
        s[c] = m.depth() == CV_16U ? (m.ptr<std::uint16_t>(y)[x * ch + c] * 255u + 32767u) / 65535u
                                   : m.ptr<std::uint8_t>(y)[x * ch + c];
      }
      const unsigned a = ch == 4 ? s[3] : ch == 2 ? s[1] : 255;
      const unsigned r = ch >= 3 ? s[2] : s[0], g = ch >= 3 ? s[1] : s[0], b = s[0];
      for (unsigned v : {r, g, b}) out.push_back(static_cast<std::uint8_t>((v * a + 127) / 255));
      out.push_back(static_cast<std::uint8_t>(a));
    }
  }
  return out;
}

Bytes encode(const std::string& ext, const cv::Mat& m, const std::vector<int>& params = {}) {
  Bytes out;
  EXPECT_TRUE(cv::imencode(ext, m, out, params)) << ext;
  return out;
}

Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// `n` copies of one pixel.
Bytes times(int n, const Bytes& pixel) {
  Bytes out;
  for (int k = 0; k < n; ++k) out = out + pixel;
  return out;
}

// A minimal EXIF block: a TIFF header and one IFD holding the orientation.
Bytes exif(int orientation, bool little) {
  const auto n = [&](std::uint32_t v, int k) { return little ? le(v, k) : be(v, k); };
  return text(little ? "II" : "MM") + n(42, 2) + n(8, 4) + n(1, 2) + n(0x112, 2) + n(3, 2) +
         n(1, 4) + n(static_cast<std::uint32_t>(orientation), 2) + Bytes(6, 0);
}

Bytes withJpegSegment(Bytes jpeg, std::uint8_t marker, const Bytes& body) {
  const Bytes seg = Bytes{0xFF, marker} + be(static_cast<std::uint32_t>(body.size() + 2), 2) + body;
  jpeg.insert(jpeg.begin() + 2, seg.begin(), seg.end());
  return jpeg;
}

Bytes tjEncode(const Bytes& px, int w, int h, int format, int subsampling) {
  tjhandle tj = tjInitCompress();
  unsigned char* out = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(tj, px.data(), w, 0, h, format, &out, &size, subsampling, 90, 0), 0);
  Bytes file(out, out + size);
  tjFree(out);
  tjDestroy(tj);
  return file;
}

Bytes zlib(const Bytes& raw) {
  uLongf size = compressBound(raw.size());
  Bytes out(size);
  EXPECT_EQ(compress(out.data(), &size, raw.data(), raw.size()), Z_OK);
  out.resize(size);
  return out;
}

Bytes pngChunk(const std::string& type, const Bytes& data) {
  const Bytes body = text(type) + data;
  return be(data.size(), 4) + body + be(crc32(0, body.data(), body.size()), 4);
}

// A PNG's signature and header, 8 bits a sample.
Bytes pngHead(std::uint32_t w, std::uint32_t h, std::uint8_t colourType) {
  return Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'} +
         pngChunk("IHDR", be(w, 4) + be(h, 4) + Bytes{8, colourType, 0, 0, 0});
}

// An 8-bit PNG of the layouts OpenCV cannot write: `extra` chunks, then the
// samples, each row led by filter 0.
Bytes png(int w, int h, std::uint8_t colourType, const Bytes& samples, const Bytes& extra = {}) {
  Bytes raw;
  const std::size_t row = samples.size() / static_cast<std::size_t>(h);
  for (std::size_t at = 0; at < samples.size(); at += row) {
    raw = raw + Bytes{0} + Bytes(samples.begin() + at, samples.begin() + at + row);
  }
  return pngHead(w, h, colourType) + extra + pngChunk("IDAT", zlib(raw)) + pngChunk("IEND", {});
}

fs::path scratch(const std::string& name) {
  return fs::temp_directory_path() / ("stills-" + std::to_string(::getpid()) + "-" + name);
}

// The bytes a library wrote to `path`, which is removed.
Bytes consume(const fs::path& path) {
  Bytes file = testing::slurp(path.string());
  fs::remove(path);
  return file;
}

// Two pages written with libtiff: the first 4 x 2 with orientation 6 and a
// profile of 40 fives, rows of 10 and 110.
Bytes twoPageTiff() {
  const Bytes icc(40, 5);
  const fs::path path = scratch("pages.tiff");
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  for (int page = 0; page < 2; ++page) {
    const int w = page == 0 ? 4 : 9, h = 2;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, page == 0 ? ORIENTATION_RIGHTTOP : ORIENTATION_TOPLEFT);
    if (page == 0)
      TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(icc.size()), icc.data());
    for (int y = 0; y < h; ++y) {
      Bytes row(3 * w, static_cast<std::uint8_t>(10 + 100 * y));
      TIFFWriteScanline(tif, row.data(), y, 0);
    }
    TIFFWriteDirectory(tif);
  }
  TIFFClose(tif);
  return consume(path);
}

// Two frames on a 4 x 3 screen; index 3 is transparent. Frame 0 covers
// columns 1..3 of rows 1..2 with red, blue, transparent; frame 1 is all blue.
Bytes twoFrameGif() {
  const fs::path path = scratch("two.gif");
  int error = 0;
  GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
  const GifColorType colours[4] = {{0, 0, 0}, {255, 0, 0}, {0, 0, 255}, {9, 9, 9}};
  ColorMapObject* map = GifMakeMapObject(4, colours);
  EGifSetGifVersion(gif, true);
  EGifPutScreenDesc(gif, 4, 3, 2, 0, map);
  for (int frame = 0; frame < 2; ++frame) {
    const GifByteType control[4] = {1, 0, 0, 3};
    EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control);
    const int left = frame == 0 ? 1 : 0, top = left, w = 4 - left, h = 3 - top;
    EGifPutImageDesc(gif, left, top, w, h, false, nullptr);
    for (int y = 0; y < h; ++y) {
      GifPixelType line[4] = {1, 2, 3, 1};
      if (frame == 1) std::fill(line, line + 4, 2);
      EGifPutLine(gif, line, w);
    }
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  return consume(path);
}

// A 64 x 32 HEIC, left half orange, right half blue, with a profile; empty
// when this libheif has no HEVC encoder.
Bytes heicFile(const Bytes& icc) {
#if defined(__SANITIZE_ADDRESS__)
  // libx265, the encoder, keeps one block for the life of the process.
  __lsan::ScopedDisabler encoderLeak;
#endif
  heif_context* ctx = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  if (heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &encoder).code !=
      heif_error_Ok) {
    heif_context_free(ctx);
    return {};
  }
  heif_image* img = nullptr;
  heif_image_create(64, 32, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &img);
  heif_image_add_plane(img, heif_channel_interleaved, 64, 32, 8);
  int stride = 0;
  std::uint8_t* plane = heif_image_get_plane(img, heif_channel_interleaved, &stride);
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 64; ++x) {
      std::uint8_t* p = plane + y * stride + 3 * x;
      p[0] = x < 32 ? 200 : 20, p[1] = 60, p[2] = x < 32 ? 20 : 200;
    }
  }
  heif_image_set_raw_color_profile(img, "prof", icc.data(), icc.size());
  heif_encoder_set_lossy_quality(encoder, 90);
  EXPECT_EQ(heif_context_encode_image(ctx, img, encoder, nullptr, nullptr).code, heif_error_Ok);
  const fs::path path = scratch("a.heic");
  EXPECT_EQ(heif_context_write_to_file(ctx, path.c_str()).code, heif_error_Ok);
  heif_encoder_release(encoder);
  heif_image_release(img);
  heif_context_free(ctx);
  return consume(path);
}

// A codestream written by OpenJPEG: 4×4 samples from `at(component, x, y)`,
// components after the first subsampled by `sub` in both directions.
Bytes j2k(int comps, int prec, bool sgnd, int sub, OPJ_COLOR_SPACE space,
          const std::function<int(int, int, int)>& at) {
  std::vector<opj_image_cmptparm_t> parm(static_cast<std::size_t>(comps));
  for (int c = 0; c < comps; ++c) {
    const OPJ_UINT32 d = c == 0 ? 1 : static_cast<OPJ_UINT32>(sub);
    parm[c] = {d, d, 4 / d, 4 / d, 0, 0, static_cast<OPJ_UINT32>(prec), 0, OPJ_UINT32{sgnd}};
  }
  opj_image_t* image = opj_image_create(static_cast<OPJ_UINT32>(comps), parm.data(), space);
  image->x1 = image->y1 = 4;
  for (int c = 0; c < comps; ++c)
    for (OPJ_UINT32 i = 0; i < image->comps[c].w * image->comps[c].h; ++i)
      image->comps[c].data[i] =
          at(c, static_cast<int>(i % image->comps[c].w), static_cast<int>(i / image->comps[c].w));
  opj_cparameters_t p;
  opj_set_default_encoder_parameters(&p);
  p.numresolution = 2;
  const fs::path path = scratch("j2k");
  opj_codec_t* codec = opj_create_compress(OPJ_CODEC_J2K);
  opj_stream_t* out = opj_stream_create_default_file_stream(path.c_str(), OPJ_FALSE);
  EXPECT_TRUE(opj_setup_encoder(codec, &p, image) && opj_start_compress(codec, image, out) &&
              opj_encode(codec, out) && opj_end_compress(codec, out));
  opj_stream_destroy(out);
  opj_destroy_codec(codec);
  opj_image_destroy(image);
  return consume(path);
}

// A BMP of `bits` 4 or 8 run-length encoded as `codes`, 16 palette colours.
Bytes rleBmp(int bits, int w, int h, const Bytes& codes) {
  Bytes b = text("BM") + Bytes(8, 0) + le(54 + 64, 4) + le(40, 4) + le(w, 4) + le(h, 4) + le(1, 2) +
            le(bits, 2) + le(bits == 8 ? 1 : 2, 4) + Bytes(12, 0) + le(16, 4) + le(0, 4);
  for (std::uint32_t i = 0; i < 16; ++i)
    b = b + le((i * 16) << 16 | (255 - i * 16) << 8 | i * 7, 4);
  return b + codes;
}

Bytes sun(std::uint32_t w, std::uint32_t depth, std::uint32_t type, const Bytes& map,
          const Bytes& data) {
  Bytes b;
  for (std::uint32_t v : {0x59a66a95u, w, 1u, depth, 0u, type, map.empty() ? 0u : 1u,
                          static_cast<std::uint32_t>(map.size())})
    b = b + be(v, 4);
  return b + map + data;
}

Bytes radiance(const Bytes& body) {
  return text("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 8\n") + body;
}

struct Sample {
  std::string what;
  Bytes file;
};

// Files that OpenCV read, in every layout of every such format.
const std::vector<Sample>& readAsBefore() {
  static const std::vector<Sample> files = [] {
    const cv::Mat rgb = picture(35, 22, 3), cmyk = picture(29, 19, 4);
    const Bytes rgbPx(rgb.data, rgb.data + rgb.total() * 3);
    std::mt19937 rng(5);
    Bytes greyAlpha(2 * 13 * 7), indices(13 * 7);
    for (auto& v : greyAlpha) v = static_cast<std::uint8_t>(rng());
    for (auto& v : indices) v = static_cast<std::uint8_t>(rng() % 4);
    const Bytes paletteWithAlpha =
        pngChunk("PLTE", {255, 0, 0, 0, 255, 0, 10, 20, 30, 200, 100, 50}) +
        pngChunk("tRNS", {0, 128, 255});
    return std::vector<Sample>{
        {"JPEG 4:2:0, odd size", encode(".jpg", picture(67, 41, 3))},
        {"grey JPEG", encode(".jpg", picture(64, 48, 1))},
        {"progressive JPEG", encode(".jpg", picture(33, 17, 3), {cv::IMWRITE_JPEG_PROGRESSIVE, 1})},
        {"JPEG 4:4:4", tjEncode(rgbPx, 35, 22, TJPF_RGB, TJSAMP_444)},
        {"JPEG 4:2:2", tjEncode(rgbPx, 35, 22, TJPF_RGB, TJSAMP_422)},
        // TurboJPEG writes CMYK inverted, with Adobe's marker, as Photoshop does.
        {"CMYK JPEG",
         tjEncode(Bytes(cmyk.data, cmyk.data + cmyk.total() * 4), 29, 19, TJPF_CMYK, TJSAMP_444)},
        {"RGB PNG", encode(".png", picture(31, 9, 3))},
        {"RGBA PNG", encode(".png", picture(31, 9, 4))},
        {"16-bit RGBA PNG", encode(".png", picture(31, 9, 4, CV_16U))},
        {"16-bit grey PNG", encode(".png", picture(31, 9, 1, CV_16U))},
        {"grey PNG", encode(".png", picture(31, 9, 1))},
        {"1-bit PNG", encode(".png", picture(31, 9, 1), {cv::IMWRITE_PNG_BILEVEL, 1})},
        {"grey + alpha PNG", png(13, 7, 4, greyAlpha)},
        {"palette + tRNS PNG", png(13, 7, 3, indices, paletteWithAlpha)},
        {"lossy WebP", encode(".webp", picture(40, 30, 3), {cv::IMWRITE_WEBP_QUALITY, 80})},
        {"RGB TIFF", encode(".tiff", picture(21, 13, 3))},
        {"grey TIFF", encode(".tiff", picture(21, 13, 1))},
        {"BMP", encode(".bmp", picture(19, 7, 3))},
        {"grey BMP", encode(".bmp", picture(19, 7, 1))},
        {"P6", encode(".ppm", picture(19, 7, 3))},
        {"16-bit P5", encode(".pgm", picture(19, 7, 1, CV_16U))},
        {"P3", encode(".ppm", picture(19, 7, 3), {cv::IMWRITE_PXM_BINARY, 0})},
        {"JPEG 2000", encode(".jp2", picture(40, 33, 3))},
        {"grey JPEG 2000", encode(".jp2", picture(40, 33, 1))},
        {"RGBA JPEG 2000", encode(".jp2", picture(40, 33, 4))},
        {"16-bit JPEG 2000", encode(".jp2", picture(40, 33, 3, CV_16U))},
        {"Sun raster", encode(".ras", picture(19, 7, 3))},
        {"8-bit RLE BMP", rleBmp(8, 5, 3, {2, 1, 0, 3, 2, 3, 4, 0, 0, 0, 0, 2, 2, 1, 3, 5, 0, 1})},
        {"4-bit RLE BMP", rleBmp(4, 5, 2, {5, 0x12, 0, 0, 0, 5, 0x34, 0x56, 0x70, 0, 0, 1})},
    };
  }();
  return files;
}

TEST(Formats, SamePixelsAsBefore) {
  for (const auto& [what, file] : readAsBefore()) {
    const std::optional<Image> image = decode(file);
    ASSERT_TRUE(image) << what;
    EXPECT_TRUE(pixels(*image) == reference(file)) << what;
  }
}

struct Written {
  std::string what;
  Bytes file;
  int w;
  Bytes first;  // the raster's first bytes
};

// Files whose pixels are known as written, where OpenCV read them wrongly,
// not at all, or where they test a rule of their own.
const std::vector<Written>& readAsWritten() {
  static const std::vector<Written> files = [] {
    const Bytes black{0, 0, 0, 255}, white{255, 255, 255, 255}, clear{0, 0, 0, 0};
    const Bytes red{255, 0, 0, 255}, blue{0, 0, 255, 255}, grey{100, 100, 100, 255};
    const cv::Mat rgba = picture(23, 11, 4);
    std::uint8_t* out = nullptr;
    const std::size_t size = WebPEncodeLosslessRGBA(rgba.data, 23, 11, 23 * 4, &out);
    const Bytes lossless(out, out + size);
    WebPFree(out);
    Bytes premultiplied(rgba.data, rgba.data + rgba.total() * 4);
    for (std::size_t i = 0; i < premultiplied.size(); ++i) {
      const unsigned a = premultiplied[i | 3];
      if (i % 4 != 3)
        premultiplied[i] = static_cast<std::uint8_t>((premultiplied[i] * a + 127) / 255);
    }
    const Bytes scanline = {2, 2, 0, 8, 0x88, 128, 0x88, 64, 0x88, 32, 0x88, 129};
    return std::vector<Written>{
        {"lossless WebP, premultiplied", lossless, 23, premultiplied},
        {"PAM in the order red, green, blue, alpha (OpenCV swapped red and blue)",
         text("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n") +
             Bytes{200, 100, 50, 128, 1, 2, 3, 255},
         2,
         {100, 50, 25, 128, 1, 2, 3, 255}},
        {"P1: 1 is black", text("P1\n# bits\n2 1\n10"), 2, black + white},
        {"P4", text("P4 9 1\n") + Bytes{0x80, 0}, 9, black + white},
        {"P2, scaled to 255", text("P2 2 1 15 15 0"), 2, white + black},
        {"Sun raster, a mapped run", sun(3, 8, 2, {10, 20, 30, 40, 50, 60}, {0x80, 3, 1}), 3,
         times(3, {20, 40, 60, 255})},
        {"Sun raster, RGB order",
         sun(2, 24, 3, {}, {1, 2, 3, 4, 5, 6}),
         2,
         {1, 2, 3, 255, 4, 5, 6, 255}},
        {"Sun raster, escaped 0x80",
         sun(2, 8, 2, {}, {0x80, 0, 9}),
         2,
         {128, 128, 128, 255, 9, 9, 9, 255}},
        {"Sun raster, 1 bit", sun(3, 1, 1, {}, {0x40, 0}), 3, white + black + white},
        {"JPEG 2000, 12-bit signed grey with alpha",
         j2k(2, 12, true, 1, OPJ_CLRSPC_GRAY,
             [](int c, int x, int) { return c == 0 ? -2048 + 4095 * x / 3 : 2047; }),
         4, black + Bytes{85, 85, 85, 255, 170, 170, 170, 255} + white},
        {"JPEG 2000, YCC 4:2:0 with chroma repeated over 2 x 2",
         j2k(3, 8, false, 2, OPJ_CLRSPC_SYCC,
             [](int c, int x, int y) {
               return c == 0 ? 100 : c == 2 && x == 1 && y == 1 ? 200 : 128;
             }),
         4,
         times(10, grey) + times(2, {201, 49, 100, 255}) + times(2, grey) +
             times(2, {201, 49, 100, 255})},
        // PFM: bottom row first, the scale's sign the byte order, 0..1 to 0..255.
        {"PFM", text("Pf\n1 2\n-1.0\n") + Bytes{0, 0, 0, 0x3f, 0, 0, 0, 0x40}, 1,
         white + Bytes{128, 128, 128, 255}},
        {"colour PFM",
         text("PF 1 1 1\n") + be(0xbf800000, 4) + be(0x3f800000, 4) + be(0x3e800000, 4),
         1,
         {0, 255, 64, 255}},
        {"GIF, the first frame, transparent", twoFrameGif(), 4,
         times(5, clear) + red + blue + times(2, clear) + red + blue + clear},
        {"TIFF, the first page, rows top first", twoPageTiff(), 4,
         times(4, {10, 10, 10, 255}) + times(4, {110, 110, 110, 255})},
        {"Radiance, whole runs", radiance(scanline + scanline), 8, {}},
    };
  }();
  return files;
}

TEST(Formats, ExactPixelsAsWritten) {
  for (const auto& [what, file, w, first] : readAsWritten()) {
    const std::optional<Image> image = decode(file);
    ASSERT_TRUE(image) << what;
    EXPECT_EQ(image->raster.w, w) << what;
    const Bytes got = pixels(*image);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + std::min(got.size(), first.size())), first) << what;
  }
}

// Orientation and colour profile as each container carries them; the raster
// stays as stored.
TEST(Formats, OrientationAndProfileInEveryContainer) {
  struct Case {
    std::string what;
    Bytes file;
    int w, orientation;
    Bytes icc;
  };
  std::vector<Case> cases;
  const Bytes jpeg = encode(".jpg", picture(20, 10, 3));
  for (const int o : {1, 3, 6, 8}) {
    for (const bool little : {true, false}) {
      cases.push_back(
          {little ? "JPEG, II" : "JPEG, MM",
           withJpegSegment(jpeg, 0xE1, text(std::string("Exif\0\0", 6)) + exif(o, little)),
           20,
           o,
           {}});
    }
  }
  // A profile in two APP2 chunks, the second one written first; half a profile is none.
  const auto chunk = [](int seq, std::uint8_t fill) {
    return text(std::string("ICC_PROFILE\0", 12)) + Bytes{static_cast<std::uint8_t>(seq), 2} +
           Bytes(100, fill);
  };
  cases.push_back(
      {"JPEG, split profile",
       withJpegSegment(withJpegSegment(jpeg, 0xE2, chunk(2, 0xBB)), 0xE2, chunk(1, 0xAA)), 20, 1,
       Bytes(100, 0xAA) + Bytes(100, 0xBB)});
  cases.push_back({"JPEG, half a profile", withJpegSegment(jpeg, 0xE2, chunk(1, 0xAA)), 20, 1, {}});

  Bytes icc(500);
  for (std::size_t i = 0; i < icc.size(); ++i) icc[i] = static_cast<std::uint8_t>(i * 7);
  const Bytes iccp = pngChunk("iCCP", text("Display P3") + Bytes{0, 0} + zlib(icc));
  cases.push_back({"PNG",
                   png(4, 2, 2, Bytes(3 * 4 * 2, 9), iccp + pngChunk("eXIf", exif(6, false))), 4, 6,
                   icc});

  WebPMux* mux = WebPMuxNew();
  const Bytes& lossless = readAsWritten()[0].file;
  const WebPData img{lossless.data(), lossless.size()};
  const Bytes webpIcc(64, 3), webpExif = exif(8, true);
  const WebPData iccData{webpIcc.data(), webpIcc.size()},
      exifData{webpExif.data(), webpExif.size()};
  WebPMuxSetImage(mux, &img, 1);
  WebPMuxSetChunk(mux, "ICCP", &iccData, 1);
  WebPMuxSetChunk(mux, "EXIF", &exifData, 1);
  WebPData assembled;
  ASSERT_EQ(WebPMuxAssemble(mux, &assembled), WEBP_MUX_OK);
  cases.push_back(
      {"WebP", Bytes(assembled.bytes, assembled.bytes + assembled.size), 23, 8, webpIcc});
  WebPDataClear(&assembled);
  WebPMuxDelete(mux);

  cases.push_back({"TIFF", twoPageTiff(), 4, 6, Bytes(40, 5)});
  // HEIF turns the picture itself: it comes upright.
  const Bytes heic = heicFile(Bytes(128, 1));
  if (!heic.empty()) cases.push_back({"HEIF", heic, 64, 1, Bytes(128, 1)});

  for (const auto& [what, file, w, orientation, profile] : cases) {
    const std::optional<Image> image = decode(file);
    ASSERT_TRUE(image) << what;
    EXPECT_EQ(image->raster.w, w) << what;
    EXPECT_EQ(image->orientation, orientation) << what;
    EXPECT_EQ(image->icc, profile) << what;
  }
  if (heic.empty()) GTEST_SKIP() << "no HEVC encoder in this libheif";
  const std::optional<Image> upright = decode(heic);
  const std::uint8_t* left = upright->raster.row(16) + 4 * 8;
  EXPECT_NEAR(left[0], 200, 12);
  EXPECT_NEAR(left[2], 20, 12);
  EXPECT_EQ(left[3], 255);
}

// The eight orientations on a 3 x 2 raster whose bytes count its pixels.
TEST(Orientation, TurnsAsViewersDo) {
  const auto turned = [](int o) {
    Image image;
    image.raster = Raster(3, 2);
    for (int i = 0; i < 6; ++i) std::memset(image.raster.px.get() + 4 * i, i, 4);
    image.orientation = o;
    applyOrientation(image);
    EXPECT_EQ(image.orientation, 1);
    std::vector<int> order{image.raster.w, image.raster.h};
    for (std::size_t i = 0; i < image.raster.bytes(); i += 4) order.push_back(image.raster.px[i]);
    return order;
  };
  // Stored:  0 1 2; 6 is a quarter turn clockwise, 8 anticlockwise.
  //          3 4 5
  const std::vector<int> shown[] = {{3, 2, 0, 1, 2, 3, 4, 5}, {3, 2, 2, 1, 0, 5, 4, 3},
                                    {3, 2, 5, 4, 3, 2, 1, 0}, {3, 2, 3, 4, 5, 0, 1, 2},
                                    {2, 3, 0, 3, 1, 4, 2, 5}, {2, 3, 3, 0, 4, 1, 5, 2},
                                    {2, 3, 5, 2, 4, 1, 3, 0}, {2, 3, 2, 5, 1, 4, 0, 3}};
  for (int o = 1; o <= 8; ++o) EXPECT_EQ(turned(o), shown[o - 1]) << o;
}

TEST(Hostile, DamagedFilesOfEveryFormat) {
  std::mt19937 rng(9);
  for (const auto& [what, file] : readAsBefore()) {
    SCOPED_TRACE(what);
    testing::expectSurvivesDamage(file, rng);
  }
  for (const Written& f : readAsWritten()) {
    SCOPED_TRACE(f.what);
    testing::expectSurvivesDamage(f.file, rng);
  }
}

// Sizes a file declares are checked before anything that large is allocated;
// runs that stb's Radiance reader never returned from (fuzzer findings).
TEST(Hostile, HugeDeclaredSizesAndBrokenRunsAreUnreadable) {
  Bytes jpeg = encode(".jpg", picture(16, 16, 3));
  for (std::size_t i = 2; i + 8 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
      std::fill(jpeg.begin() + static_cast<long>(i) + 5, jpeg.begin() + static_cast<long>(i) + 9,
                0xFF);
      break;
    }
  }
  Bytes bmp = encode(".bmp", picture(4, 4, 3));
  const std::uint32_t side = 100000;
  std::memcpy(bmp.data() + 18, &side, 4);
  std::memcpy(bmp.data() + 22, &side, 4);
  const Sample files[] = {
      {"PNG of 100000 x 100000", pngHead(100000, 100000, 6)},
      {"PNG one row past 2^29 pixels", pngHead(1u << 15, (1u << 14) + 1, 6)},
      {"PNM of 100000 x 100000", text("P6\n100000 100000\n255\n")},
      {"JPEG frame of 65535 x 65535", jpeg},
      {"GIF screen of 65535 x 65535",
       text("GIF89a") + Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, ',',  0,    0, 0,  0,
                              0xFF, 0xFF, 0xFF, 0xFF, 0, 2, 2, 0x4c, 0x01, 0, ';'}},
      {"BMP of 100000 x 100000", bmp},
      {"Radiance run of length 0", radiance({2, 2, 0, 8, 0})},
      {"Radiance file ending inside a scanline", radiance({2, 2, 0, 8, 0x84, 10})},
      {"P2 with a sample missing", text("P2 2 1 15 15")},
  };
  for (const auto& [what, file] : files) EXPECT_FALSE(decode(file)) << what;
}

}  // namespace
}  // namespace stills
