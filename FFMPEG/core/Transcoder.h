// The transcoder: runs one job on an engine whose files are set up. Set-up (stream mapping,
// codecs, headers) and the end (trailers, final report, closing codecs) happen on the job's
// thread; in between its StageScheduler runs the stages (input, decode, picture fit or sound
// path, encode, mux), each a class of its own; see StageScheduler.h.
#pragma once

#include <memory>
#include <string>

#include "EngineOptions.h"
#include "RunContext.h"
#include "RunLog.h"
#include "StageScheduler.h"
#include "StreamModel.h"

class Transcoder {
 public:
  explicit Transcoder(const TRunContext& context);
  ~Transcoder();
  Transcoder(const Transcoder&) = delete;
  Transcoder& operator=(const Transcoder&) = delete;

  // Returns at the end of a complete or stopped run; throws FFMpegException on failure.
  void Run();

 private:
  // Set-up (Transcode.cpp).
  void BuildInputTables();
  void MapOutputStreams();
  int ChooseSource(const OutputStreamState& ost, int map_index) const;
  void PrepareOutputStream(OutputStreamState& ost);
  void PrepareVideoOutput(OutputStreamState& ost, const AVCodecParameters* icodec);
  void PrepareCopy(OutputStreamState& ost, const InputStreamState& ist);
  void OpenPassLog(OutputStreamState& ost);
  void OpenEncoders();
  void AlignOutputClocks();
  void OpenEncoder(OutputStreamState& ost);
  void SetUpAudioOutput(OutputStreamState& ost);
  void OpenDecoders();
  void CopyMetaData();
  void WriteHeaders();
  void FinishRun();
  void CheckOutputsHoldMedia() const;
  void NoteShortSource();
  void NoteUndecodedPictures();
  void NoteTimelineJumps();
  void PlanOutputChecks();
  int64_t ConvertedLengthUs(const OutputStreamState& ost) const;
  void AddRunWarning(const std::string& text);
  void CloseCodecs();

  const TRunContext& e_;       // the parts of the engine the run reaches
  const TEngineOptions& opt_;  // a run reads the options and never changes them
  RunLog Log;
  TranscodeRun run_;
  std::unique_ptr<StageScheduler> scheduler_;  // from the start of the stages to the run's end
};
