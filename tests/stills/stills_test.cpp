// The still-image library on files written here with the codec libraries.
// Where the old build read a format through OpenCV's imgcodecs, its pixels
// (imread as stored, then premultiplied with rounding) are the reference.
#include <gif_lib.h>
#include <libheif/heif.h>
#include <openjpeg.h>
#include <spng.h>
#include <tiffio.h>
#include <turbojpeg.h>
#include <unistd.h>
#include <webp/encode.h>
#include <webp/mux.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include <opencv2/imgcodecs.hpp>

#include "stills/stills.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace stills {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A smooth picture with detail, so that JPEG's chroma and IDCT matter.
cv::Mat picture(int w, int h, int channels, int depth = CV_8U) {
  cv::Mat m(h, w, CV_MAKETYPE(depth, channels));
  std::mt19937 rng(static_cast<unsigned>(w * 31 + h + channels));
  const double scale = depth == CV_16U ? 257.0 : 1.0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < channels; ++c) {
        const double v = 127 + 100 * std::sin(0.21 * x * (c + 1) + 0.13 * y) + rng() % 20;
        const double s = c == 3 ? (x * 255.0 / w) : v;  // alpha: a ramp from 0
        if (depth == CV_16U)
          m.ptr<std::uint16_t>(y)[x * channels + c] =
              cv::saturate_cast<std::uint16_t>(s * scale + rng() % 200);
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

Bytes pixels(const Image& image) {
  return Bytes(image.raster.px.get(), image.raster.px.get() + image.raster.bytes());
}

// Decodes and expects the old build's pixels.
void expectAsBefore(const Bytes& file, const std::string& what) {
  const std::optional<Image> image = decode(file);
  ASSERT_TRUE(image) << what;
  EXPECT_TRUE(pixels(*image) == reference(file)) << what;
}

Bytes u16be(unsigned v) {
  return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

// A minimal EXIF block: a TIFF header and one IFD holding the orientation.
Bytes exif(int orientation, bool little) {
  Bytes b = little ? Bytes{'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0}
                   : Bytes{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1};
  const Bytes value = little ? Bytes{static_cast<std::uint8_t>(orientation), 0, 0, 0}
                             : Bytes{0, static_cast<std::uint8_t>(orientation), 0, 0};
  b.insert(b.end(), value.begin(), value.end());
  b.insert(b.end(), 4, 0);  // no next IFD
  return b;
}

Bytes withJpegSegment(Bytes jpeg, std::uint8_t marker, const Bytes& body) {
  Bytes seg{0xFF, marker};
  const Bytes len = u16be(static_cast<unsigned>(body.size() + 2));
  seg.insert(seg.end(), len.begin(), len.end());
  seg.insert(seg.end(), body.begin(), body.end());
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

TEST(Jpeg, SamePixelsAsBeforeInEveryLayout) {
  expectAsBefore(encode(".jpg", picture(67, 41, 3)), "4:2:0 colour, odd size");
  expectAsBefore(encode(".jpg", picture(64, 48, 1)), "grey");
  expectAsBefore(encode(".jpg", picture(33, 17, 3), {cv::IMWRITE_JPEG_PROGRESSIVE, 1}),
                 "progressive");
  const cv::Mat rgb = picture(35, 22, 3);
  const Bytes px(rgb.data, rgb.data + rgb.total() * 3);
  expectAsBefore(tjEncode(px, 35, 22, TJPF_RGB, TJSAMP_444), "4:4:4");
  expectAsBefore(tjEncode(px, 35, 22, TJPF_RGB, TJSAMP_422), "4:2:2");
  // TurboJPEG writes CMYK inverted, with Adobe's marker, as Photoshop does.
  const cv::Mat cmyk = picture(29, 19, 4);
  const Bytes file =
      tjEncode(Bytes(cmyk.data, cmyk.data + cmyk.total() * 4), 29, 19, TJPF_CMYK, TJSAMP_444);
  expectAsBefore(file, "CMYK");
}

TEST(Jpeg, OrientationAndSplitProfile) {
  const Bytes plain = encode(".jpg", picture(20, 10, 3));
  for (const int o : {1, 3, 6, 8}) {
    for (const bool little : {true, false}) {
      Bytes body{'E', 'x', 'i', 'f', 0, 0};
      const Bytes e = exif(o, little);
      body.insert(body.end(), e.begin(), e.end());
      const std::optional<Image> image = decode(withJpegSegment(plain, 0xE1, body));
      ASSERT_TRUE(image);
      EXPECT_EQ(image->orientation, o) << (little ? "II" : "MM");
      EXPECT_EQ(image->raster.w, 20) << "stored as is";
    }
  }
  // A profile in two APP2 chunks, the second one written first.
  const auto chunk = [](int seq, std::uint8_t fill) {
    Bytes b{
        'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, static_cast<std::uint8_t>(seq),
        2};
    b.insert(b.end(), 100, fill);
    return b;
  };
  const Bytes file =
      withJpegSegment(withJpegSegment(plain, 0xE2, chunk(2, 0xBB)), 0xE2, chunk(1, 0xAA));
  Bytes icc(100, 0xAA);
  icc.insert(icc.end(), 100, 0xBB);
  EXPECT_EQ(decode(file)->icc, icc);
  EXPECT_TRUE(decode(withJpegSegment(plain, 0xE2, chunk(1, 0xAA)))->icc.empty())
      << "half a profile is none";
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

// Encodes with libspng, for the layouts OpenCV cannot write.
Bytes spngEncode(const Bytes& data, int w, int h, int colourType, int depth,
                 const std::function<void(spng_ctx*)>& extra = {}) {
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr ihdr{static_cast<std::uint32_t>(w),
                 static_cast<std::uint32_t>(h),
                 static_cast<std::uint8_t>(depth),
                 static_cast<std::uint8_t>(colourType),
                 0,
                 0,
                 0};
  spng_set_ihdr(ctx, &ihdr);
  if (extra) extra(ctx);
  EXPECT_EQ(spng_encode_image(ctx, data.data(), data.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE),
            0);
  std::size_t size = 0;
  int error = 0;
  auto* out = static_cast<std::uint8_t*>(spng_get_png_buffer(ctx, &size, &error));
  Bytes file(out, out + size);
  std::free(out);
  spng_ctx_free(ctx);
  return file;
}

TEST(Png, SamePixelsAsBeforeInEveryLayout) {
  expectAsBefore(encode(".png", picture(31, 9, 3)), "RGB");
  expectAsBefore(encode(".png", picture(31, 9, 4)), "RGBA");
  expectAsBefore(encode(".png", picture(31, 9, 4, CV_16U)), "16-bit RGBA");
  expectAsBefore(encode(".png", picture(31, 9, 1, CV_16U)), "16-bit grey");
  expectAsBefore(encode(".png", picture(31, 9, 1)), "grey");
  expectAsBefore(encode(".png", picture(31, 9, 1), {cv::IMWRITE_PNG_BILEVEL, 1}), "1-bit");
  std::mt19937 rng(5);
  Bytes greyAlpha(2 * 13 * 7);
  for (auto& v : greyAlpha) v = static_cast<std::uint8_t>(rng());
  expectAsBefore(spngEncode(greyAlpha, 13, 7, SPNG_COLOR_TYPE_GRAYSCALE_ALPHA, 8), "grey + alpha");
  Bytes indices(13 * 7);
  for (auto& v : indices) v = static_cast<std::uint8_t>(rng() % 4);
  expectAsBefore(
      spngEncode(
          indices, 13, 7, SPNG_COLOR_TYPE_INDEXED, 8,
          [](spng_ctx* ctx) {
            spng_plte plte{4, {{255, 0, 0, 0}, {0, 255, 0, 0}, {10, 20, 30, 0}, {200, 100, 50, 0}}};
            spng_set_plte(ctx, &plte);
            spng_trns trns{};
            trns.n_type3_entries = 3;
            trns.type3_alpha[0] = 0;
            trns.type3_alpha[1] = 128;
            trns.type3_alpha[2] = 255;
            spng_set_trns(ctx, &trns);
          }),
      "palette + tRNS");
}

TEST(Png, ProfileAndOrientation) {
  Bytes icc(500);
  for (std::size_t i = 0; i < icc.size(); ++i) icc[i] = static_cast<std::uint8_t>(i * 7);
  Bytes e = exif(6, false);
  const Bytes file =
      spngEncode(Bytes(3 * 4 * 2, 9), 4, 2, SPNG_COLOR_TYPE_TRUECOLOR, 8, [&](spng_ctx* ctx) {
        spng_iccp iccp{};
        std::strcpy(iccp.profile_name, "Display P3");
        iccp.profile_len = icc.size();
        iccp.profile = reinterpret_cast<char*>(icc.data());
        spng_set_iccp(ctx, &iccp);
        spng_exif ex{e.size(), reinterpret_cast<char*>(e.data())};
        spng_set_exif(ctx, &ex);
      });
  const std::optional<Image> image = decode(file);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->icc, icc);
  EXPECT_EQ(image->orientation, 6);
}

TEST(Webp, LosslessExactLossyAsBeforeProfileAndOrientation) {
  const cv::Mat rgba = picture(23, 11, 4);
  std::uint8_t* out = nullptr;
  const std::size_t size = WebPEncodeLosslessRGBA(rgba.data, 23, 11, 23 * 4, &out);
  ASSERT_GT(size, 0u);
  const Bytes lossless(out, out + size);
  WebPFree(out);
  const std::optional<Image> image = decode(lossless);
  ASSERT_TRUE(image);
  Bytes expected(rgba.data, rgba.data + rgba.total() * 4);
  for (std::size_t i = 0; i < expected.size(); i += 4) {
    for (int c = 0; c < 3; ++c)
      expected[i + c] = static_cast<std::uint8_t>((expected[i + c] * expected[i + 3] + 127) / 255);
  }
  EXPECT_TRUE(pixels(*image) == expected);
  expectAsBefore(encode(".webp", picture(40, 30, 3), {cv::IMWRITE_WEBP_QUALITY, 80}), "lossy");

  WebPMux* mux = WebPMuxNew();
  const WebPData img{lossless.data(), lossless.size()};
  const Bytes icc(64, 3), e = exif(8, true);
  const WebPData iccData{icc.data(), icc.size()}, exifData{e.data(), e.size()};
  WebPMuxSetImage(mux, &img, 1);
  WebPMuxSetChunk(mux, "ICCP", &iccData, 1);
  WebPMuxSetChunk(mux, "EXIF", &exifData, 1);
  WebPData assembled;
  ASSERT_EQ(WebPMuxAssemble(mux, &assembled), WEBP_MUX_OK);
  const std::optional<Image> withMeta =
      decode(Bytes(assembled.bytes, assembled.bytes + assembled.size));
  WebPDataClear(&assembled);
  WebPMuxDelete(mux);
  ASSERT_TRUE(withMeta);
  EXPECT_EQ(withMeta->icc, icc);
  EXPECT_EQ(withMeta->orientation, 8);
}

fs::path scratch(const std::string& name) {
  return fs::temp_directory_path() / ("stills-" + std::to_string(::getpid()) + "-" + name);
}

Bytes slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

TEST(Tiff, AsBeforeFirstPageStoredOrientationAndProfile) {
  expectAsBefore(encode(".tiff", picture(21, 13, 3)), "RGB");
  expectAsBefore(encode(".tiff", picture(21, 13, 1)), "grey");
  // Written with libtiff: two pages, the first with orientation 6 and a profile.
  const fs::path path = scratch("pages.tiff");
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  ASSERT_TRUE(tif);
  const Bytes icc(40, 5);
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
  const std::optional<Image> image = decode(slurp(path));
  fs::remove(path);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->raster.w, 4) << "page 0";
  EXPECT_EQ(image->orientation, 6);
  EXPECT_EQ(image->raster.row(0)[0], 10) << "rows as stored, top first";
  EXPECT_EQ(image->raster.row(1)[0], 110);
  EXPECT_EQ(image->icc, icc);
}

// Two frames on a 4 x 3 screen; index 3 is transparent.
Bytes twoFrameGif() {
  const fs::path path = scratch("two.gif");
  int error = 0;
  GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
  EXPECT_TRUE(gif);
  const GifColorType colours[4] = {{0, 0, 0}, {255, 0, 0}, {0, 0, 255}, {9, 9, 9}};
  ColorMapObject* map = GifMakeMapObject(4, colours);
  EGifSetGifVersion(gif, true);
  EGifPutScreenDesc(gif, 4, 3, 2, 0, map);
  for (int frame = 0; frame < 2; ++frame) {
    const GifByteType control[4] = {1, 0, 0, 3};  // index 3 is transparent
    EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control);
    // Frame 0 covers columns 1..3 of rows 1..2; frame 1 the whole screen.
    const int left = frame == 0 ? 1 : 0, top = frame == 0 ? 1 : 0, w = 4 - left, h = 3 - top;
    EGifPutImageDesc(gif, left, top, w, h, false, nullptr);
    for (int y = 0; y < h; ++y) {
      GifPixelType line[4] = {1, 2, 3, 1};
      if (frame == 1) std::fill(line, line + 4, 2);
      EGifPutLine(gif, line, w);
    }
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  Bytes file = slurp(path);
  fs::remove(path);
  return file;
}

TEST(Gif, FirstFrameWithTransparency) {
  const std::optional<Image> image = decode(twoFrameGif());
  ASSERT_TRUE(image);
  ASSERT_EQ(image->raster.w, 4);
  ASSERT_EQ(image->raster.h, 3);
  const auto at = [&](int x, int y) {
    const std::uint8_t* p = image->raster.row(y) + 4 * x;
    return std::vector<int>{p[0], p[1], p[2], p[3]};
  };
  EXPECT_EQ(at(0, 0), (std::vector<int>{0, 0, 0, 0})) << "outside the frame";
  EXPECT_EQ(at(1, 1), (std::vector<int>{255, 0, 0, 255}));
  EXPECT_EQ(at(2, 2), (std::vector<int>{0, 0, 255, 255}));
  EXPECT_EQ(at(3, 1), (std::vector<int>{0, 0, 0, 0})) << "transparent index";
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
  Bytes file = slurp(path);
  fs::remove(path);
  return file;
}

TEST(Heif, DecodesUprightWithProfile) {
  const Bytes icc(128, 1);
  const Bytes file = heicFile(icc);
  if (file.empty()) GTEST_SKIP() << "no HEVC encoder in this libheif";
  const std::optional<Image> image = decode(file);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->raster.w, 64);
  EXPECT_EQ(image->raster.h, 32);
  EXPECT_EQ(image->orientation, 1);
  EXPECT_EQ(image->icc, icc);
  const std::uint8_t* left = image->raster.row(16) + 4 * 8;
  EXPECT_NEAR(left[0], 200, 12);
  EXPECT_NEAR(left[2], 20, 12);
  EXPECT_EQ(left[3], 255);
}

TEST(BmpAndNetpbm, AsBeforeAndPlainForms) {
  expectAsBefore(encode(".bmp", picture(19, 7, 3)), "BMP");
  expectAsBefore(encode(".bmp", picture(19, 7, 1)), "grey BMP");
  expectAsBefore(encode(".ppm", picture(19, 7, 3)), "P6");
  expectAsBefore(encode(".pgm", picture(19, 7, 1, CV_16U)), "16-bit P5");
  expectAsBefore(encode(".ppm", picture(19, 7, 3), {cv::IMWRITE_PXM_BINARY, 0}), "P3");
  const auto first = [](const std::string& text) {
    const std::optional<Image> image = decode(Bytes(text.begin(), text.end()));
    return image ? std::vector<int>{image->raster.w, image->raster.px[0], image->raster.px[4]}
                 : std::vector<int>{};
  };
  // PAM holds red, green, blue, alpha in that order (OpenCV swapped red and blue).
  const std::string pam =
      "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  Bytes pamFile(pam.begin(), pam.end());
  pamFile.insert(pamFile.end(), {200, 100, 50, 128, 1, 2, 3, 255});
  EXPECT_EQ(pixels(*decode(pamFile)), (Bytes{100, 50, 25, 128, 1, 2, 3, 255}));
  EXPECT_EQ(first("P1\n# bits\n2 1\n10"), (std::vector<int>{2, 0, 255})) << "1 is black";
  EXPECT_EQ(first(std::string("P4 9 1\n\x80\x00", 10)), (std::vector<int>{9, 0, 255}));
  EXPECT_EQ(first("P2 2 1 15 15 0"), (std::vector<int>{2, 255, 0})) << "scaled to 255";
  EXPECT_TRUE(first("P2 2 1 15 15").empty()) << "a sample missing";
}

// A file cut short anywhere decodes to nothing or to a raster of the size it
// declares; with bytes flipped it never crashes nor trips a sanitizer.
void expectSurvivesDamage(const Bytes& file, std::mt19937& rng) {
  const int w = decode(file)->raster.w;
  for (std::size_t keep = 0; keep < file.size(); keep += 1 + file.size() / 40) {
    const std::optional<Image> image = decode(Bytes(file.begin(), file.begin() + keep));
    if (image) {
      EXPECT_EQ(image->raster.w, w) << keep;
    }
  }
  for (int trial = 0; trial < 20; ++trial) {
    Bytes bad = file;
    for (int k = 0; k < 6; ++k)
      bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
    const std::optional<Image> image = decode(bad);
    if (image) {
      EXPECT_LE(image->raster.bytes(), std::size_t{4} << 29);
    }
  }
}

TEST(Hostile, TruncatedAndCorruptFilesOfEachFormat) {
  const cv::Mat m = picture(40, 30, 3);
  std::mt19937 rng(9);
  for (const Bytes& file :
       {encode(".jpg", m), encode(".png", m), encode(".webp", m), encode(".tiff", m),
        encode(".bmp", m), encode(".ppm", m), twoFrameGif()})
    expectSurvivesDamage(file, rng);
}

Bytes pngDeclaring(std::uint32_t w, std::uint32_t h) {
  Bytes b{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  for (std::uint32_t v : {w, h}) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
  }
  b.insert(b.end(), {8, 6, 0, 0, 0});
  const uLong crc = crc32(0, b.data() + 12, 17);
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(crc >> s));
  return b;
}

// Sizes a file declares are checked before anything that large is allocated.
TEST(Hostile, HugeDeclaredSizesAreUnreadable) {
  EXPECT_FALSE(decode(pngDeclaring(100000, 100000)));
  EXPECT_FALSE(decode(pngDeclaring(1u << 15, (1u << 14) + 1))) << "one row past 2^29 pixels";
  const std::string pnm = "P6\n100000 100000\n255\n";
  EXPECT_FALSE(decode(Bytes(pnm.begin(), pnm.end())));
  // A JPEG's frame header and a GIF's screen holding 65535 x 65535.
  Bytes jpeg = encode(".jpg", picture(16, 16, 3));
  for (std::size_t i = 2; i + 8 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
      std::fill(jpeg.begin() + static_cast<long>(i) + 5, jpeg.begin() + static_cast<long>(i) + 9,
                0xFF);
      break;
    }
  }
  EXPECT_FALSE(decode(jpeg));
  const Bytes gif{'G', 'I', 'F', '8',  '9',  'a',  0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0, ',', 0,
                  0,   0,   0,   0xFF, 0xFF, 0xFF, 0xFF, 0,    2,    2,    0x4c, 0x01, 0, ';'};
  EXPECT_FALSE(decode(gif));
  Bytes bmp = encode(".bmp", picture(4, 4, 3));
  const std::uint32_t side = 100000;
  std::memcpy(bmp.data() + 18, &side, 4);
  std::memcpy(bmp.data() + 22, &side, 4);
  EXPECT_FALSE(decode(bmp));
}

