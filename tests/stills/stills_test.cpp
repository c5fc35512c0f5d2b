// The still-image library on small files written here, byte by byte or with
// the codec libraries: exact pixels wherever our code decodes or converts,
// the metadata each container carries, and hostile files. OpenEXR and DICOM
// are read by the module that stills opens on first use.
#include <ImfHeader.h>
#include <ImfRgbaFile.h>
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
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <random>

#include "stills/stills.hpp"
#include "support/helpers.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace stills {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The `n` lowest bytes of `v`, most significant first (be) or last (le).
Bytes be(std::uint64_t v, int n) {
  Bytes b;
  for (int k = n - 1; k >= 0; --k) b.push_back(static_cast<std::uint8_t>(v >> 8 * k));
  return b;
}
Bytes le(std::uint64_t v, int n) {
  const Bytes b = be(v, n);
  return Bytes(b.rbegin(), b.rend());
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

Bytes pixels(const Image& image) {
  return Bytes(image.raster.px.get(), image.raster.px.get() + image.raster.bytes());
}

// A minimal EXIF block: a TIFF header and one IFD holding the orientation.
Bytes exif(int orientation, bool little) {
  const auto n = [&](std::uint32_t v, int k) { return little ? le(v, k) : be(v, k); };
  return text(little ? "II" : "MM") + n(42, 2) + n(8, 4) + n(1, 2) + n(0x112, 2) + n(3, 2) +
         n(1, 4) + n(static_cast<std::uint32_t>(orientation), 2) + Bytes(6, 0);
}

Bytes withJpegSegment(Bytes jpeg, std::uint8_t marker, const Bytes& body) {
  const Bytes seg = Bytes{0xFF, marker} + be(body.size() + 2, 2) + body;
  jpeg.insert(jpeg.begin() + 2, seg.begin(), seg.end());
  return jpeg;
}

// 16 x 8 of one pixel at quality 100 without subsampling: it comes back
// exactly when grey (for CMYK: C = M = Y), within 2 otherwise.
Bytes jpeg(const Bytes& pixel, int format) {
  const Bytes px = times(16 * 8, pixel);
  tjhandle tj = tjInitCompress();
  unsigned char* out = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(tj, px.data(), 16, 0, 8, format, &out, &size, TJSAMP_444, 100, 0), 0);
  const Bytes file(out, out + size);
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

Bytes pngHead(std::uint32_t w, std::uint32_t h, std::uint8_t depth = 8) {
  return Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'} +
         pngChunk("IHDR", be(w, 4) + be(h, 4) + Bytes{depth, 6, 0, 0, 0});
}

// An RGBA PNG of one row, with `extra` chunks before the samples.
Bytes png(std::uint32_t w, std::uint8_t depth, const Bytes& samples, const Bytes& extra = {}) {
  return pngHead(w, 1, depth) + extra + pngChunk("IDAT", zlib(Bytes{0} + samples)) +
         pngChunk("IEND", {});
}

// A lossless WebP of one row of RGBA, with a profile and EXIF.
Bytes webpWith(const Bytes& rgba, const Bytes& icc, const Bytes& exif) {
  std::uint8_t* picture = nullptr;
  const int w = static_cast<int>(rgba.size() / 4);
  const std::size_t size = WebPEncodeLosslessRGBA(rgba.data(), w, 1, 4 * w, &picture);
  const WebPData img{picture, size}, iccData{icc.data(), icc.size()},
      exifData{exif.data(), exif.size()};
  WebPMux* mux = WebPMuxNew();
  WebPMuxSetImage(mux, &img, 1);
  WebPMuxSetChunk(mux, "ICCP", &iccData, 1);
  WebPMuxSetChunk(mux, "EXIF", &exifData, 1);
  WebPData assembled;
  EXPECT_EQ(WebPMuxAssemble(mux, &assembled), WEBP_MUX_OK);
  const Bytes file(assembled.bytes, assembled.bytes + assembled.size);
  WebPDataClear(&assembled);
  WebPMuxDelete(mux);
  WebPFree(picture);
  return file;
}

// The bytes `write` puts in a file that it is given the name of.
Bytes writtenBy(const std::function<void(const char*)>& write) {
  const fs::path path = fs::temp_directory_path() / ("stills-" + std::to_string(::getpid()));
  write(path.c_str());
  const std::string file = support::readFile(path.string());
  fs::remove(path);
  return text(file);
}

// Two pages: the first 2 x 2, pixel (x, y) `pixel` (RGB, or RGBA with
// associated alpha) plus x + 50y, with orientation 6 and a profile of 40
// fives; the second 3 x 2.
Bytes tiff(const Bytes& pixel) {
  return writtenBy([&](const char* path) {
    TIFF* tif = TIFFOpen(path, "w");
    const Bytes icc(40, 5);
    const std::uint16_t associated = EXTRASAMPLE_ASSOCALPHA, n = pixel.size();
    for (const int w : {2, 3}) {
      TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
      TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 2);
      TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
      TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, n);
      TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
      if (n == 4) TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &associated);
      TIFFSetField(tif, TIFFTAG_ORIENTATION, w == 2 ? ORIENTATION_RIGHTTOP : ORIENTATION_TOPLEFT);
      if (w == 2) TIFFSetField(tif, TIFFTAG_ICCPROFILE, 40u, icc.data());
      for (int y = 0; y < 2; ++y) {
        Bytes row = times(w, pixel);
        for (std::size_t i = 0; i < row.size(); ++i) row[i] += 50 * y + i / n;
        TIFFWriteScanline(tif, row.data(), static_cast<std::uint32_t>(y), 0);
      }
      TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
  });
}

