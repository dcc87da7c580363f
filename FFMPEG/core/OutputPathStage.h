// The path of one encoded picture or sound output, between the decode stage of its source and
// its encode stage: a PictureFitStage or a SoundPathStage.
#pragma once

#include "RunContext.h"
#include "RunLog.h"
#include "StageLink.h"
#include "StreamModel.h"

class OutputPathStage {
 public:
  virtual ~OutputPathStage() = default;
  OutputPathStage(const OutputPathStage&) = delete;
  OutputPathStage& operator=(const OutputPathStage&) = delete;

  // Handles one decoded picture or buffer of sound. False once the output has all it takes
  // (its recording time is reached).
  virtual bool Step(FrameItem& item) = 0;
  // End of the input: what the path still holds goes out, then the encode stage learns the
  // end.
  virtual void Finish() = 0;

 protected:
  OutputPathStage(const TRunContext& context, const RunLog& log, OutputStreamState& ost,
                  StageLink<FramePtr>& encoder)
      : e_(context), opt_(context.Options), Log(log), ost_(ost), encoder_(encoder) {}

  const TRunContext& e_;
  const TEngineOptions& opt_;
  const RunLog& Log;
  OutputStreamState& ost_;
  StageLink<FramePtr>& encoder_;  // the feed of the output's encode stage
};