// Found by the fuzzer: stb's Radiance reader never returned on these.
TEST(Hostile, DamagedRadianceRunsAreUnreadable) {
  const std::string header = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 8\n";
  const auto hdr = [&](std::initializer_list<int> body) {
    Bytes b(header.begin(), header.end());
    for (int v : body) b.push_back(static_cast<std::uint8_t>(v));
    return b;
  };
  EXPECT_FALSE(decode(hdr({2, 2, 0, 8, 0})));         // a run of length 0
  EXPECT_FALSE(decode(hdr({2, 2, 0, 8, 0x84, 10})));  // the file ends inside the scanline
  // Whole runs still decode: two scanlines of 8 pixels, each channel one run.
  std::initializer_list<int> scanline = {2, 2, 0, 8, 0x88, 128, 0x88, 64, 0x88, 32, 0x88, 129};
  Bytes whole = hdr(scanline);
  whole.insert(whole.end(), scanline.begin(), scanline.end());
  ASSERT_TRUE(decode(whole));
  EXPECT_EQ(decode(whole)->raster.w, 8);
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
  const Bytes file = slurp(path);
  fs::remove(path);
  return file;
}

// A BMP of `bits` 4 or 8 run-length encoded as `codes`, 16 palette colours.
Bytes rleBmp(int bits, int w, int h, const Bytes& codes) {
  Bytes b(54 + 64);
  const auto put = [&](std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> 8 * k);
  };
  b[0] = 'B', b[1] = 'M', put(10, 54 + 64), put(14, 40), put(18, w), put(22, h);
  b[26] = 1, b[28] = static_cast<std::uint8_t>(bits), put(30, bits == 8 ? 1 : 2), put(46, 16);
  for (int i = 0; i < 16; ++i) put(54 + 4 * i, (i * 16u) << 16 | (255u - i * 16u) << 8 | i * 7u);
  b.insert(b.end(), codes.begin(), codes.end());
  return b;
}