// Two frames on a 4 x 3 screen; index 3 is transparent. Frame 0 covers
// columns 1..3 of rows 1..2 with red, blue, transparent; frame 1 is all blue.
Bytes gif() {
  return writtenBy([](const char* path) {
    int error = 0;
    GifFileType* gif = EGifOpenFileName(path, false, &error);
    const GifColorType colours[4] = {{0, 0, 0}, {255, 0, 0}, {0, 0, 255}, {9, 9, 9}};
    ColorMapObject* map = GifMakeMapObject(4, colours);
    EGifSetGifVersion(gif, true);
    EGifPutScreenDesc(gif, 4, 3, 2, 0, map);
    for (const int at : {1, 0}) {
      const GifByteType control[4] = {1, 0, 0, 3};
      EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control);
      EGifPutImageDesc(gif, at, at, 4 - at, 3 - at, false, nullptr);
      for (int y = at; y < 3; ++y) {
        GifPixelType line[4] = {1, 2, 3, 1};
        if (at == 0) std::fill(line, line + 4, 2);
        EGifPutLine(gif, line, 4 - at);
      }
    }
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
  });
}

// A 64 x 32 HEIC, orange, with a profile; empty when this libheif has no
// HEVC encoder.
Bytes heic(const Bytes& icc) {
#if defined(__SANITIZE_ADDRESS__)
  // libx265, the encoder, keeps one block for the life of the process.
  __lsan::ScopedDisabler encoderLeak;
#endif
  heif_context* ctx = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  heif_image* img = nullptr;
  if (heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &encoder).code ==
      heif_error_Ok) {
    heif_image_create(64, 32, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &img);
    heif_image_add_plane(img, heif_channel_interleaved, 64, 32, 8);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(img, heif_channel_interleaved, &stride);
    for (int y = 0; y < 32; ++y)
      for (int x = 0; x < 3 * 64; ++x)
        plane[y * stride + x] = x % 3 == 0 ? 200 : x % 3 == 1 ? 60 : 20;
    heif_image_set_raw_color_profile(img, "prof", icc.data(), icc.size());
    EXPECT_EQ(heif_context_encode_image(ctx, img, encoder, nullptr, nullptr).code, heif_error_Ok);
    heif_encoder_release(encoder);
    heif_image_release(img);
  }
  const Bytes file = img == nullptr ? Bytes{} : writtenBy([&](const char* path) {
    EXPECT_EQ(heif_context_write_to_file(ctx, path).code, heif_error_Ok);
  });
  heif_context_free(ctx);
  return file;
}

