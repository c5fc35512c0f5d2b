#include "remover/keying.hpp"

#include <algorithm>
#include <cmath>

namespace recortar {

namespace {

constexpr int kStepDivisor = 400;    // (w + h) / 400 border positions apart
constexpr unsigned kMinAlpha = 250;  // a sample must be more opaque than this
constexpr std::size_t kMinSamples = 20;
constexpr double kCloseBelow = 24.0;  // a sample is close when every channel differs less
constexpr double kFlatShare = 0.9;    // least share of close samples; 0.9 itself passes
constexpr double kClearUpTo = 10.0;   // distances up to this become fully transparent
constexpr double kRamp = 60.0;        // the subject fraction reaches 1 at 10 + 60

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::uint8_t toByte(double v) {
  if (v < 0.0) return 0;
  if (v >= 255.0) return 255;
  return static_cast<std::uint8_t>(v);
}

}  // namespace

std::vector<Point> borderVisits(int w, int h) {
  std::vector<Point> visits;
  if (w <= 0 || h <= 0) return visits;
  const std::int64_t sum = static_cast<std::int64_t>(w) + h;
  const int s = sum < kStepDivisor ? 1 : static_cast<int>(sum / kStepDivisor);
  visits.reserve(2 * (static_cast<std::size_t>(w) / s + 1) +
                 2 * (static_cast<std::size_t>(h) / s + 1));
  for (int x = 0; x < w; x += s) {
    visits.push_back({x, 0});
    visits.push_back({x, h - 1});
    if (x > w - 1 - s) break;  // the next step would overflow before failing x < w
  }
  for (int y = 0; y < h; y += s) {
    visits.push_back({0, y});
    visits.push_back({w - 1, y});
    if (y > h - 1 - s) break;
  }
  return visits;
}

std::optional<Rgb> flatBackground(const std::vector<Pixel>& visited) {
  std::vector<double> r, g, b;
  for (const Pixel& p : visited) {
    if (p[3] <= kMinAlpha) continue;
    r.push_back(p[0]);
    g.push_back(p[1]);
    b.push_back(p[2]);
  }
  const std::size_t n = r.size();
  if (n < kMinSamples) return std::nullopt;
  const Rgb bg{median(r), median(g), median(b)};
  std::size_t close = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d =
        std::max({std::abs(r[i] - bg.r), std::abs(g[i] - bg.g), std::abs(b[i] - bg.b)});
    if (d < kCloseBelow) ++close;
  }
  if (static_cast<double>(close) / static_cast<double>(n) < kFlatShare) return std::nullopt;
  return bg;
}

void keyPixels(std::uint8_t* px, std::int64_t count, const Rgb& bg) {
  // The background is a median of bytes, so whole numbers: then an opaque
  // pixel's distance is a whole number too, and the two commonest cases, the
  // background itself (t = 0: colour minus background, alpha 0) and the
  // subject (t = 1: kept), have exact integer forms that skip the doubles.
  const auto whole = [](double v) { return v >= 0.0 && v <= 255.0 && v == std::floor(v); };
  const bool integral = whole(bg.r) && whole(bg.g) && whole(bg.b);
  const int br = static_cast<int>(bg.r), bgg = static_cast<int>(bg.g), bb = static_cast<int>(bg.b);
  constexpr int kClear = static_cast<int>(kClearUpTo), kKept = static_cast<int>(kClearUpTo + kRamp);
  for (std::int64_t i = 0; i < count; ++i, px += 4) {
    const unsigned alpha = px[3];
    if (alpha == 0) continue;
    if (alpha == 255 && integral) {
      const int dr = px[0] - br, dg = px[1] - bgg, db = px[2] - bb;
      const int d = std::max({std::abs(dr), std::abs(dg), std::abs(db)});
      if (d >= kKept) continue;
      if (d <= kClear) {
        px[0] = static_cast<std::uint8_t>(std::max(dr, 0));
        px[1] = static_cast<std::uint8_t>(std::max(dg, 0));
        px[2] = static_cast<std::uint8_t>(std::max(db, 0));
        px[3] = 0;
        continue;
      }
    }
    if (alpha == 255) {
      // Opaque: a is exactly 1, so dividing and multiplying by it change
      // nothing and are skipped; the bytes are those of the general formula.
      const double r = px[0], g = px[1], b = px[2];
      const double d = std::max({std::abs(r - bg.r), std::abs(g - bg.g), std::abs(b - bg.b)});
      if (d >= kClearUpTo + kRamp) continue;  // t = 1: the pixel keeps its bytes
      const double t = std::clamp((d - kClearUpTo) / kRamp, 0.0, 1.0);
      px[0] = toByte(r - bg.r * (1.0 - t));
      px[1] = toByte(g - bg.g * (1.0 - t));
      px[2] = toByte(b - bg.b * (1.0 - t));
      px[3] = toByte(t * 255.0);
      continue;
    }
    const double a = alpha / 255.0;
    const double r = px[0] / a;
    const double g = px[1] / a;
    const double b = px[2] / a;
    const double d = std::max({std::abs(r - bg.r), std::abs(g - bg.g), std::abs(b - bg.b)});
    const double t = std::clamp((d - kClearUpTo) / kRamp, 0.0, 1.0);
    px[0] = toByte((r - bg.r * (1.0 - t)) * a);
    px[1] = toByte((g - bg.g * (1.0 - t)) * a);
    px[2] = toByte((b - bg.b * (1.0 - t)) * a);
    px[3] = toByte(a * t * 255.0);
  }
}

bool keyRaster(stills::Raster& raster) {
  std::vector<Pixel> visited;
  for (const Point& p : borderVisits(raster.w, raster.h)) {
    const std::uint8_t* px = raster.row(p.y) + 4 * static_cast<std::size_t>(p.x);
    visited.push_back({px[0], px[1], px[2], px[3]});
  }
  const std::optional<Rgb> bg = flatBackground(visited);
  if (!bg) return false;
  keyPixels(raster.px.get(), static_cast<std::int64_t>(raster.w) * raster.h, *bg);
  return true;
}

}  // namespace recortar
