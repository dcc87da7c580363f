// The picture fit stage of one encoded picture output: crops, scales and pads each decoded
// picture to the output's size and format (here rather than on the decode stage, so that
// scaling runs beside the decoder instead of holding it up), then frame-rate sync: each
// picture is held until the next one arrives and goes to the encode stage as often as its
// time span covers places of the output (drops and duplicates).
#pragma once

#include <cstdint>

#include "RunContext.h"
#include "RunLog.h"
#include "StageLink.h"
#include "StreamModel.h"

class PictureFitStage {
 public:
  PictureFitStage(const TRunContext& context, const RunLog& log, OutputStreamState& ost,
                  StageLink<FramePtr>& encoder);

  // Handles one decoded picture. False once the output has all it takes (its recording time).
  bool Step(FrameItem& item);
  // End of the input: the held picture goes out, then the encode stage learns the end.
  void Finish();

 private:
  FramePtr FitPicture(const AVFrame* picture);
  bool ScaleAndPad(const AVFrame* picture, uint8_t* const crop_data[4], int src_w, int src_h);
  void DoVideoOut(FrameItem item);
  void FlushHeldPicture();
  void EncodeHeldPicture(int64_t end_pts);
  int64_t VideoSyncCount(int64_t start_pts, int64_t end_pts);
  void EncodePicture(const FrameItem& item);

  const TRunContext& e_;
  const TEngineOptions& opt_;
  const RunLog& Log;
  OutputStreamState& ost_;
  PictureFitState& fit_;  // this stage's own part of the output's record
  StageLink<FramePtr>& encoder_;
};
