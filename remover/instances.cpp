#include "remover/instances.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "remover/work_image.hpp"

namespace recortar {

namespace {

// A component counts when it is sizeable in the frame and beside the largest.
// A small photographed subject (a flower, an insect a fifth of the frame's
// height) covers 0.3-1 % of it, in pieces where GrabCut cut its stems; at
// 0.5 % and a 1 % least subject those were lost whole (own tuning set, masks
// at working size: mean IoU 0.744 against 0.764 at 0.2 % and 0.3 %; held-out
// 0.778 against 0.793).
constexpr double kInstanceShare = 0.002;  // of the frame
constexpr double kInstanceOfLargest = 0.05;
// Enclosed holes below this share are GrabCut's misreadings of shading inside
// the subject; larger ones (a handle, the gap between arms) are background.
constexpr double kHoleShare = 0.002;

// A mask that is nearly nothing or nearly all of the frame is no subject.
constexpr double kLeastSubject = 0.003;
constexpr double kMostSubject = 0.99;
// The network's raw map (before any rescaling) decides first. Salient share:
// of the frame above 0.5. Measured on our own composites and textures
// (bench/remover/own_set.py): 0 to 0.3 % on ten textures, one exception
// below; at least 3.8 % on all 60 composites (small subjects) and 10 % on the
// kit's. Between kFaint and kSalient (a very small subject, or a texture with
// a salient-looking patch) the colours must also set the mask apart.
constexpr double kSalient = 0.03;
constexpr double kFaint = 0.005;
// Confidence: of the salient share, the part above 0.9. A subject gets a
// confident map (at least 0.50 on every composite, 0.85 typically); a bold
// repeating pattern (GNOME's truchet wallpaper: 40 % salient) only a diffuse
// grey one (0.09).
constexpr double kConfident = 0.3;
constexpr double kLeastContrast = 0.5;  // Bhattacharyya distance of Lab histograms
// Textures that the network takes for a subject, told by the salient region
// itself. A façade or a page of text lights a region that runs off the frame
// without the network being sure of it (confident share 0.43-0.52, a fifth
// to a half of the frame's edge salient), where a subject cut by the frame is
// confident (0.74 and more); and a page of text lights a region coloured like
// the rest (contrast 0.14-0.18; subjects 0.34 and more). Own tuning set: 13
// of 14 textures without a subject against 12, no subject lost.
constexpr double kUnsure = 0.6;
constexpr double kEdgeSalient = 0.1;  // share of the frame's edge pixels
constexpr double kLikeTheRest = 0.3;  // contrast of the salient region

// How unlike the colours inside the mask are from those outside: 0 alike, 1
// disjoint. What GrabCut finds in a texture looks like the rest of it.
double colourContrast(const cv::Mat& lab, const cv::Mat& mask) {
  const int channels[] = {0, 1, 2};
  const int bins[] = {8, 8, 8};
  const float lightness[] = {0, 100.001f};
  const float opponent[] = {-128, 128};
  const float* ranges[] = {lightness, opponent, opponent};
  cv::Mat inside, outside;
  cv::calcHist(&lab, 1, channels, mask, inside, 3, bins, ranges);
  const cv::Mat rest = ~mask;
  cv::calcHist(&lab, 1, channels, rest, outside, 3, bins, ranges);
  return cv::compareHist(inside, outside, cv::HISTCMP_BHATTACHARYYA);
}

// The share of the frame's edge pixels (corners counted once per side) set in `mask`.
double edgeShare(const cv::Mat& mask) {
  const int rows = mask.rows, cols = mask.cols;
  const int set = cv::countNonZero(mask.row(0)) + cv::countNonZero(mask.row(rows - 1)) +
                  cv::countNonZero(mask.col(0)) + cv::countNonZero(mask.col(cols - 1));
  return set / (2.0 * (rows + cols));
}

}  // namespace

// Limitation: background between two subjects that GrabCut joins into one
// component stays (benchmark composite two-laptop-microphone-on-baboon).
cv::Mat keepInstances(const cv::Mat& fg) {
  const double frame = static_cast<double>(fg.total());
  cv::Mat ids, stats, centroids;
  const int n = cv::connectedComponentsWithStats(fg, ids, stats, centroids, 8);
  int largest = 0;
  for (int i = 1; i < n; ++i) largest = std::max(largest, stats.at<int>(i, cv::CC_STAT_AREA));
  std::vector<std::uint8_t> keep(n, 0);
  for (int i = 1; i < n; ++i) {
    const int area = stats.at<int>(i, cv::CC_STAT_AREA);
    keep[i] = area >= kInstanceShare * frame && area >= kInstanceOfLargest * largest ? 255 : 0;
  }
  cv::Mat kept = paintLabels(ids, keep);

  const int holes = cv::connectedComponentsWithStats(~kept, ids, stats, centroids, 4);
  std::vector<std::uint8_t> fill(holes, 0);
  for (int i = 1; i < holes; ++i) {
    const int l = stats.at<int>(i, cv::CC_STAT_LEFT), t = stats.at<int>(i, cv::CC_STAT_TOP);
    const int r = l + stats.at<int>(i, cv::CC_STAT_WIDTH);
    const int b = t + stats.at<int>(i, cv::CC_STAT_HEIGHT);
    const bool touchesEdge = l == 0 || t == 0 || r == fg.cols || b == fg.rows;
    fill[i] = !touchesEdge && stats.at<int>(i, cv::CC_STAT_AREA) < kHoleShare * frame ? 255 : 0;
  }
  return kept | paintLabels(ids, fill);
}

bool unsureOfSubject(const cv::Mat& network) {
  const int salient = cv::countNonZero(network > 0.5f);
  return salient >= kFaint * network.total() &&
         cv::countNonZero(network > 0.9f) < kConfident * salient;
}

bool mapShowsNoSubject(const cv::Mat& lab, const cv::Mat& network) {
  const cv::Mat salient = network > 0.5f;
  const int salientCount = cv::countNonZero(salient);
  if (salientCount < kFaint * network.total()) return true;
  const double confident = cv::countNonZero(network > 0.9f) / static_cast<double>(salientCount);
  if (confident < kConfident) return true;
  if (confident < kUnsure && edgeShare(salient) > kEdgeSalient) return true;
  return colourContrast(lab, salient) < kLikeTheRest;
}

bool looksLikeSubject(const cv::Mat& lab, const cv::Mat& mask, const cv::Mat& network) {
  const double frame = static_cast<double>(mask.total());
  const double share = cv::countNonZero(mask) / frame;
  if (share < kLeastSubject || share > kMostSubject) return false;
  return mapStandsAlone(network) || colourContrast(lab, mask) >= kLeastContrast;
}

bool mapStandsAlone(const cv::Mat& network) {
  return cv::countNonZero(network > 0.5f) >= kSalient * static_cast<double>(network.total());
}

}  // namespace recortar
