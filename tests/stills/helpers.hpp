// Shared by the still-image tests: raw bytes of files and rasters, and the
// damage every format must survive.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "stills/stills.hpp"
#include "support/helpers.hpp"

namespace stills::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The `n` lowest bytes of `v`, most significant first (be) or last (le).
inline Bytes be(std::uint64_t v, int n) {
  Bytes b;
  for (int k = n - 1; k >= 0; --k) b.push_back(static_cast<std::uint8_t>(v >> 8 * k));
  return b;
}
inline Bytes le(std::uint64_t v, int n) {
  const Bytes b = be(v, n);
  return Bytes(b.rbegin(), b.rend());
}

inline Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// `n` copies of one pixel.
inline Bytes times(int n, const Bytes& pixel) {
  Bytes out;
  for (int k = 0; k < n; ++k) out = out + pixel;
  return out;
}

inline Bytes pixels(const Image& image) {
  return Bytes(image.raster.px.get(), image.raster.px.get() + image.raster.bytes());
}

inline Bytes slurp(const std::string& path) {
  const std::string s = support::readFile(path);
  return Bytes(s.begin(), s.end());
}

// A file cut short anywhere decodes to nothing or to a raster of the size it
// declares; with bytes flipped it never crashes nor trips a sanitizer. No
// codec library says a word on standard error meanwhile (libjpeg used to warn
// of a truncated file there). The fuzz targets go further at random.
inline void expectSurvivesDamage(const std::string& what, const Bytes& file, std::mt19937& rng) {
  SCOPED_TRACE(what);
  const std::optional<Image> whole = decode(file);
  ASSERT_TRUE(whole);
  ::testing::internal::CaptureStderr();
  for (std::size_t keep = 0; keep < file.size(); keep += 1 + file.size() / 40) {
    const std::optional<Image> image = decode(Bytes(file.begin(), file.begin() + keep));
    if (image) {
      EXPECT_EQ(image->raster.w, whole->raster.w) << "cut at " << keep;
    }
  }
  for (int trial = 0; trial < 12; ++trial) {
    Bytes bad = file;
    for (int k = 0; k < 5; ++k)
      bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
    decode(bad);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace stills::testing
