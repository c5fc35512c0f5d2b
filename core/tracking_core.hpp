// The tracking core: grey images, templates and the matching functions that
// the tracker drives. Pure functions of their arguments, no I/O, no state.
//
// Image contract, shared by every function here: row-major, top row first;
// the centre of the pixel in column i and row j is the point (i, j); x grows
// to the right, y grows downward. Positions are pixels of the image passed in
// (a position at pyramid level l is the level-0 position divided by 2^l).
// Angles are radians; a positive angle turns clockwise as seen on screen.
//
// Arithmetic contract: samples, sums and scores are single precision,
// positions, sizes, scales and angles double precision. Every sum is a
// running sum in index order and no product is fused into an addition, so a
// score is the same bits on every machine. The optimised paths keep this: they
// evaluate several candidate windows at once (one vector lane per window), never
// one sum split across lanes.
//
// Preconditions (the tracker always meets them; they are not checked):
// images given to `sample`, `templ`, `patch`, `bestScale`, `bestRot` and
// `refine` are at least 2 x 2; coordinates are finite; sizes and radii are
// non-negative; `pyramid` gets at least one level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace core {

// ---- Image model, sampling and pyramid (image.cpp) -------------------------

// A single-channel image: w x h grey values, p[j * w + i] is column i, row j.
struct Img {
  int64_t w = 0;
  int64_t h = 0;
  std::vector<float> p;
};

// Bilinear value at (x, y). The point is first clamped into [0, w - 1.001] x
// [0, h - 1.001], so outside points repeat the border and the right and lower
// neighbours always exist.
float sample(const Img& image, double x, double y);

// Half the width and height (truncated); each output sample is the mean of a
// 2 x 2 block, summed row by row. An odd last row or column is dropped; an
// image narrower or lower than 2 gives an image with no samples.
Img half(const Img& image);

// `levels` images: entry 0 is the input itself, entry k is half of entry k - 1.
// Takes the image by value so that a caller done with its frame can move it in.
std::vector<Img> pyramid(Img image, int64_t levels);

// Columns [x0, x1) and rows [y0, y1) of an image.
struct Region {
  int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// The smallest region of a w x h level-0 image that holds `wanted` (clipped
// to the image) and whose sides, at every level of a pyramid of `levels`, are
// whole samples: x0 and y0 are multiples of 2^(levels - 1), x1 and y1 too or
// the image's own edge. An empty `wanted` gives an empty region.
Region pyramidRegion(Region wanted, int64_t levels, int64_t w, int64_t h);

// The pyramid of entry 0 of `levels` (which keeps its count), computed only
// inside `region`, a pyramidRegion of entry 0: entry k gets the samples of
// the region scaled by 2^-k, the same bits as `pyramid` gives them, and
// keeps whatever it held elsewhere. Entry 0 is read only inside the region.
// Reusing the entries from frame to frame spares allocating and clearing
// whole levels of which a tracker reads a small part.
void pyramidInside(std::vector<Img>& levels, Region region);

// ---- Templates and correlation (templates.cpp, correlation.cpp) ------------

// A template: w x h samples with their mean removed, the mean, and the
// Euclidean norm of the centred samples, never below 0.001.
struct Tpl {
  int64_t w = 0;
  int64_t h = 0;
  std::vector<float> p;
  float mean = 0;
  float norm = 0.001f;
};

// Centres raw samples into a template: running mean, subtraction, running
// sum of squares, norm floored at 0.001. A flat template (the true norm of
// its residues at most 0.001) gets residues of exactly 0, not the rounding
// of its mean, so that it scores 0 against anything.
Tpl centred(int64_t w, int64_t h, std::vector<float> raw);

// Axis-aligned cut of tw x th samples centred on (x, y), sampled at
// ((x - tw/2) + i) + 0.5, ((y - th/2) + j) + 0.5. Named `templ` because
// `template` is a keyword.
Tpl templ(const Img& image, double x, double y, int64_t tw, int64_t th);

// tw x th samples on a grid centred on (x, y), spaced `scale` pixels apart
// and turned by `angle`: template offset (u, v) samples the image at
// ((x + c*u) - s*v, c*v + (y + s*u)) with c = scale*cos(angle), s = scale*sin(angle).
Tpl patch(const Img& image, double x, double y, int64_t tw, int64_t th, double scale,
          double angle = 0);

// Normalised cross-correlation of tpl with the image window whose first
// sample is at column `left`, row `top`, within [-1, 1]. -1 when the window
// leaves the image or is flat: its computed variance at most 0.001, or its
// true one when rounding leaves the computed one in doubt (flatness.hpp).
float ncc(const Img& image, const Tpl& tpl, int64_t left, int64_t top);

// Correlation of two templates, within [-1, 1]; b holds at least as many
// samples as a.
float corr(const Tpl& a, const Tpl& b);

// ---- Translation search (search.cpp) ---------------------------------------

// Offset in [-1, 1] of the vertex of the parabola through scores a, b, c at
// -1, 0, +1; 0 when the parabola does not open downward.
double peak(float a, float b, float c);

// A position in pixels of the searched image and its score.
struct Found {
  double x = 0;
  double y = 0;
  float score = 0;
};

// Scores every whole-pixel placement of tpl within radius r of the centre
// (x, y) with `ncc`, keeps the first best in row-by-row order, and refines it
// with a parabola along each axis (offsets limited to half a pixel).
Found search(const Img& image, const Tpl& tpl, double x, double y, int64_t r);

// ---- Scale and rotation (scale_rotation.cpp) -------------------------------

// A relative change (a scale factor or an angle increment) and its score.
struct Change {
  double value = 0;
  float score = 0;
};

// Tries the scales scale*{0.97, 0.985, 1, 1.015, 1.03} at a fixed centre
// and angle and returns the best factor relative to `scale`, interpolated
// between steps unless the best is an end step.
Change bestScale(const Img& image, const Tpl& tpl, double x, double y, double scale,
                 double angle = 0);

// Tries angle + {-2, -1, 0, 1, 2} degrees at a fixed centre and scale and
// returns the best increment in radians, interpolated likewise.
Change bestRot(const Img& image, const Tpl& tpl, double x, double y, double scale, double angle);

// ---- Refinement (refine.cpp) -----------------------------------------------

// Shifts the centre by whole pixels within radius r, resamples as `patch`
// with scale and angle at each shift, scores with `corr`, and interpolates
// the best shift along each axis. Note the order: scale, then r, then angle.
Found refine(const Img& image, const Tpl& tpl, double x, double y, double scale, int64_t r,
             double angle = 0);

}  // namespace core
