// The picture fit stage of one encoded picture output: crops, scales and pads each decoded
// picture to the output's size and format (here rather than on the decode stage, so that
// scaling runs beside the decoder instead of holding it up), then frame-rate sync: each
// picture is held until the next one arrives and goes to the encode stage as often as its
// time span covers places of the output (drops and duplicates).
#pragma once

#include <cstdint>

#include "OutputPathStage.h"

class PictureFitStage : public OutputPathStage {
 public:
  PictureFitStage(const TRunContext& context, const RunLog& log, OutputStreamState& ost,
                  StageLink<FramePtr>& encoder);

  bool Step(FrameItem& item) override;
  void Finish() override;

 private:
  FramePtr FitPicture(const AVFrame* picture);
  bool ScaleAndPad(const AVFrame* picture, uint8_t* const crop_data[4], int src_w, int src_h);
  void DoVideoOut(FrameItem item);
  void FlushHeldPicture();
  void EncodeHeldPicture(int64_t end_pts);
  int64_t VideoSyncCount(int64_t start_pts, int64_t end_pts);
  void EncodePicture(const FrameItem& item);

  PictureFitState& fit_;  // this stage's own part of the output's record
};
