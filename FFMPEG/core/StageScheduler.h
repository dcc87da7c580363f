// The scheduler of one run's stages: builds the stages and the links between them, runs them
// and stops them.
//
//   input (reader) -> decode (one per input stream read) -> picture fit or sound path (one per
//   encoded picture or sound output) -> encode (one per such output) -> mux (the writer)
//
// Copied packets and encoded subtitles go from the decode stage straight to the writer. Each
// link is a StageLink (one BoundedQueue) owned here. Normally the reader runs on the job's
// thread and every other stage on a thread of its own; the first failure of any stage, or the
// end of the run, aborts every link so that no thread keeps waiting, and the threads are joined
// before the run goes on. With SerialStages, or when a decision of one stage would read the
// moving state of another (StagesNeedOneThread), every link is connected to its consumer's
// step instead and the same stages run one after another on the job's thread, each item
// handled as soon as it is pushed. Both ways give the same bytes (see MuxStage.h for the one
// case where the writer's order can depend on timing).
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "DecodeStage.h"
#include "EncodeStage.h"
#include "InputStage.h"
#include "MuxStage.h"
#include "PictureFitStage.h"
#include "RunContext.h"
#include "RunLog.h"
#include "SoundPathStage.h"
#include "StageLink.h"
#include "StreamModel.h"

// Everything one run owns; released in one place whatever way the run ends.
struct TranscodeRun {
  std::vector<InputFileState> Files;
  std::vector<std::unique_ptr<InputStreamState>> Inputs;
  std::vector<std::unique_ptr<OutputStreamState>> Outputs;
};

class StageScheduler {
 public:
  // Builds the stages of RUN, whose codecs are open and headers written.
  StageScheduler(const TRunContext& context, const RunLog& log, TranscodeRun& run);
  // Stops and joins any stage thread still running.
  ~StageScheduler();
  StageScheduler(const StageScheduler&) = delete;
  StageScheduler& operator=(const StageScheduler&) = delete;

  // Runs the stages until the reader has ended and every stage has given all it holds;
  // throws the first failure of any stage.
  void Run();
  bool InputsEnded() const { return input_->InputsEnded(); }
  MuxStage& Mux() { return *mux_; }

 private:
  bool StagesNeedOneThread() const;
  void BuildOutputStages();
  void BuildDecodeStages();
  template <typename T, typename Stage>
  void ConnectStep(StageLink<T>& link, Stage& stage);
  void ConnectSteps();
  template <typename T, typename Stage>
  void StartStage(StageLink<T>& link, Stage& stage, bool lower_priority);
  void StartThreads();
  void Fail(std::exception_ptr error);
  void Join();

  const TRunContext& e_;
  const TEngineOptions& opt_;
  const RunLog& log_;
  TranscodeRun& run_;

  // Links, by the stage they feed.
  std::vector<std::unique_ptr<StageLink<PacketPtr>>> packet_links_;  // per input stream
  std::vector<StageLink<PacketPtr>*> packet_feeds_;  // the same (null: not read), for the reader
  std::vector<std::unique_ptr<StageLink<FrameItem>>> frame_links_;   // per output (null: none)
  std::vector<std::unique_ptr<StageLink<FramePtr>>> encoder_links_;  // per output (null: none)
  StageLink<WriterItem> writer_link_;  // unbounded: no stage ever waits for the writer

  // Stages (null where an input stream is not read or an output has no such stage).
  std::unique_ptr<MuxStage> mux_;
  std::vector<std::unique_ptr<DecodeStage>> decoders_;
  std::vector<std::unique_ptr<OutputPathStage>> paths_;
  std::vector<std::unique_ptr<EncodeStage>> encoders_;
  std::unique_ptr<InputStage> input_;

  std::vector<std::thread> threads_;
  std::mutex error_mutex_;
  std::exception_ptr error_;  // the first failure (guarded by error_mutex_)
  std::atomic<bool> failed_{false};
};
