// What the frame source learns of the video before decoding: which stream
// is the video, its coded size, frame rate and display matrix, and from them
// the displayed size and the analysis size (the grey frame the tracker works
// on: at most 1920 pixels wide, never enlarged).
#pragma once

#include <cstdint>

#include "video/orientation.hpp"

struct AVFormatContext;
struct AVStream;

namespace video {

struct VideoInfo {
  int64_t naturalW = 0, naturalH = 0;  // coded size of the stream
  Transform xf;
  double W = 0, H = 0;  // displayed size, natural size through xf
  float fps = 0;        // nominal frame rate; 0 when the stream gives none
  double A = 1;         // analysis scale factor, 0 < A <= 1
  int64_t GW = 0, GH = 0;
};

// Displayed size, analysis scale and analysis size from the natural size and
// the transform.
void fixAnalysisSize(VideoInfo& info);

// The index of the first video stream, or -1. Every other stream is marked
// for the demuxer to skip.
int firstVideoStream(AVFormatContext* fmt);

// Natural size, frame rate and display matrix of the stream, and the sizes
// that follow from them.
VideoInfo describe(const AVStream* st);

}  // namespace video
