#include "remover/soft_edge.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

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

// A fast guided filter (He and Sun): the linear coefficients that map the
// colour guide onto the mask are fitted on a reduced copy and then applied to
// the full-size colour, so the edge follows the image's own edges at full
// resolution for the cost of a 512-pixel filter. Returns CV_32FC4 maps
// (a for red, green, blue; b) at the guide's size.
cv::Mat guidedCoefficients(const cv::Mat& guide, const cv::Mat& mask, int radius) {
  const cv::Size box(2 * radius + 1, 2 * radius + 1);
  std::vector<cv::Mat> rgb;
  cv::split(guide, rgb);
  const auto mean = [&box](const cv::Mat& m) {
    cv::Mat out;
    cv::boxFilter(m, out, CV_32F, box);
    return out;
  };
  const cv::Mat mr = mean(rgb[0]), mg = mean(rgb[1]), mb = mean(rgb[2]), mp = mean(mask);
  const cv::Mat rr = mean(rgb[0].mul(rgb[0])), rg = mean(rgb[0].mul(rgb[1])),
                rb = mean(rgb[0].mul(rgb[2])), gg = mean(rgb[1].mul(rgb[1])),
                gb = mean(rgb[1].mul(rgb[2])), bb = mean(rgb[2].mul(rgb[2]));
  const cv::Mat rp = mean(rgb[0].mul(mask)), gp = mean(rgb[1].mul(mask)),
                bp = mean(rgb[2].mul(mask));

  cv::Mat ar(guide.size(), CV_32F), ag(guide.size(), CV_32F), ab(guide.size(), CV_32F),
      b(guide.size(), CV_32F);
  for (int y = 0; y < guide.rows; ++y) {
    const float *pr = mr.ptr<float>(y), *pg = mg.ptr<float>(y), *pb = mb.ptr<float>(y);
    const float* pp = mp.ptr<float>(y);
    const float *prr = rr.ptr<float>(y), *prg = rg.ptr<float>(y), *prb = rb.ptr<float>(y);
    const float *pgg = gg.ptr<float>(y), *pgb = gb.ptr<float>(y), *pbb = bb.ptr<float>(y);
    const float *prp = rp.ptr<float>(y), *pgp = gp.ptr<float>(y), *pbp = bp.ptr<float>(y);
    float *oar = ar.ptr<float>(y), *oag = ag.ptr<float>(y), *oab = ab.ptr<float>(y);
    float* ob = b.ptr<float>(y);
    for (int x = 0; x < guide.cols; ++x) {
      const double ur = pr[x], ug = pg[x], ub = pb[x], up = pp[x];
      // Covariance of the guide, regularised, and its covariance with the mask.
      const double s00 = prr[x] - ur * ur + kGuideEps;
      const double s01 = prg[x] - ur * ug;
      const double s02 = prb[x] - ur * ub;
      const double s11 = pgg[x] - ug * ug + kGuideEps;
      const double s12 = pgb[x] - ug * ub;
      const double s22 = pbb[x] - ub * ub + kGuideEps;
      const double c0 = prp[x] - ur * up;
      const double c1 = pgp[x] - ug * up;
      const double c2 = pbp[x] - ub * up;
      // Solve by the adjugate: the system is 3 × 3, symmetric, positive definite.
      const double i00 = s11 * s22 - s12 * s12, i01 = s02 * s12 - s01 * s22,
                   i02 = s01 * s12 - s02 * s11, i11 = s00 * s22 - s02 * s02,
                   i12 = s01 * s02 - s00 * s12, i22 = s00 * s11 - s01 * s01;
      const double det = s00 * i00 + s01 * i01 + s02 * i02;
      const double a0 = (i00 * c0 + i01 * c1 + i02 * c2) / det;
      const double a1 = (i01 * c0 + i11 * c1 + i12 * c2) / det;
      const double a2 = (i02 * c0 + i12 * c1 + i22 * c2) / det;
      oar[x] = static_cast<float>(a0);
      oag[x] = static_cast<float>(a1);
      oab[x] = static_cast<float>(a2);
      ob[x] = static_cast<float>(up - a0 * ur - a1 * ug - a2 * ub);
    }
  }
  std::vector<cv::Mat> coefficients{mean(ar), mean(ag), mean(ab), mean(b)};
  cv::Mat merged;
  cv::merge(coefficients, merged);
  return merged;
}

// Applies the coefficients, upsampled bilinearly row by row (a full-size copy
// of four float maps would cost 16 bytes a pixel), to the raster's own colour
// and scales each pixel, colour and alpha alike since they are premultiplied.
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
  std::vector<cv::Vec4f> row(cw);
  for (int y = 0; y < h; ++y) {
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
