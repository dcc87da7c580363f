// The sound path stage of one encoded sound output: resamples and converts the channels of
// the decoded sound (interleaved 16-bit), keeps it in sync with the input clock (silence,
// cuts, drift compensation), cuts it at the recording time and frames it through a FIFO into
// the encoder's frame size; each frame goes to the encode stage in the encoder's sample format.
#pragma once

#include <cstdint>

#include "RunContext.h"
#include "RunLog.h"
#include "StageLink.h"
#include "StreamModel.h"

class SoundPathStage {
 public:
  SoundPathStage(const TRunContext& context, const RunLog& log, OutputStreamState& ost,
                 StageLink<FramePtr>& encoder);

  // Handles one buffer of sound. False once the output has all it takes (its recording time).
  bool Step(FrameItem& item);
  // End of the input: the FIFO's last partial frame goes out (to encoders that take one),
  // then the encode stage learns the end.
  void Finish();

 private:
  void DoAudioOut(const FrameItem& item);
  void PrepareResampler(const AVFrame* in);
  bool SyncAudio(double& sync_time, int in_channels, int in_rate, const uint8_t*& buf, int& size);
  bool CutAtRecordingTime(int& samples);
  void QueueSamples(const uint8_t* data, int samples);
  void EncodeAudioFrame(const uint8_t* samples, int nb_samples);
  void FlushAudio();
  void AlignAudioStart(double start_s, const uint8_t*& data, int& samples);

  const TRunContext& e_;
  const TEngineOptions& opt_;
  const RunLog& Log;
  OutputStreamState& ost_;
  SoundPathState& sound_;  // this stage's own part of the output's record
  StageLink<FramePtr>& encoder_;
};
