// The segmentation on subjects drawn over textured backgrounds, scored
// against the drawn truth; the saliency network's own answer; the
// no-subject rule; the same bytes at every thread count; and a missing model.
#include <gtest/gtest.h>

#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "remover/messages.hpp"
#include "remover/saliency_network.hpp"
#include "remover/segmentation.hpp"
#include "remover/thin_parts.hpp"
#include "remover/work_image.hpp"
#include "support/helpers.hpp"

namespace recortar {
namespace {

namespace fs = std::filesystem;

// An opaque BGR image as the program's raster: RGBA, alpha 255.
cv::Mat rasterize(const cv::Mat& bgr) {
  cv::Mat rgba;
  cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
  return rgba;
}

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

// A printed page: lines of words, every fourth a larger heading in colour;
// the network takes much of it for a subject, coloured like the rest.
cv::Mat page(int w, int h) {
  cv::Mat image(h, w, CV_8UC3, cv::Scalar(235, 240, 245));
  const std::string words =
      "lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor incididunt ut "
      "labore et dolore magna aliqua ";
  int y = 20;
  for (int i = 0; y < h + 20; ++i) {
    const bool heading = i % 4 == 2;
    const double scale = heading ? 1.4 : 0.5 + 0.1 * (i % 3);
    const cv::Scalar ink =
        heading ? cv::Scalar(40 * (i % 5), 90, 160 - 30 * (i % 3)) : cv::Scalar(20, 20, 20);
    cv::putText(image, words.substr((i * 13) % 40) + words, {10 - (i * 17) % 50, y},
                cv::FONT_HERSHEY_SIMPLEX, scale, ink, heading ? 2 : 1, cv::LINE_AA);
    y += static_cast<int>(32 * scale) + 6;
  }
  return image;
}

// A texture and the (still empty) truth of what is drawn on it.
struct Scene {
  cv::Mat image, truth;
};
Scene scene(int w, int h, int seed) {
  return {texture(w, h, seed), cv::Mat::zeros(h, w, CV_8U)};
}

double iou(const cv::Mat& a, const cv::Mat& b) {
  return cv::countNonZero(a & b) / static_cast<double>(cv::countNonZero(a | b));
}

// The network's input preparation (channel order, scaling, layout) and the
// choice of its fused output: wrong in any of them, a plain drawn object is no
// longer salient exactly where it stands.
TEST(SaliencyNetwork, DrawnObjectIsSalientWhereItStands) {
  SaliencyNetwork net;
  for (const bool textured : {false, true}) {
    SCOPED_TRACE(textured ? "textured ground" : "plain ground");
    cv::Mat image =
        textured ? texture(400, 300, 11) : cv::Mat(300, 400, CV_8UC3, cv::Scalar(90, 120, 110));
    cv::Mat truth = cv::Mat::zeros(image.size(), CV_8U);
    drawSubject(image, truth, {270, 120}, {60, 55}, cv::Scalar(30, 60, 220));
    const cv::Mat map = net.saliency(image);
    ASSERT_EQ(map.size(), image.size());
    ASSERT_EQ(map.type(), CV_32F);
    cv::Mat inner, outer;
    cv::erode(truth, inner, cv::Mat(), cv::Point(-1, -1), 6);
    cv::dilate(truth, outer, cv::Mat(), cv::Point(-1, -1), 12);
    EXPECT_GT(cv::mean(map, inner)[0], 0.7) << "the object";
    EXPECT_LT(cv::mean(map, ~outer)[0], 0.15) << "the ground";
    EXPECT_GT(iou(map > 0.5f, truth), 0.8);
  }
}

// A missing model's message is held by the program's test.
TEST(SaliencyNetwork, ABrokenModelIsReported) {
  support::Scratch s;
  std::ofstream(s.path("bad.onnx")) << "not an ONNX graph";
  EXPECT_THROW(SaliencyNetwork net(s.path("bad.onnx")), std::runtime_error);
}

// The fused mask on drawn scenes: every subject kept, a subject cut by the
// frame's edge kept up to it, and the same mask every time.
TEST(Segmentation, FindsSubjectsWhereverTheyStand) {
  struct Subject {
    cv::Point centre;
    cv::Size axes;
    cv::Scalar colour;
  };
  const struct {
    const char* what;
    std::vector<Subject> subjects;
    double iou;
  } cases[] = {
      {"one subject", {{{150, 100}, {55, 50}, {40, 210, 240}}}, 0.85},
      {"two subjects",
       {{{85, 100}, {45, 50}, {230, 80, 40}}, {{235, 100}, {45, 50}, {40, 220, 250}}},
       0.75},
      {"a subject cut by the right edge", {{{300, 110}, {60, 55}, {60, 40, 220}}}, 0.8},
  };
  int seed = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto [image, truth] = scene(320, 240, ++seed);
    std::vector<cv::Mat> each;
    for (const Subject& s : c.subjects) {
      each.push_back(cv::Mat::zeros(image.size(), CV_8U));
      drawSubject(image, each.back(), s.centre, s.axes, s.colour);
      truth |= each.back();
    }
    const cv::Mat mask = subjectMask(image);
    ASSERT_FALSE(mask.empty());
    EXPECT_GT(iou(mask, truth), c.iou);
    for (const cv::Mat& one : each)
      EXPECT_GT(cv::countNonZero(mask & one), 0.8 * cv::countNonZero(one));
    EXPECT_GE(cv::countNonZero(mask.col(mask.cols - 1)),
              0.8 * cv::countNonZero(truth.col(truth.cols - 1)));
  }
}

// The no-subject rule: textures, a page of text and noise give nothing,
// and leave the raster alone; a small subject on a plain ground, under a
// hundredth of the frame, still counts.
TEST(Segmentation, TexturesAndNoiseHaveNoSubject) {
  EXPECT_TRUE(subjectMask(texture(320, 240, 5)).empty()) << "blurred texture";
  EXPECT_TRUE(subjectMask(page(640, 480)).empty()) << "a page of text";
  cv::Mat noise(240, 320, CV_8UC3);
  cv::RNG(3).fill(noise, cv::RNG::UNIFORM, 0, 256);
  EXPECT_TRUE(subjectMask(noise).empty()) << "uniform noise";
  cv::Mat blocks(30, 40, CV_8UC3);
  cv::RNG(4).fill(blocks, cv::RNG::UNIFORM, 0, 256);
  cv::resize(blocks, blocks, cv::Size(320, 240), 0, 0, cv::INTER_CUBIC);
  EXPECT_TRUE(subjectMask(blocks).empty()) << "smooth colour blocks";
  EXPECT_TRUE(subjectMask(texture(12, 40, 7)).empty()) << "too small to tell";

  cv::Mat raster = rasterize(texture(200, 150, 6));
  const cv::Mat before = raster.clone();
  EXPECT_FALSE(cutOutSubject(raster));
  EXPECT_EQ(cv::norm(raster, before, cv::NORM_INF), 0.0) << "raster untouched";

  Scene small{cv::Mat(240, 320, CV_8UC3, cv::Scalar(200, 205, 210)),
              cv::Mat::zeros(240, 320, CV_8U)};
  drawSubject(small.image, small.truth, {190, 110}, {12, 11}, cv::Scalar(40, 60, 200));
  ASSERT_LT(cv::countNonZero(small.truth), 0.01 * small.truth.total());
  const cv::Mat found = subjectMask(small.image);
  ASSERT_FALSE(found.empty()) << "a small subject";
  EXPECT_GT(iou(found, small.truth), 0.7);
}

// A potted plant of which the pot and the lower stems were found: the rest of
// its stems, faint in the network's blurred view, grow back; the ground between
// them stays out.
TEST(Segmentation, ThinPartsGrowBackFromTheFoundSubject) {
  auto [image, truth] = scene(320, 240, 9);
  const cv::Rect pot(140, 170, 40, 40);
  cv::rectangle(image, pot, cv::Scalar(30, 90, 200), cv::FILLED);
  cv::rectangle(truth, pot, 255, cv::FILLED);
  cv::Mat found = truth.clone();
  for (int i = 0; i < 5; ++i) {
    const cv::Point base(160, 170), tip(100 + 30 * i, 80 + 15 * (i % 2));
    cv::line(image, base, tip, cv::Scalar(40, 170, 60), 2);
    cv::line(truth, base, tip, 255, 2);
    cv::line(found, base, (base + tip) / 2, 255, 2);
  }
  cv::Mat map, near;
  cv::GaussianBlur(truth, map, cv::Size(), 2.0);
  map.convertTo(map, CV_32F, 1.0 / 255.0);
  const cv::Mat grown = growThinParts(toLab(image), found, map), lost = truth & ~found;
  EXPECT_GT(cv::countNonZero(grown & lost), 0.8 * cv::countNonZero(lost));
  cv::dilate(truth, near, cv::Mat(), cv::Point(-1, -1), 2);
  EXPECT_EQ(cv::countNonZero(grown & ~near), 0) << "the ground";
}

// The cut-out at full size, and the same bytes whatever the number of
// OpenCV's threads (the network, the resizing and the soft edge's filters
// split their work by threads; the network also runs beside the other cues).
TEST(Segmentation, CutOutAtFullSizeWithSoftEdgeAtAnyThreadCount) {
  auto [image, truth] = scene(800, 600, 8);
  drawSubject(image, truth, {380, 260}, {140, 130}, cv::Scalar(40, 210, 240));
  cv::Mat raster = rasterize(image);
  ASSERT_TRUE(cutOutSubject(raster));
  const int threads = cv::getNumThreads();
  for (const int n : {1, 2}) {
    cv::setNumThreads(n);
    cv::Mat again = rasterize(image);
    ASSERT_TRUE(cutOutSubject(again));
    EXPECT_EQ(cv::norm(raster, again, cv::NORM_INF), 0.0) << n << " threads";
  }
  cv::setNumThreads(threads);
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
