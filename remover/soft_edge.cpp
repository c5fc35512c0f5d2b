#include "remover/soft_edge.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "remover/work_image.hpp"

namespace recortar {

namespace {

// The mask comes from the 320-pixel working copy, so a guide finer than 512
// adds nothing measurable (composites: the same alpha error, edge error and
// boundary F at 512, 768 and 1024) and costs four times the filtering of 512.
constexpr int kGuideSide = 512;
constexpr double kGuideRadiusWork = 2.0;  // in working pixels
constexpr double kGuideEps = 1e-4;

// Box means of everything the guided filter's fit needs: the guide's three
// channels, the mask, the six distinct products of guide channels and the
// three products of a guide channel with the mask.
struct WindowMeans {
  cv::Mat r, g, b, p;
  cv::Mat rr, rg, rb, gg, gb, bb;
  cv::Mat rp, gp, bp;
};

cv::Mat boxMean(const cv::Mat& m, int radius) {
  cv::Mat out;
  cv::boxFilter(m, out, CV_32F, cv::Size(2 * radius + 1, 2 * radius + 1));
  return out;
}

WindowMeans windowMeans(const cv::Mat& guide, const cv::Mat& mask, int radius) {
  std::vector<cv::Mat> c;
  cv::split(guide, c);
  const auto mean = [radius](const cv::Mat& m) { return boxMean(m, radius); };
  return {mean(c[0]),           mean(c[1]),           mean(c[2]),           mean(mask),
          mean(c[0].mul(c[0])), mean(c[0].mul(c[1])), mean(c[0].mul(c[2])), mean(c[1].mul(c[1])),
          mean(c[1].mul(c[2])), mean(c[2].mul(c[2])), mean(c[0].mul(mask)), mean(c[1].mul(mask)),
          mean(c[2].mul(mask))};
}

// The linear fit of one window: the mask as a0 r + a1 g + a2 b + b over it.
cv::Vec4f fitWindow(const WindowMeans& m, int y, int x) {
  const double ur = m.r.at<float>(y, x), ug = m.g.at<float>(y, x), ub = m.b.at<float>(y, x);
  const double up = m.p.at<float>(y, x);
  // Covariance of the guide, regularised, and its covariance with the mask.
  const double s00 = m.rr.at<float>(y, x) - ur * ur + kGuideEps;
  const double s01 = m.rg.at<float>(y, x) - ur * ug;
  const double s02 = m.rb.at<float>(y, x) - ur * ub;
  const double s11 = m.gg.at<float>(y, x) - ug * ug + kGuideEps;
  const double s12 = m.gb.at<float>(y, x) - ug * ub;
  const double s22 = m.bb.at<float>(y, x) - ub * ub + kGuideEps;
  const double c0 = m.rp.at<float>(y, x) - ur * up;
  const double c1 = m.gp.at<float>(y, x) - ug * up;
  const double c2 = m.bp.at<float>(y, x) - ub * up;
  // Solve by the adjugate: the system is 3 × 3, symmetric, positive definite.
  const double i00 = s11 * s22 - s12 * s12, i01 = s02 * s12 - s01 * s22,
               i02 = s01 * s12 - s02 * s11, i11 = s00 * s22 - s02 * s02,
               i12 = s01 * s02 - s00 * s12, i22 = s00 * s11 - s01 * s01;
  const double det = s00 * i00 + s01 * i01 + s02 * i02;
  const double a0 = (i00 * c0 + i01 * c1 + i02 * c2) / det;
  const double a1 = (i01 * c0 + i11 * c1 + i12 * c2) / det;
  const double a2 = (i02 * c0 + i12 * c1 + i22 * c2) / det;
  return {static_cast<float>(a0), static_cast<float>(a1), static_cast<float>(a2),
          static_cast<float>(up - a0 * ur - a1 * ug - a2 * ub)};
}

// A fast guided filter (He and Sun): the linear coefficients that map the
// colour guide onto the mask are fitted on a reduced copy and then applied to
// the full-size colour, so the edge follows the image's own edges at full
// resolution for the cost of a 512-pixel filter. Returns CV_32FC4 maps
// (a for red, green, blue; b) at the guide's size, each fit averaged over
// the windows that hold the pixel.
cv::Mat guidedCoefficients(const cv::Mat& guide, const cv::Mat& mask, int radius) {
  const WindowMeans means = windowMeans(guide, mask, radius);
  cv::Mat fits(guide.size(), CV_32FC4);
  for (int y = 0; y < guide.rows; ++y) {
    cv::Vec4f* out = fits.ptr<cv::Vec4f>(y);
    for (int x = 0; x < guide.cols; ++x) out[x] = fitWindow(means, y, x);
  }
  return boxMean(fits, radius);
}

// Applies the coefficients, upsampled bilinearly row by row (a full-size copy
// of four float maps would cost 16 bytes a pixel), to the raster's own colour
// and scales each pixel, colour and alpha alike since they are premultiplied.
// Rows are independent, so bands of them run on every core: at 12 MP this is
// the largest step after the network and the PNG, and each pixel's arithmetic
// is the same whichever thread does it.
void applyCoefficients(cv::Mat& raster, const cv::Mat& coefficients) {
  const int w = raster.cols, h = raster.rows;
  const int cw = coefficients.cols, ch = coefficients.rows;
  const double fx = static_cast<double>(cw) / w, fy = static_cast<double>(ch) / h;
  std::vector<int> x0(w), x1(w);
  std::vector<float> wx(w);
  for (int x = 0; x < w; ++x) {
    const double sx = std::clamp((x + 0.5) * fx - 0.5, 0.0, cw - 1.0);
    x0[x] = static_cast<int>(sx);
    x1[x] = std::min(x0[x] + 1, cw - 1);
    wx[x] = static_cast<float>(sx - x0[x]);
  }
  cv::parallel_for_(cv::Range(0, h), [&](const cv::Range& rows) {
    std::vector<cv::Vec4f> row(cw);
    for (int y = rows.start; y < rows.end; ++y) {
      const double sy = std::clamp((y + 0.5) * fy - 0.5, 0.0, ch - 1.0);
      const int y0 = static_cast<int>(sy);
      const int y1 = std::min(y0 + 1, ch - 1);
      const float wy = static_cast<float>(sy - y0);
      const cv::Vec4f* top = coefficients.ptr<cv::Vec4f>(y0);
      const cv::Vec4f* bottom = coefficients.ptr<cv::Vec4f>(y1);
      for (int x = 0; x < cw; ++x) row[x] = top[x] * (1.0f - wy) + bottom[x] * wy;
      std::uint8_t* px = raster.ptr<std::uint8_t>(y);
      for (int x = 0; x < w; ++x, px += 4) {
        const cv::Vec4f c = row[x0[x]] * (1.0f - wx[x]) + row[x1[x]] * wx[x];
        const float q = (c[0] * px[0] + c[1] * px[1] + c[2] * px[2]) * (1.0f / 255.0f) + c[3];
        const float m = std::clamp(q, 0.0f, 1.0f);
        for (int i = 0; i < 4; ++i) px[i] = static_cast<std::uint8_t>(px[i] * m + 0.5f);
      }
    }
  });
}

}  // namespace

void applySoftEdge(cv::Mat& raster, const cv::Mat& mask) {
  CV_Assert(raster.type() == CV_8UC4 && mask.type() == CV_8U);
  cv::Mat guide;
  cv::resize(raster, guide, scaledTo(raster.size(), kGuideSide), 0, 0, cv::INTER_AREA);
  cv::cvtColor(guide, guide, cv::COLOR_RGBA2RGB);
  guide.convertTo(guide, CV_32F, 1.0 / 255.0);
  cv::Mat soft;
  mask.convertTo(soft, CV_32F, 1.0 / 255.0);
  cv::resize(soft, soft, guide.size(), 0, 0, cv::INTER_LINEAR);
  const double perWork =
      static_cast<double>(std::max(guide.cols, guide.rows)) / std::max(mask.cols, mask.rows);
  const int radius = std::max(1, static_cast<int>(std::lround(kGuideRadiusWork * perWork)));
  applyCoefficients(raster, guidedCoefficients(guide, soft, radius));
}

}  // namespace recortar