// JPEG 2000 written losslessly: 4 x 4 samples from `at(component, x, y)`,
// components after the first subsampled by `sub` (then YCC), grey below 3.
Bytes j2k(OPJ_CODEC_FORMAT format, int comps, int prec, bool sgnd, int sub,
          const std::function<int(int, int, int)>& at) {
  const auto space = comps < 3 ? OPJ_CLRSPC_GRAY : sub > 1 ? OPJ_CLRSPC_SYCC : OPJ_CLRSPC_SRGB;
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
  const Bytes file = writtenBy([&](const char* path) {
    opj_codec_t* codec = opj_create_compress(format);
    opj_stream_t* out = opj_stream_create_default_file_stream(path, OPJ_FALSE);
    EXPECT_TRUE(opj_setup_encoder(codec, &p, image) && opj_start_compress(codec, image, out) &&
                opj_encode(codec, out) && opj_end_compress(codec, out));
    opj_stream_destroy(out);
    opj_destroy_codec(codec);
  });
  opj_image_destroy(image);
  return file;
}

// A BMP, rows bottom first: `colours` palette entries, colour i red 16i,
// green 255 - 16i, blue 7i (see `indexed`), then `body`.
Bytes bmp(int w, int h, int bits, int compression, int colours, const Bytes& body) {
  Bytes b = text("BM") + Bytes(8, 0) + le(54 + 4 * colours, 4) + le(40, 4) + le(w, 4) + le(h, 4) +
            le(1, 2) + le(bits, 2) + le(compression, 4) + Bytes(12, 0) + le(colours, 4) + le(0, 4);
  for (int i = 0; i < colours; ++i) b = b + le(i * 16 << 16 | (255 - i * 16) << 8 | i * 7, 4);
  return b + body;
}
Bytes indexed(const std::string& digits) {
  Bytes out;
  for (const char d : digits) {
    const int i = d - '0';
    out = out + Bytes{std::uint8_t(16 * i), std::uint8_t(255 - 16 * i), std::uint8_t(7 * i), 255};
  }
  return out;
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

// An EXR of the given half-float pixels, row by row, over `window`.
Bytes exr(const Imath::Box2i& window, const std::vector<Imf::Rgba>& px, Imf::RgbaChannels channels,
          Imf::Compression compression = Imf::ZIP_COMPRESSION) {
  return writtenBy([&](const char* path) {
    Imf::Header header(window, window, 1, Imath::V2f(0, 0), 1, Imf::INCREASING_Y, compression);
    Imf::RgbaOutputFile out(path, header, channels);
    const int w = window.max.x - window.min.x + 1, h = window.max.y - window.min.y + 1;
    out.setFrameBuffer(px.data() - window.min.x - window.min.y * w, 1, w);
    out.writePixels(h);
  });
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

// Grey opaque pixels of these values.
Bytes shades(std::initializer_list<int> values) {
  Bytes out;
  for (const int v : values) out = out + Bytes(3, static_cast<std::uint8_t>(v)) + Bytes{255};
  return out;
}

struct Case {
  std::string what;
  Bytes file;
  Bytes first = {};  // the raster's first bytes, as stored
  int orientation = 1;
  Bytes icc = {};
  int tolerance = 0;
};

// Files whose pixels are known as written, and the orientation and colour
// profile as each container carries them.
const std::vector<Case>& cases() {
  static const std::vector<Case> files = [] {
    const Bytes k{0, 0, 0, 255}, w{255, 255, 255, 255}, clear{0, 0, 0, 0}, cmyk{200, 200, 200, 100};
    const Bytes red{255, 0, 0, 255}, blue{0, 0, 255, 255}, grey{100, 100, 100, 255};
    const Bytes straight{200, 100, 1, 128, 1, 2, 3, 255}, pre{100, 50, 1, 128, 1, 2, 3, 255};
    const Bytes run = {2, 2, 0, 8, 0x88, 128, 0x88, 64, 0x88, 32, 0x88, 129};
    const Bytes pink{201, 49, 100, 255}, sixteen = be(0x12C0, 2) + be(0xFFFFFFFFFFFF, 6);
    const Bytes pam = text("P7 WIDTH 2 HEIGHT 1 DEPTH 4 MAXVAL 255 ENDHDR\n") + straight;
    const Bytes rle8{2, 1, 0, 3, 2, 3, 4, 0, 0, 0, 0, 2, 2, 1, 3, 5, 0, 1};
    const Bytes rle4{5, 0x12, 0, 0, 0, 5, 0x34, 0x56, 0x70, 0, 0, 1};
    const Bytes floats = be(0xbf800000, 4) + be(0x3f800000, 4) + be(0x3e800000, 4);
    const auto ycc = [](int c, int x, int y) {
      return c ? 128 + 72 * (c == 2 && x + y == 2) : 100;
    };
    const auto signedGrey = [](int c, int x, int) { return c ? 2047 : -2048 + 1000 * x; };
    const std::vector<Imf::Rgba> orange(24 * 20, Imf::Rgba(0.5f, 0.25f, 0.125f, 1.0f));
    std::vector<int> twelve{0, 4095, 2048, 100};
    twelve.resize(24 * 20, 1000);
    std::vector<Case> all{
        {"JPEG", jpeg({200, 100, 50}, TJPF_RGB), {200, 100, 50, 255}, 1, {}, 2},
        {"CMYK JPEG, inverted as Photoshop writes it", jpeg(cmyk, TJPF_CMYK), {79, 79, 79, 255}},
        {"16-bit PNG, rounded", png(1, 16, sixteen), {19, 255, 255, 255}},
        {"PNG, premultiplied", png(2, 8, straight), pre},
        {"TIFF, the first page as stored",
         tiff({10, 20, 30}),
         {10, 20, 30, 255, 11, 21, 31, 255, 60, 70, 80},
         6,
         Bytes(40, 5)},
        {"TIFF, colour cut to alpha (fuzzer finding)",
         tiff({200, 100, 50, 128}),
         {128, 100, 50, 128},
         6,
         Bytes(40, 5)},
        {"GIF, the first frame", gif(), times(5, clear) + red + blue + clear + clear + red + blue},
        {"BMP", bmp(2, 1, 24, 0, 0, {3, 2, 1, 6, 5, 4, 0, 0}), {1, 2, 3, 255, 4, 5, 6, 255}},
        {"8-bit RLE BMP", bmp(5, 3, 8, 1, 16, rle8), indexed("005550000011234")},
        {"4-bit RLE BMP", bmp(5, 2, 4, 2, 16, rle4), indexed("3456712121")},
        {"Radiance, whole runs, linear", radiance(run + run), {255, 128, 64, 255}},
        {"P1: 1 is black", text("P1\n# bits\n2 1\n10"), k + w},
        {"P4", text("P4 9 1\n") + Bytes{0x80, 0}, k + times(8, w)},
        {"P2, scaled to 255", text("P2 2 1 15 15 0"), w + k},
        {"16-bit P5", text("P5 1 1 65535\n") + be(0x12C0, 2), {19, 19, 19, 255}},
        {"PAM in the order red, green, blue, alpha", pam, pre},
        {"PAM, grey and alpha",
         text("P7 WIDTH 1 HEIGHT 1 DEPTH 2 MAXVAL 255 ENDHDR\n\xc8\x80"),
         {100, 100, 100, 128}},
        // PFM: bottom row first, the scale's sign the byte order, 0..1 to 0..255.
        {"PFM", text("Pf\n1 2\n-1.0\n") + be(0x3f, 4) + be(0x40, 4), w + Bytes{128, 128, 128}},
        {"colour PFM", text("PF 1 1 1\n") + floats, {0, 255, 64, 255}},
        {"Sun raster, a mapped run", sun(3, 8, 2, {10, 20, 30, 40, 50, 60}, {0x80, 3, 1}),
         times(3, {20, 40, 60, 255})},
        {"Sun raster, RGB", sun(2, 24, 3, {}, {1, 2, 3, 4, 5, 6}), {1, 2, 3, 255, 4, 5, 6}},
        {"Sun raster, BGR padded", sun(1, 32, 1, {}, {0, 3, 2, 1}), {1, 2, 3, 255}},
        {"Sun raster, escaped 0x80", sun(2, 8, 2, {}, {0x80, 0, 9}), {128, 128, 128, 255, 9}},
        {"Sun raster, 1 bit", sun(3, 1, 1, {}, {0x40, 0}), w + k + w},
        {"JPEG 2000, 12-bit signed grey with alpha", j2k(OPJ_CODEC_J2K, 2, 12, true, 1, signedGrey),
         k + Bytes{62, 62, 62, 255, 125, 125, 125, 255, 187, 187, 187, 255}},
        {"JPEG 2000, YCC 4:2:0, chroma repeated over 2 x 2",
         j2k(OPJ_CODEC_J2K, 3, 8, false, 2, ycc),
         times(10, grey) + pink + pink + grey + grey + pink + pink},
        {"JP2, RGB",
         j2k(OPJ_CODEC_JP2, 3, 8, false, 1, [](int c, int x, int) { return 10 * c + x; }),
         {0, 10, 20, 255, 1, 11, 21, 255}},
        // OpenEXR: linear light, colour stored premultiplied; a data window
        // off the origin; green brighter than its alpha.
        {"OpenEXR",
         exr(Imath::Box2i({-3, 5}, {-2, 6}),
             {{0.5f, 0.25f, 2.0f, 1.0f},
              {0.25f, 0.8f, std::numeric_limits<float>::quiet_NaN(), 0.5f},
              {-1.0f, 0.0f, 1.0f, 0.0f},
              {0.125f, 0.375f, 0.75f, 1.0f}},
             Imf::WRITE_RGBA),
         {128, 64, 255, 255, 64, 128, 0, 128, 0, 0, 0, 0, 32, 96, 191, 255}},
        {"OpenEXR, luminance alone is grey and opaque",
         exr(Imath::Box2i({0, 0}, {1, 0}), {{0.5f, 0.5f, 0.5f, 1.0f}, {1.0f, 1.0f, 1.0f, 1.0f}},
             Imf::WRITE_Y),
         shades({128, 255})},
        {"OpenEXR, PIZ",
         exr(Imath::Box2i({0, 0}, {23, 19}), orange, Imf::WRITE_RGB, Imf::PIZ_COMPRESSION),
         {128, 64, 32, 255}},
        {"DICOM, 8-bit grey", Dicom{2, 2}.with({0, 100, 200, 255}), shades({0, 100, 200, 255})},
        {"DICOM, MONOCHROME1 shows low values bright", Dicom{1, 2, "MONOCHROME1"}.with({0, 200}),
         shades({255, 55})},
        // 12 bits stored in 16 fill the range; 16 of 16 round like other 16-bit formats.
        {"DICOM, 12 of 16 bits", Dicom{20, 24, "MONOCHROME2", 1, 16, 12}.with(twelve),
         shades({0, 255, 128, 6})},
        {"DICOM, 16 bits", Dicom{1, 3, "MONOCHROME2", 1, 16, 16}.with({65535, 32768, 128}),
         shades({255, 128, 0})},
        {"DICOM, signed samples start at their least value",
         Dicom{1, 3, "MONOCHROME2", 1, 16, 16, true}.with({-32768, 0, 32767}),
         shades({0, 128, 255})},
        {"DICOM, RGB",
         Dicom{1, 2, "RGB", 3}.with({10, 20, 30, 40, 50, 60}),
         {10, 20, 30, 255, 40, 50, 60, 255}},
        {"DICOM, colour planes",
         Dicom{1, 2, "RGB", 3, 8, 8, false, 1}.with({10, 40, 20, 50, 30, 60}),
         {10, 20, 30, 255, 40, 50, 60, 255}},
        {"DICOM, sequences", Dicom{.rows = 1, .columns = 2, .sequences = true}.with({7, 9}),
         shades({7, 9})},
        {"DICOM, implicit VR",
         Dicom{.rows = 1, .columns = 2, .implicit = true, .sequences = true}.with({7, 9}),
         shades({7, 9})},
    };
    const Bytes plain = jpeg({90, 90, 90}, TJPF_RGB), exifTag = text(std::string("Exif\0\0", 6));
    for (const int o : {3, 6, 8}) {
      for (const bool ii : {true, false})
        all.push_back({"JPEG, EXIF", withJpegSegment(plain, 0xE1, exifTag + exif(o, ii)), {}, o});
    }
    // A profile in three APP2 chunks, in any order; one with a chunk missing is none.
    const auto chunk = [](std::uint8_t seq, std::uint8_t fill) {
      return text(std::string("ICC_PROFILE\0", 12)) + Bytes{seq, 3} + Bytes(100, fill);
    };
    const Bytes gap =
        withJpegSegment(withJpegSegment(plain, 0xE2, chunk(3, 0xCC)), 0xE2, chunk(1, 0xAA));
    all.push_back({"JPEG, split profile",
                   withJpegSegment(gap, 0xE2, chunk(2, 0xBB)),
                   {},
                   1,
                   Bytes(100, 0xAA) + Bytes(100, 0xBB) + Bytes(100, 0xCC)});
    all.push_back({"JPEG, a profile's chunk missing", gap});
    Bytes icc(500);
    for (std::size_t i = 0; i < icc.size(); ++i) icc[i] = static_cast<std::uint8_t>(i * 7);
    const Bytes iccp = pngChunk("iCCP", text("Display P3") + Bytes{0, 0} + zlib(icc));
    all.push_back(
        {"PNG", png(1, 8, Bytes(4, 9), iccp + pngChunk("eXIf", exif(6, false))), {}, 6, icc});
    all.push_back({"WebP, premultiplied", webpWith(straight, Bytes(64, 3), exif(8, true)), pre, 8,
                   Bytes(64, 3)});
    // HEIF turns the picture itself: it comes upright.
    const Bytes heif = heic(Bytes(128, 1));
    if (!heif.empty()) all.push_back({"HEIF", heif, {200, 60, 20, 255}, 1, Bytes(128, 1), 12});
    return all;
  }();
  return files;
}

TEST(Formats, PixelsOrientationAndProfile) {
  for (const auto& [what, file, first, orientation, icc, tolerance] : cases()) {
    const std::optional<Image> image = decode(file);
    ASSERT_TRUE(image) << what;
    EXPECT_EQ(image->orientation, orientation) << what;
    EXPECT_EQ(image->icc, icc) << what;
    const Bytes got = pixels(*image);
    ASSERT_GE(got.size(), first.size()) << what;
    for (std::size_t i = 0; i < first.size(); ++i)
      EXPECT_NEAR(got[i], first[i], tolerance) << what << ", byte " << i;
  }
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

// A file cut short anywhere decodes to nothing or to a raster of the size it
// declares; with bytes flipped it never crashes nor trips a sanitizer (GDCM
// aborts on some damage, in its child). No codec library says a word on
// standard error meanwhile (libjpeg used to warn of a truncated file there).
// The fuzz targets go further at random.
TEST(Hostile, DamagedFilesOfEveryFormat) {
  std::mt19937 rng(9);
  ::testing::internal::CaptureStderr();
  for (const auto& [what, file, first, orientation, icc, tolerance] : cases()) {
    const std::optional<Image> whole = decode(file);
    ASSERT_TRUE(whole) << what;
    for (std::size_t keep = 0; keep < file.size(); keep += 1 + file.size() / 40) {
      const std::optional<Image> image = decode(Bytes(file.begin(), file.begin() + keep));
      if (image) {
        EXPECT_EQ(image->raster.w, whole->raster.w) << what << " cut at " << keep;
      }
    }
    for (int trial = 0; trial < 12; ++trial) {
      Bytes bad = file;
      for (int k = 0; k < 5; ++k)
        bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
      decode(bad);
    }
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// Sizes a file declares are checked before anything that large is
// allocated, and rows beyond the file's end are not made up; runs that stb's
// Radiance reader never returned from (fuzzer findings); element lengths
// beyond the file, which GDCM would allocate. A JPEG cut short keeps what
// libjpeg recovered, without its warning on standard error.
TEST(Hostile, DeclaredBeyondTheFile) {
  const Bytes whole = jpeg({1, 2, 3}, TJPF_RGB), frame{0xFF, 0xC0};
  Bytes huge = whole;
  std::fill_n(std::search(huge.begin(), huge.end(), frame.begin(), frame.end()) + 5, 4, 0xFF);
  // The EXR's data window widened to 100000 x 100000 in its header.
  Bytes wideExr = exr(Imath::Box2i({0, 0}, {1, 0}),
                      std::vector<Imf::Rgba>(2, Imf::Rgba(0.5f, 0.5f, 0.5f)), Imf::WRITE_RGBA);
  const std::string window = "dataWindow";
  const auto box = std::search(wideExr.begin(), wideExr.end(), window.begin(), window.end()) +
                   static_cast<long>(window.size() + 1 + std::strlen("box2i") + 1 + 4);
  for (const int at : {8, 12}) std::copy_n(le(99999, 4).begin(), 4, box + at);
  // The pixel data's length, the file's last element, made 4 GB.
  Bytes longer = Dicom{1, 2}.with({7, 9});
  std::copy_n(le(0xFFFFFFF0, 4).begin(), 4, longer.end() - 2 - 4);
  const std::pair<std::string, Bytes> refused[] = {
      {"PNG of 100000 x 100000", pngHead(100000, 100000)},
      {"PNG one row past 2^29 pixels", pngHead(1u << 15, (1u << 14) + 1)},
      {"PNM of 100000 x 100000", text("P6\n100000 100000\n255\n")},
      {"JPEG frame of 65535 x 65535", huge},
      {"GIF screen of 65535 x 65535", text("GIF89a") + be(~0u, 4) + Bytes{0, 0, 0, ','} +
                                          Bytes(4, 0) + be(~0u, 4) + be(0x0002024c01003b, 7)},
      {"BMP with a damaged height, 4 x 100000", bmp(4, 100000, 24, 0, 0, Bytes(48, 7))},
      {"Radiance run of length 0", radiance({2, 2, 0, 8, 0})},
      {"Radiance file ending inside a scanline", radiance({2, 2, 0, 8, 0x84, 10})},
      {"P2 with a sample missing", text("P2 2 1 15 15")},
      {"EXR of 100000 x 100000", wideExr},
      {"DICOM of 65535 x 65535", Dicom{65535, 65535}.with({1, 2, 3, 4})},
      {"DICOM pixel data of 4 GB", longer},
      // GDCM stops the process on two samples a pixel: only its child ends.
      {"DICOM of two samples a pixel", Dicom{.rows = 1, .columns = 2, .samples = 2}.with({7, 9})},
  };
  ::testing::internal::CaptureStderr();
  for (const auto& [what, file] : refused) EXPECT_FALSE(decode(file)) << what;
  EXPECT_TRUE(decode(Bytes(whole.begin(), whole.end() - 2))) << "JPEG without its end";
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// More rows than one read of the EXR module takes, in blocks of 1, 32 and 256
// rows (the last two compressions lossy: a value may move by one).
TEST(OpenExr, TallPicturesInEveryBlockSize) {
  std::vector<Imf::Rgba> ramp;
  for (int y = 0; y < 300; ++y) ramp.push_back({y / 299.0f, 0.0f, 0.0f, 1.0f});
  for (const Imf::Compression c :
       {Imf::NO_COMPRESSION, Imf::PIZ_COMPRESSION, Imf::B44_COMPRESSION, Imf::DWAB_COMPRESSION}) {
    const std::optional<Image> tall =
        decode(exr(Imath::Box2i({0, 0}, {0, 299}), ramp, Imf::WRITE_RGB, c));
    ASSERT_TRUE(tall) << c;
    EXPECT_EQ(tall->raster.h, 300) << c;
    for (const int y : {0, 15, 16, 150, 299}) {
      EXPECT_NEAR(tall->raster.row(y)[0], std::lround(y * 255 / 299.0), 1) << c << " row " << y;
    }
  }
}

// The built programs find the module: recortar keys a flat DICOM picture.
TEST(ExrAndDicom, RecortarReadsThroughTheModule) {
  support::Scratch s;
  std::vector<int> samples(30 * 40, 250);
  for (int y = 10; y < 20; ++y) std::fill_n(samples.begin() + y * 40 + 15, 10, 20);
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
