// The segmentation on subjects drawn over textured backgrounds, scored
// against the drawn truth.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "remover/raster.hpp"
#include "remover/segmentation.hpp"

namespace recortar {
namespace {

// A photo-like background: blurred colour noise over a colour gradient.
cv::Mat texture(int w, int h, int seed) {
  cv::Mat noise(h, w, CV_8UC3);
  cv::RNG rng(seed);
  rng.fill(noise, cv::RNG::UNIFORM, 40, 160);
  cv::GaussianBlur(noise, noise, cv::Size(), 2.5);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      cv::Vec3b& p = noise.at<cv::Vec3b>(y, x);
      p[0] = cv::saturate_cast<std::uint8_t>(p[0] + 60 * x / w);
      p[1] = cv::saturate_cast<std::uint8_t>(p[1] + 50 * y / h);
    }
  }
  return noise;
}

// A shaded object: a filled shape of one hue, lighter towards its top.
void drawSubject(cv::Mat& image, cv::Mat& truth, cv::Point centre, cv::Size axes,
                 cv::Scalar colour) {
  cv::Mat shape = cv::Mat::zeros(image.size(), CV_8U);
  cv::ellipse(shape, centre, axes, 0, 0, 360, 255, cv::FILLED);
  cv::rectangle(shape,
                cv::Rect(centre.x - axes.width / 3, centre.y, axes.width * 2 / 3,
                         axes.height + axes.height / 3),
                255, cv::FILLED);
  for (int y = 0; y < image.rows; ++y) {
    for (int x = 0; x < image.cols; ++x) {
      if (!shape.at<std::uint8_t>(y, x)) continue;
      const double light = 1.0 - 0.3 * (y - centre.y + axes.height) / (2.0 * axes.height);
      image.at<cv::Vec3b>(y, x) = cv::Vec3b(cv::saturate_cast<std::uint8_t>(colour[0] * light),
                                            cv::saturate_cast<std::uint8_t>(colour[1] * light),
                                            cv::saturate_cast<std::uint8_t>(colour[2] * light));
    }
  }
  truth |= shape;
}

double iou(const cv::Mat& a, const cv::Mat& b) {
  return cv::countNonZero(a & b) / static_cast<double>(cv::countNonZero(a | b));
}

TEST(Segmentation, FindsOneSubjectAndRepeatsItself) {
  cv::Mat image = texture(320, 240, 1);
  cv::Mat truth = cv::Mat::zeros(image.size(), CV_8U);
  drawSubject(image, truth, {150, 100}, {55, 50}, cv::Scalar(40, 210, 240));
  const cv::Mat mask = subjectMask(image);
  ASSERT_FALSE(mask.empty());
  EXPECT_GT(iou(mask, truth), 0.85);
  const cv::Mat again = subjectMask(image);
  EXPECT_EQ(cv::countNonZero(mask != again), 0) << "fixed seeds: the same mask twice";
}

TEST(Segmentation, KeepsTwoSeparateSubjects) {
  cv::Mat image = texture(320, 240, 2);
  cv::Mat left = cv::Mat::zeros(image.size(), CV_8U), right = left.clone();
  drawSubject(image, left, {85, 100}, {45, 50}, cv::Scalar(230, 80, 40));
  drawSubject(image, right, {235, 100}, {45, 50}, cv::Scalar(40, 220, 250));
  const cv::Mat mask = subjectMask(image);
  ASSERT_FALSE(mask.empty());
  EXPECT_GT(cv::countNonZero(mask & left), 0.8 * cv::countNonZero(left));
  EXPECT_GT(cv::countNonZero(mask & right), 0.8 * cv::countNonZero(right));
  EXPECT_GT(iou(mask, left | right), 0.75);
}

TEST(Segmentation, PureTextureHasNoSubject) {
  EXPECT_TRUE(subjectMask(texture(320, 240, 5)).empty());
  cv::Mat raster = rasterize(texture(200, 150, 6));
  const cv::Mat before = raster.clone();
  EXPECT_FALSE(cutOutSubject(raster));
  EXPECT_EQ(cv::norm(raster, before, cv::NORM_INF), 0.0) << "raster untouched";
}

TEST(Segmentation, TinyImagesHaveNoSubject) {
  EXPECT_TRUE(subjectMask(texture(12, 40, 7)).empty());
}

TEST(Segmentation, CutOutAtFullSizeWithSoftEdge) {
  cv::Mat image = texture(800, 600, 8);
  cv::Mat truth = cv::Mat::zeros(image.size(), CV_8U);
  drawSubject(image, truth, {380, 260}, {140, 130}, cv::Scalar(40, 210, 240));
  cv::Mat raster = rasterize(image);
  ASSERT_TRUE(cutOutSubject(raster));
  ASSERT_EQ(raster.size(), image.size());
  cv::Mat alpha;
  cv::extractChannel(raster, alpha, 3);
  EXPECT_GT(iou(alpha >= 128, truth), 0.9);
  EXPECT_EQ(alpha.at<std::uint8_t>(260, 380), 255);
  EXPECT_EQ(alpha.at<std::uint8_t>(10, 10), 0);
  const int soft = cv::countNonZero((alpha > 0) & (alpha < 255));
  EXPECT_GT(soft, 0) << "the edge is soft";
  EXPECT_LT(soft, 0.05 * alpha.total()) << "but only the edge";
}

}  // namespace
}  // namespace recortar
