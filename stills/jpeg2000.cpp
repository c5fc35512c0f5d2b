// JPEG 2000, both the JP2 container and a bare codestream, through OpenJPEG.
#include <openjpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "stills/codecs.hpp"

namespace stills::detail {

namespace {

// The file in memory, read through OpenJPEG's stream callbacks.
struct Source {
  Bytes b;
  std::size_t pos = 0;
};

OPJ_SIZE_T readBytes(void* out, OPJ_SIZE_T n, void* user) {
  auto* s = static_cast<Source*>(user);
  if (s->pos >= s->b.size()) return static_cast<OPJ_SIZE_T>(-1);
  n = std::min<OPJ_SIZE_T>(n, s->b.size() - s->pos);
  std::memcpy(out, s->b.data() + s->pos, n);
  s->pos += n;
  return n;
}

OPJ_OFF_T skipBytes(OPJ_OFF_T n, void* user) {
  auto* s = static_cast<Source*>(user);
  if (n < 0) return -1;
  const auto step = std::min<std::uint64_t>(static_cast<std::uint64_t>(n), s->b.size() - s->pos);
  s->pos += step;
  return static_cast<OPJ_OFF_T>(step);
}

OPJ_BOOL seekTo(OPJ_OFF_T at, void* user) {
  auto* s = static_cast<Source*>(user);
  if (at < 0 || static_cast<std::uint64_t>(at) > s->b.size()) return OPJ_FALSE;
  s->pos = static_cast<std::size_t>(at);
  return OPJ_TRUE;
}

void quiet(const char*, void*) {}

using Stream = std::unique_ptr<opj_stream_t, void (*)(opj_stream_t*)>;
using Codec = std::unique_ptr<opj_codec_t, void (*)(opj_codec_t*)>;
using J2k = std::unique_ptr<opj_image_t, void (*)(opj_image_t*)>;

Stream openStream(Source& source) {
  Stream stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE), opj_stream_destroy);
  if (!stream) return stream;
  opj_stream_set_user_data(stream.get(), &source, nullptr);
  opj_stream_set_user_data_length(stream.get(), source.b.size());
  opj_stream_set_read_function(stream.get(), readBytes);
  opj_stream_set_skip_function(stream.get(), skipBytes);
  opj_stream_set_seek_function(stream.get(), seekTo);
  return stream;
}

// A decoder of a bare codestream or of the JP2 container that prints nothing.
Codec openCodec(bool codestream) {
  Codec codec(opj_create_decompress(codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2), opj_destroy_codec);
  if (!codec) return codec;
  opj_set_info_handler(codec.get(), quiet, nullptr);
  opj_set_warning_handler(codec.get(), quiet, nullptr);
  opj_set_error_handler(codec.get(), quiet, nullptr);
  opj_dparameters_t parameters;
  opj_set_default_decoder_parameters(&parameters);
  if (!opj_setup_decoder(codec.get(), &parameters)) codec.reset();
  return codec;
}

// An allowed size and one to four components of usable geometry.
bool headerUsable(const opj_image_t& j2k) {
  const std::int64_t w = std::int64_t{j2k.x1} - j2k.x0, h = std::int64_t{j2k.y1} - j2k.y0;
  if (!sizeAllowed(w, h) || j2k.numcomps < 1 || j2k.numcomps > 4) return false;
  for (unsigned c = 0; c < j2k.numcomps; ++c) {
    const opj_image_comp_t& comp = j2k.comps[c];
    if (comp.dx == 0 || comp.dy == 0 || comp.prec < 1 || comp.prec > 31) return false;
  }
  return true;
}

// The decoded image, or null when its header is unusable or no samples came.
J2k readImage(opj_stream_t* stream, opj_codec_t* codec) {
  opj_image_t* raw = nullptr;
  const bool header = opj_read_header(stream, codec, &raw);
  J2k j2k(raw, opj_image_destroy);
  if (!header || !j2k || !headerUsable(*j2k)) return J2k(nullptr, opj_image_destroy);
  // A damaged tile leaves what OpenJPEG could decode; a failure before any
  // sample arrived leaves no data at all.
  if (!opj_decode(codec, stream, j2k.get())) return J2k(nullptr, opj_image_destroy);
  opj_end_decompress(codec, stream);
  for (unsigned c = 0; c < j2k->numcomps; ++c) {
    if (j2k->comps[c].data == nullptr || j2k->comps[c].w == 0 || j2k->comps[c].h == 0) {
      return J2k(nullptr, opj_image_destroy);
    }
  }
  return j2k;
}

