// Grey rows of a frame in stored orientation, over plain buffers and free of
// FFmpeg. Buffers are row-major, top row first. An RGBA frame holds 4 bytes
// per pixel in the order R, G, B, A (alpha unused), its rows `stride` bytes
// apart; grey buffers hold w x h floats with no padding. Grey values are
// core::greyOf's. Every vector path has a scalar twin (the `...Scalar`
// functions) that gives the same bits; the tests compare them on random
// buffers.
#pragma once

#include <cstdint>

namespace video {

struct RgbaFrame {
  const uint8_t* data = nullptr;
  int64_t w = 0, h = 0;
  int64_t stride = 0;  // bytes from one row to the next, at least 4 w
};

struct GreyFrame {
  const float* p = nullptr;
  int64_t w = 0, h = 0;
};

// A grey picture in stored orientation, one row at a time: the orientations
// (orientation.hpp) pull its rows in the order they need, so that a converted frame is
// never held whole.
class GreyRows {
 public:
  GreyRows(int64_t w, int64_t h) : w(w), h(h) {}
  virtual ~GreyRows() = default;
  // Row y (0 at the top) into w floats.
  virtual void row(int64_t y, float* out) const = 0;
  const int64_t w, h;
};

// Grey of n RGBA pixels into n floats.
void greyLine(const uint8_t* rgba, float* grey, int64_t n);
void greyLineScalar(const uint8_t* rgba, float* grey, int64_t n);

// The rows of an RGBA frame, through greyLine or its scalar twin.
class RgbaRows : public GreyRows {
 public:
  RgbaRows(const RgbaFrame& f, bool vector = true) : GreyRows(f.w, f.h), f_(f), vector_(vector) {}
  void row(int64_t y, float* out) const override;

 private:
  RgbaFrame f_;
  bool vector_;
};

}  // namespace video