Bytes sun(std::uint32_t w, std::uint32_t depth, std::uint32_t type, const Bytes& map,
          const Bytes& data) {
  Bytes b;
  for (std::uint32_t v : {0x59a66a95u, w, 1u, depth, 0u, type, map.empty() ? 0u : 1u,
                          static_cast<std::uint32_t>(map.size())})
    for (int k = 3; k >= 0; --k) b.push_back(static_cast<std::uint8_t>(v >> 8 * k));
  b.insert(b.end(), map.begin(), map.end());
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

TEST(Jpeg2000PfmSunRle, AsBeforeOrAsWrittenAndCutShort) {
  const std::vector<Bytes> files = {
      encode(".jp2", picture(40, 33, 3)),
      encode(".jp2", picture(40, 33, 1)),
      encode(".jp2", picture(40, 33, 4)),
      encode(".jp2", picture(40, 33, 3, CV_16U)),
      encode(".ras", picture(19, 7, 3)),
      rleBmp(8, 5, 3, {2, 1, 0, 3, 2, 3, 4, 0, 0, 0, 0, 2, 2, 1, 3, 5, 0, 1}),
      rleBmp(4, 5, 2, {5, 0x12, 0, 0, 0, 5, 0x34, 0x56, 0x70, 0, 0, 1})};
  for (std::size_t f = 0; f < files.size(); ++f) expectAsBefore(files[f], std::to_string(f));
  // Sun rasters that OpenCV read wrongly or not at all.
  const Bytes suns[] = {sun(3, 8, 2, {10, 20, 30, 40, 50, 60}, {0x80, 3, 1}),  // a mapped run
                        sun(2, 24, 3, {}, {1, 2, 3, 4, 5, 6}),                 // RGB order
                        sun(2, 8, 2, {}, {0x80, 0, 9}), sun(3, 1, 1, {}, {0x40, 0})};
  EXPECT_EQ(pixels(*decode(suns[0])), (Bytes{20, 40, 60, 255, 20, 40, 60, 255, 20, 40, 60, 255}));
  EXPECT_EQ(pixels(*decode(suns[1])), (Bytes{1, 2, 3, 255, 4, 5, 6, 255}));
  EXPECT_EQ(pixels(*decode(suns[2])), (Bytes{128, 128, 128, 255, 9, 9, 9, 255})) << "escaped";
  EXPECT_EQ(pixels(*decode(suns[3])),
            (Bytes{255, 255, 255, 255, 0, 0, 0, 255, 255, 255, 255, 255}));
  // 12-bit signed grey with alpha; YCC 4:2:0 with chroma repeated over 2×2.
  const auto grey = decode(j2k(2, 12, true, 1, OPJ_CLRSPC_GRAY, [](int c, int x, int) {
    return c == 0 ? -2048 + 4095 * x / 3 : 2047;
  }));
  ASSERT_TRUE(grey);
  EXPECT_EQ(pixels(*grey).at(0), 0);
  EXPECT_EQ(pixels(*grey).at(4 * 3), 255);
  const auto ycc = decode(j2k(3, 8, false, 2, OPJ_CLRSPC_SYCC, [](int c, int x, int y) {
    return c == 0 ? 100 : c == 2 && x == 1 && y == 1 ? 200 : 128;
  }));
  ASSERT_TRUE(ycc);
  EXPECT_EQ(Bytes(ycc->raster.row(3) + 8, ycc->raster.row(3) + 16),
            (Bytes{201, 49, 100, 255, 201, 49, 100, 255}));
  EXPECT_EQ(Bytes(ycc->raster.row(1), ycc->raster.row(1) + 4), (Bytes{100, 100, 100, 255}));
  // PFM: bottom row first, the scale's sign the byte order, 0..1 to 0..255.
  const std::string pf = "Pf\n1 2\n-1.0\n";
  Bytes pfm(pf.begin(), pf.end());
  pfm.insert(pfm.end(), {0, 0, 0, 0x3f, 0, 0, 0, 0x40});  // 0.5 below 2.0
  EXPECT_EQ(pixels(*decode(pfm)), (Bytes{255, 255, 255, 255, 128, 128, 128, 255}));
  const std::string colour = "PF 1 1 1\n";
  Bytes big(colour.begin(), colour.end());
  big.insert(big.end(), {0xbf, 0x80, 0, 0, 0x3f, 0x80, 0, 0, 0x3e, 0x80, 0, 0});  // -1, 1, 0.25
  EXPECT_EQ(pixels(*decode(big)), (Bytes{0, 255, 64, 255}));
  std::mt19937 rng(5);
  for (const Bytes& file :
       std::vector<Bytes>{files[0], files[4], files[5], files[6], suns[0], pfm,
                          j2k(3, 8, false, 2, OPJ_CLRSPC_SYCC, [](int, int, int) { return 9; })})
    expectSurvivesDamage(file, rng);
}

TEST(Files, ReadOnceFromAFifo) {
  const fs::path fifo = scratch("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const Bytes png = encode(".png", picture(8, 8, 3));
  const pid_t child = ::fork();
  if (child == 0) {
    std::ofstream(fifo, std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    ::_exit(0);
  }
  const std::optional<Image> image = load(fifo.string());
  ::waitpid(child, nullptr, 0);
  fs::remove(fifo);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->raster.w, 8);
  EXPECT_FALSE(load(scratch("missing").string()));
}

}  // namespace
}  // namespace stills
