// The picture orientation a source stores in its display matrix (phones record portrait video
// as landscape pictures with a rotation), and the step that turns decoded pictures upright, so
// that outputs need no rotation and players that ignore one show them the right way up.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include "AVPtr.h"

enum class TOrientation {
  kUpright,
  kRotate90,  // shown turned a quarter clockwise
  kRotate180,
  kRotate270,      // shown turned a quarter counter-clockwise
  kMirror,         // left and right swapped
  kFlip,           // top and bottom swapped
  kTranspose,      // mirrored along the main diagonal
  kAntiTranspose,  // mirrored along the other diagonal
};

// The orientation described by a display matrix (nine 16.16/2.30 fixed-point values as the
// library stores them). Matrices that are not a multiple of a quarter turn count as upright.
TOrientation OrientationOfMatrix(const int32_t matrix[9]);
// The orientation of a stream's display matrix; upright when it has none.
TOrientation OrientationOf(const AVStream* stream);
// True when the upright picture's width is the stored picture's height.
bool SwapsAxes(TOrientation orientation);

struct AVFilterGraph;
struct AVFilterContext;

// Turns decoded pictures of one stream upright through a small filter graph (transpose, hflip,
// vflip), made on the first picture and again when the picture geometry changes.
class TUprightStep {
 public:
  explicit TUprightStep(TOrientation orientation) : orientation_(orientation) {}
  TUprightStep(const TUprightStep&) = delete;
  TUprightStep& operator=(const TUprightStep&) = delete;

  // The upright picture (owned by this step, valid until the next call), or nullptr when the
  // graph cannot be made or fails. PICTURE keeps its time stamps.
  AVFrame* Apply(const AVFrame* picture);

 private:
  bool Configure(const AVFrame* picture);

  TOrientation orientation_;
  FilterGraphPtr graph_;
  AVFilterContext* source_ = nullptr;  // owned by graph_
  AVFilterContext* sink_ = nullptr;    // owned by graph_
  int width_ = 0, height_ = 0, format_ = -1;
  FramePtr input_;
  FramePtr output_;
};