// Component c's sample nearest to image position (x, y), unsigned, in its
// own precision; subsampled components repeat their samples.
std::int64_t sampleAt(const opj_image_t& j2k, unsigned c, std::int64_t x, std::int64_t y) {
  const std::int64_t x0 = j2k.x0, y0 = j2k.y0;
  const opj_image_comp_t& comp = j2k.comps[c];
  const std::int64_t cx0 = (x0 + comp.dx - 1) / comp.dx, cy0 = (y0 + comp.dy - 1) / comp.dy;
  const std::int64_t sx = std::clamp<std::int64_t>((x0 + x) / comp.dx - cx0, 0, comp.w - 1);
  const std::int64_t sy = std::clamp<std::int64_t>((y0 + y) / comp.dy - cy0, 0, comp.h - 1);
  const std::int64_t v =
      comp.data[sy * comp.w + sx] + (comp.sgnd ? std::int64_t{1} << (comp.prec - 1) : 0);
  return std::clamp<std::int64_t>(v, 0, (std::int64_t{1} << comp.prec) - 1);
}

// A sample of component c's precision scaled to 0..255 with rounding.
std::uint8_t eightOf(const opj_image_t& j2k, unsigned c, std::int64_t v) {
  const std::int64_t max = (std::int64_t{1} << j2k.comps[c].prec) - 1;
  return static_cast<std::uint8_t>(max == 255 ? v : (v * 255 + max / 2) / max);
}

// Three components subsampled beyond the first are YCC even when the file
// does not say so, as OpenJPEG's own tools read them.
bool isYcc(const opj_image_t& j2k) {
  const opj_image_comp_t* comps = j2k.comps;
  return j2k.numcomps >= 3 && (j2k.color_space == OPJ_CLRSPC_SYCC ||
                               (j2k.color_space != OPJ_CLRSPC_SRGB && comps[0].dx == 1 &&
                                comps[0].dy == 1 && (comps[1].dx != 1 || comps[1].dy != 1)));
}

// The colour of YCC pixel (x, y), in the first component's precision, as RGB.
void yccToRgb(const opj_image_t& j2k, std::int64_t x, std::int64_t y, std::uint8_t* px) {
  const float max = static_cast<float>((std::int64_t{1} << j2k.comps[0].prec) - 1);
  const float half = static_cast<float>(std::int64_t{1} << (j2k.comps[0].prec - 1));
  const float luma = static_cast<float>(sampleAt(j2k, 0, x, y));
  const float cb = static_cast<float>(sampleAt(j2k, 1, x, y)) - half;
  const float cr = static_cast<float>(sampleAt(j2k, 2, x, y)) - half;
  const float rgb[3] = {luma + 1.402f * cr, luma - 0.344136f * cb - 0.714136f * cr,
                        luma + 1.772f * cb};
  for (int k = 0; k < 3; ++k) {
    px[k] = eightOf(j2k, 0,
                    static_cast<std::int64_t>(std::clamp(std::floor(rgb[k] + 0.5f), 0.0f, max)));
  }
}

void fillRaster(const opj_image_t& j2k, Raster& r) {
  const unsigned n = j2k.numcomps;
  const bool ycc = isYcc(j2k), alpha = n == 2 || n == 4;
  for (int y = 0; y < r.h; ++y) {
    std::uint8_t* px = r.row(y);
    for (int x = 0; x < r.w; ++x, px += 4) {
      if (n < 3) {
        px[0] = px[1] = px[2] = eightOf(j2k, 0, sampleAt(j2k, 0, x, y));
      } else if (ycc) {
        yccToRgb(j2k, x, y, px);
      } else {
        for (unsigned c = 0; c < 3; ++c) px[c] = eightOf(j2k, c, sampleAt(j2k, c, x, y));
      }
      px[3] = alpha ? eightOf(j2k, n - 1, sampleAt(j2k, n - 1, x, y)) : 255;
    }
  }
}

}  // namespace

std::optional<Image> decodeJpeg2000(Bytes file) {
  Source source{file};
  const Stream stream = openStream(source);
  if (!stream) return std::nullopt;
  const Codec codec = openCodec(file.size() >= 2 && file[0] == 0xFF && file[1] == 0x4F);
  if (!codec) return std::nullopt;
  const J2k j2k = readImage(stream.get(), codec.get());
  if (!j2k) return std::nullopt;
  std::optional<Image> image =
      blankImage(std::int64_t{j2k->x1} - j2k->x0, std::int64_t{j2k->y1} - j2k->y0);
  if (!image) return std::nullopt;
  fillRaster(*j2k, image->raster);
  premultiplyInPlace(image->raster.px.get(), image->raster.bytes() / 4);
  return image;
}

}  // namespace stills::detail
