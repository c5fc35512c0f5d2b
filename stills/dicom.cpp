// DICOM through GDCM, which decodes every transfer syntax it knows
// (uncompressed, RLE, JPEG, JPEG-LS, JPEG 2000). Part of the module of
// exr_dicom_module.hpp.
//
// Frame 0 only. Grey (MONOCHROME2, and MONOCHROME1 inverted so that the
// picture looks as it is meant to), RGB, palette colour through its table,
// and YBR_FULL; 8 or 16 bits allocated. Samples are scaled from their stored
// bits to 8 with rounding, as Netpbm's maximum value is, so that a 12-bit
// image fills the range; signed samples are shifted to start at 0. Rescale
// slope and window are not applied: the picture is the stored values. GDCM
// itself runs in a child process (decode_in_child.hpp).
#include <gdcmImageApplyLookupTable.h>
#include <gdcmImageChangePhotometricInterpretation.h>
#include <gdcmImageReader.h>
#include <gdcmTrace.h>

#include <algorithm>
#include <cstring>
#include <istream>
#include <streambuf>
#include <vector>

#include "stills/decode_in_child.hpp"
#include "stills/dicom_lengths.hpp"

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

bool decodeWithGdcm(Bytes file, const RasterRequest& raster) {
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
  if (!lengthsFitFile(file)) return false;
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

}  // namespace

bool decodeDicom(Bytes file, const RasterRequest& raster) {
  return decodeInChild(file, raster, decodeWithGdcm);
}

}  // namespace stills::detail
