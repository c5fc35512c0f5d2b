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

}  // namespace

std::optional<Image> decodeJpeg2000(Bytes file) {
  Source source{file};
  const std::unique_ptr<opj_stream_t, void (*)(opj_stream_t*)> stream(
      opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE), opj_stream_destroy);
  if (!stream) return std::nullopt;
  opj_stream_set_user_data(stream.get(), &source, nullptr);
  opj_stream_set_user_data_length(stream.get(), file.size());
  opj_stream_set_read_function(stream.get(), readBytes);
  opj_stream_set_skip_function(stream.get(), skipBytes);
  opj_stream_set_seek_function(stream.get(), seekTo);

  const bool codestream = file.size() >= 2 && file[0] == 0xFF && file[1] == 0x4F;
  const std::unique_ptr<opj_codec_t, void (*)(opj_codec_t*)> codec(
      opj_create_decompress(codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2), opj_destroy_codec);
  if (!codec) return std::nullopt;
  opj_set_info_handler(codec.get(), quiet, nullptr);
  opj_set_warning_handler(codec.get(), quiet, nullptr);
  opj_set_error_handler(codec.get(), quiet, nullptr);
  opj_dparameters_t parameters;
  opj_set_default_decoder_parameters(&parameters);
  if (!opj_setup_decoder(codec.get(), &parameters)) return std::nullopt;

  opj_image_t* raw = nullptr;
  const bool header = opj_read_header(stream.get(), codec.get(), &raw);
  const std::unique_ptr<opj_image_t, void (*)(opj_image_t*)> j2k(raw, opj_image_destroy);
  if (!header || !j2k) return std::nullopt;
  const std::int64_t x0 = j2k->x0, y0 = j2k->y0;
  const std::int64_t w = std::int64_t{j2k->x1} - x0, h = std::int64_t{j2k->y1} - y0;
  const unsigned n = j2k->numcomps;
  if (!sizeAllowed(w, h) || n < 1 || n > 4) return std::nullopt;
  for (unsigned c = 0; c < n; ++c) {
    const opj_image_comp_t& comp = j2k->comps[c];
    if (comp.dx == 0 || comp.dy == 0 || comp.prec < 1 || comp.prec > 31) return std::nullopt;
  }
  // A damaged tile leaves what OpenJPEG could decode; a failure before any
  // sample arrived leaves no data at all.
  if (!opj_decode(codec.get(), stream.get(), j2k.get())) return std::nullopt;
  opj_end_decompress(codec.get(), stream.get());
  for (unsigned c = 0; c < n; ++c) {
    if (j2k->comps[c].data == nullptr || j2k->comps[c].w == 0 || j2k->comps[c].h == 0) {
      return std::nullopt;
    }
  }

  // Three components subsampled beyond the first are YCC even when the file
  // does not say so, as OpenJPEG's own tools read them.
  const bool ycc =
      n >= 3 && (j2k->color_space == OPJ_CLRSPC_SYCC ||
                 (j2k->color_space != OPJ_CLRSPC_SRGB && j2k->comps[0].dx == 1 &&
                  j2k->comps[0].dy == 1 && (j2k->comps[1].dx != 1 || j2k->comps[1].dy != 1)));
  Image image;
  Raster& r = image.raster;
  r = Raster(static_cast<int>(w), static_cast<int>(h));
  // Each component's sample nearest to an image position, unsigned, in its
  // own precision; subsampled components repeat their samples.
  const auto sample = [&](unsigned c, std::int64_t x, std::int64_t y) -> std::int64_t {
    const opj_image_comp_t& comp = j2k->comps[c];
    const std::int64_t cx0 = (x0 + comp.dx - 1) / comp.dx, cy0 = (y0 + comp.dy - 1) / comp.dy;
    const std::int64_t sx = std::clamp<std::int64_t>((x0 + x) / comp.dx - cx0, 0, comp.w - 1);
    const std::int64_t sy = std::clamp<std::int64_t>((y0 + y) / comp.dy - cy0, 0, comp.h - 1);
    const std::int64_t v =
        comp.data[sy * comp.w + sx] + (comp.sgnd ? std::int64_t{1} << (comp.prec - 1) : 0);
    return std::clamp<std::int64_t>(v, 0, (std::int64_t{1} << comp.prec) - 1);
  };
  const auto eight = [&](unsigned c, std::int64_t v) -> std::uint8_t {
    const std::int64_t max = (std::int64_t{1} << j2k->comps[c].prec) - 1;
    return static_cast<std::uint8_t>(max == 255 ? v : (v * 255 + max / 2) / max);
  };
  const bool alpha = n == 2 || n == 4;
  for (std::int64_t y = 0; y < h; ++y) {
    std::uint8_t* px = r.row(static_cast<int>(y));
    for (std::int64_t x = 0; x < w; ++x, px += 4) {
      if (n < 3) {
        px[0] = px[1] = px[2] = eight(0, sample(0, x, y));
      } else if (ycc) {
        const float max = static_cast<float>((std::int64_t{1} << j2k->comps[0].prec) - 1);
        const float half = static_cast<float>(std::int64_t{1} << (j2k->comps[0].prec - 1));
        const float luma = static_cast<float>(sample(0, x, y));
        const float cb = static_cast<float>(sample(1, x, y)) - half;
        const float cr = static_cast<float>(sample(2, x, y)) - half;
        const float rgb[3] = {luma + 1.402f * cr, luma - 0.344136f * cb - 0.714136f * cr,
                              luma + 1.772f * cb};
        for (int k = 0; k < 3; ++k) {
          px[k] =
              eight(0, static_cast<std::int64_t>(std::clamp(std::floor(rgb[k] + 0.5f), 0.0f, max)));
        }
      } else {
        for (unsigned c = 0; c < 3; ++c) px[c] = eight(c, sample(c, x, y));
      }
      px[3] = alpha ? eight(n - 1, sample(n - 1, x, y)) : 255;
    }
  }
  premultiplyInPlace(r.px.get(), r.bytes() / 4);
  return image;
}

}  // namespace stills::detail
