// The sound path stage of one encoded sound output: resamples and converts the channels of
// the decoded sound (interleaved 16-bit), keeps it in sync with the input clock (silence,
// cuts, drift compensation), cuts it at the recording time and frames it through a FIFO into
// the encoder's frame size; each frame goes to the encode stage in the encoder's sample format.
#pragma once

#include <cstdint>

#include "OutputPathStage.h"

class SoundPathStage : public OutputPathStage {
 public:
  SoundPathStage(const TRunContext& context, const RunLog& log, OutputStreamState& ost,
                 StageLink<FramePtr>& encoder);

  bool Step(FrameItem& item) override;
  void Finish() override;

 private:
  void DoAudioOut(const FrameItem& item);
  void PrepareResampler(const AVFrame* in);
  bool SyncAudio(double& sync_time, int in_channels, int in_rate, const uint8_t*& buf, int& size);
  bool CutAtRecordingTime(int& samples);
  void QueueSamples(const uint8_t* data, int samples);
  void EncodeAudioFrame(const uint8_t* samples, int nb_samples);
  void FlushAudio();
  void AlignAudioStart(double start_s);
  void DropPriming(const uint8_t*& data, int& samples);

  SoundPathState& sound_;  // this stage's own part of the output's record
};
