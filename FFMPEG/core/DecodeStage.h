// The decode stage of one input stream: decodes its packets, turns pictures upright,
// deinterlaces them and runs the hooks, makes sound interleaved 16-bit (32-bit for an output
// whose sound path carries wide samples) at the set volume, and hands each frame to the
// picture fit or sound path of every encoded output it feeds. It also copies packets to
// stream-copy outputs and encodes subtitles, both straight to the writer.
#pragma once

#include <cstdint>
#include <vector>

#include "RunContext.h"
#include "RunLog.h"
#include "StageLink.h"
#include "StreamModel.h"

class DecodeStage {
 public:
  // One output fed by the stream. LINK is the feed of its picture fit or sound path; null for
  // stream copy and subtitles, whose output records (but the writer's) this stage owns.
  struct Output {
    OutputStreamState* State = nullptr;
    StageLink<FrameItem>* Link = nullptr;
  };

  DecodeStage(const TRunContext& context, const RunLog& log, InputStreamState& ist,
              std::vector<Output> outputs, StageLink<WriterItem>& writer);

  // Handles one packet (the stage takes it over). False once no output needs anything more.
  bool Step(PacketPtr& pkt);
  // End of the stream: the decoder and the deinterlacer give what they still hold, then every
  // output fed by the stream learns that its input has ended.
  void Finish();

 private:
  bool OutputDone(const Output& out) const;
  bool Wanted() const;
  int OutputPacket(const AVPacket* pkt);
  int DecodePacket(const AVPacket* pkt);
  int DecodeSubtitle(const AVPacket* pkt);
  void HandleDecodedFrame(AVFrame* frame);
  void PaceRateEmulation(const AVFrame* frame);
  // An output whose frame is null (its conversion failed) is passed over.
  void SendToOutputs(AVFrame* frame, AVFrame* wide_sound = nullptr);
  void CopyPacket(const AVPacket* pkt);
  void DrainDeinterlacer();
  void DoSubtitleOut(OutputStreamState& ost, AVSubtitle& sub, int64_t pts);
  // Pictures (DecodePictures.cpp).
  AVFrame* PreProcessVideoFrame(AVFrame* picture);
  void GateFrameHooks(int64_t pts);
  int Deinterlace(AVFrame* picture, AVFrame** out);
  int BuildDeinterlacer(const AVFrame* picture);
  void RunCustomHook(AVFrame* picture, int64_t pts_us);
  bool ToHookBitmap(AVFrame* work, uint8_t* rgb_data[4], int rgb_linesize[4]);
  bool FromHookBitmap(AVFrame* work, uint8_t* rgb_data[4], int rgb_linesize[4]);
  // Sound.
  void NoteSoundPacket(const AVPacket& pkt, bool accepted);
  int64_t PlaceSoundFrame(int64_t pts_us);
  void HandDecodedSound(AVFrame* frame);
  bool ToSampleFormat(AVFrame* frame, AVSampleFormat format, SoundConversion& conv, FramePtr& out);
  void ApplyVolume(uint8_t* data, int size) const;
  void ApplyWideVolume(uint8_t* data, int count) const;

  const TRunContext& e_;
  const TEngineOptions& opt_;
  const RunLog& Log;
  InputStreamState& ist_;
  std::vector<Output> outputs_;  // in the order of the output table
  StageLink<WriterItem>& writer_;
  std::vector<uint8_t> hook_pixels_;  // pixels of the custom hook's bitmap
};
