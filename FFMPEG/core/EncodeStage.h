// The encode stage of one encoded picture or sound output: sends each frame its path prepared
// to the output's encoder and hands every packet the encoder gives to the writer.
#pragma once

#include <string>

#include "RunContext.h"
#include "StageLink.h"
#include "StreamModel.h"

class EncodeStage {
 public:
  EncodeStage(OutputStreamState& ost, StageLink<WriterItem>& writer) : ost_(ost), writer_(writer) {}

  // Encodes FRAME (the stage takes it over).
  bool Step(FramePtr& frame);
  // The encoder gives what it still holds, then the writer learns that the output has ended.
  void Finish();

 private:
  // Sends FRAME (nullptr drains) to the encoder and hands the packets it gives to the writer.
  void EncodeAndSend(const AVFrame* frame);

  // Writes the encoder's two-pass statistics when they are new since the last written.
  void WritePassStatistics();

  OutputStreamState& ost_;
  StageLink<WriterItem>& writer_;
  std::string stats_written_;
};

// Hands FRAME's reference to the encode stage and leaves FRAME blank, so that the path fills a
// new buffer for its next frame rather than one the encoder may still be reading.
void HandToEncoder(AVFrame* frame, StageLink<FramePtr>& encoder);
