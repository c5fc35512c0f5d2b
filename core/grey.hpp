// The grey value of an 8-bit R, G, B pixel, shared by still images and video
// frames so that both give the same bits: 0.299 R + 0.587 G + 0.114 B,
// evaluated as (R 0.299 + G 0.587) + B 0.114 in single precision with no
// fused multiply-add. Vector paths do the same operations lane by lane.
#pragma once

namespace core {

inline float greyOf(unsigned r, unsigned g, unsigned b) {
  return (static_cast<float>(r) * 0.299f + static_cast<float>(g) * 0.587f) +
         static_cast<float>(b) * 0.114f;
}

}  // namespace core
