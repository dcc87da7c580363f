// The scheduler of a run's stages (see StageScheduler.h).
#include "StageScheduler.h"

#include <malloc.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>

namespace {

// Queue lengths: long enough that a stage runs on while the next one is busy with a slow item
// (an encoder's key picture, a decoder giving several pictures at once), bounded in bytes too
// so that memory stays flat whatever the item sizes (a waiting picture holds a decoded picture).
constexpr size_t kPacketQueueLength = 32;
constexpr size_t kPacketQueueBytes = 4u << 20;
constexpr size_t kFrameQueueLength = 8;
constexpr size_t kFrameQueueBytes = 8u << 20;
constexpr size_t kEncoderQueueLength = 4;
constexpr size_t kEncoderQueueBytes = 8u << 20;

// Stage threads run a few steps below the job's thread, unless a codec's own threads wait on
// them. The codecs' threads (a decoder's frame threads, an encoder's slice threads, created
// when the codecs are opened on the job's thread) wait on one another; one of them kept
// from a core stalls the others and every stage after them, while a stage thread between two
// queues can be put off without holding anyone up. The lower stage threads fill the cores
// whenever the codecs' threads wait. (WMV job: the cores' idle time fell from 320 to 140 ms.)
constexpr int kStagePriorityStep = 5;

void LowerThisThreadPriority() {
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, tid);
  if (errno != 0) return;
  // A failure leaves the thread at the job's priority, which is only slower.
  setpriority(PRIO_PROCESS, tid, std::min(nice + kStagePriorityStep, 19));
}

// True when calls into CTX hand work to the library's own threads and wait for them.
bool RunsCodecThreads(const AVCodecContext* ctx) {
  return ctx && ctx->active_thread_type != 0;
}

// Runs of this process whose stages exist now (several jobs convert at once).
std::atomic<int> g_runs{0};

// Probing and set-up decoded pictures on other threads and freed them; their pages go back to
// the system before the run's own buffers are made, so they do not add to its peak. Only when
// no other run is under way: trimming walks every arena and unmaps pages that a running job
// would at once fault in again, which slowed runs side by side on short files. (The
// sanitizers bring allocators of their own, which this call does not know.)
void GiveBackFreedMemory(bool alone) {
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  if (alone) malloc_trim(0);
#else
  (void)alone;
#endif
}

}  // namespace

// Stages run on the job's thread when one stage's decision would read another's moving state:
// frame limits end the whole run when one output reaches its count; a sync input other than an
// output's source is a clock of another stage; the hook state is shared by all decoded
// picture streams.
bool StageScheduler::StagesNeedOneThread() const {
  if (opt_.SerialStages) return true;
  for (int limit : opt_.MaxFrames)
    if (limit != INT_MAX) return true;
  int decoded_video = 0;
  for (const auto& ist : run_.Inputs)
    if (ist->DecodingNeeded && ist->Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
      ++decoded_video;
  const bool hooks = e_.OnCustomHook || e_.Stats.UsingFrameHook || e_.OnBeforeHook;
  if (hooks && decoded_video > 1) return true;
  for (const auto& ost : run_.Outputs)
    if (ost->SyncInput != run_.Inputs[ost->SourceIndex].get()) return true;
  return false;
}

StageScheduler::StageScheduler(const TRunContext& context, const RunLog& log, TranscodeRun& run)
    : e_(context), opt_(context.Options), log_(log), run_(run), writer_link_(0, 0) {
  GiveBackFreedMemory(g_runs.fetch_add(1) == 0);
  try {
    mux_ = std::make_unique<MuxStage>(e_, log_, run_.Outputs, e_.Stats.TimerStart);
    BuildOutputStages();
    BuildDecodeStages();
    input_ = std::make_unique<InputStage>(e_, log_, run_.Files, run_.Inputs, run_.Outputs,
                                          packet_feeds_, writer_link_, failed_);
  } catch (...) {
    g_runs.fetch_sub(1);  // no destructor runs for a scheduler that was never made
    throw;
  }
}

StageScheduler::~StageScheduler() {
  if (!threads_.empty()) {
    Fail(nullptr);
    Join();
  }
  g_runs.fetch_sub(1);
}

// A path and an encode stage for every encoded picture or sound output.
void StageScheduler::BuildOutputStages() {
  const size_t n = run_.Outputs.size();
  frame_links_.resize(n);
  encoder_links_.resize(n);
  paths_.resize(n);
  encoders_.resize(n);
  for (size_t i = 0; i < n; ++i) {
    OutputStreamState& ost = *run_.Outputs[i];
    const AVMediaType type = ost.Encoder->codec_type;
    if (!ost.EncodingNeeded || (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO)) continue;
    frame_links_[i] = std::make_unique<StageLink<FrameItem>>(kFrameQueueLength, kFrameQueueBytes);
    encoder_links_[i] =
        std::make_unique<StageLink<FramePtr>>(kEncoderQueueLength, kEncoderQueueBytes);
    if (type == AVMEDIA_TYPE_VIDEO)
      paths_[i] = std::make_unique<PictureFitStage>(e_, log_, ost, *encoder_links_[i]);
    else
      paths_[i] = std::make_unique<SoundPathStage>(e_, log_, ost, *encoder_links_[i]);
    encoders_[i] = std::make_unique<EncodeStage>(ost, writer_link_);
  }
}

// A decode stage for every input stream that feeds an output.
void StageScheduler::BuildDecodeStages() {
  const size_t n = run_.Inputs.size();
  packet_links_.resize(n);
  packet_feeds_.assign(n, nullptr);
  decoders_.resize(n);
  for (size_t i = 0; i < n; ++i) {
    InputStreamState& ist = *run_.Inputs[i];
    if (ist.Discard) continue;
    std::vector<DecodeStage::Output> outputs;
    for (size_t o = 0; o < run_.Outputs.size(); ++o)
      if (run_.Outputs[o]->SourceIndex == static_cast<int>(i))
        outputs.push_back({run_.Outputs[o].get(), frame_links_[o].get()});
    packet_links_[i] =
        std::make_unique<StageLink<PacketPtr>>(kPacketQueueLength, kPacketQueueBytes);
    packet_feeds_[i] = packet_links_[i].get();
    decoders_[i] = std::make_unique<DecodeStage>(e_, log_, ist, std::move(outputs), writer_link_);
  }
}

void StageScheduler::Run() {
  if (StagesNeedOneThread()) {
    ConnectSteps();
    input_->Run();
    return;
  }
  try {
    StartThreads();
    input_->Run();
  } catch (...) {
    Fail(std::current_exception());
  }
  Join();
  if (error_) std::rethrow_exception(error_);
}

template <typename T, typename Stage>
void StageScheduler::ConnectStep(StageLink<T>& link, Stage& stage) {
  link.ConnectStep([&stage](T& item) { return stage.Step(item); }, [&stage] { stage.Finish(); });
}

void StageScheduler::ConnectSteps() {
  ConnectStep(writer_link_, *mux_);
  for (size_t i = 0; i < run_.Outputs.size(); ++i) {
    if (paths_[i]) ConnectStep(*frame_links_[i], *paths_[i]);
    if (encoders_[i]) ConnectStep(*encoder_links_[i], *encoders_[i]);
  }
  for (size_t i = 0; i < run_.Inputs.size(); ++i)
    if (decoders_[i]) ConnectStep(*packet_links_[i], *decoders_[i]);
}

// A stage's thread: each item of its feed goes to its step, waiting while the job is paused;
// a step that needs nothing more closes the feed. At the end of the feed the stage gives what
// it still holds, unless the run failed.
template <typename T, typename Stage>
void StageScheduler::StartStage(StageLink<T>& link, Stage& stage, bool lower_priority) {
  threads_.emplace_back([this, &link, &stage, lower_priority] {
    try {
      e_.RunStageThread([this, &link, &stage, lower_priority] {
        if (lower_priority) LowerThisThreadPriority();
        T item;
        while (link.Pop(item)) {
          e_.State.WaitWhilePaused(failed_);
          if (!stage.Step(item)) {
            link.CloseInput();
            break;
          }
          item = T{};
        }
        if (!failed_) stage.Finish();
      });
    } catch (...) {
      Fail(std::current_exception());
    }
  });
}

void StageScheduler::StartThreads() {
  StartStage(writer_link_, *mux_, true);
  for (size_t i = 0; i < run_.Outputs.size(); ++i) {
    if (paths_[i]) StartStage(*frame_links_[i], *paths_[i], true);
    // The encoder's own thread: the path prepares the next frame while the encoder works.
    if (encoders_[i])
      StartStage(*encoder_links_[i], *encoders_[i], !RunsCodecThreads(run_.Outputs[i]->Encoder));
  }
  for (size_t i = 0; i < run_.Inputs.size(); ++i)
    if (decoders_[i])
      StartStage(*packet_links_[i], *decoders_[i], !RunsCodecThreads(run_.Inputs[i]->Decoder));
}

// The first failure of any stage ends all of them: every link wakes its waiters.
void StageScheduler::Fail(std::exception_ptr error) {
  {
    std::lock_guard<std::mutex> lock(error_mutex_);
    if (!error_) error_ = std::move(error);
  }
  failed_ = true;
  e_.State.WakePaused();
  for (auto& link : packet_links_)
    if (link) link->Abort();
  for (auto& link : frame_links_)
    if (link) link->Abort();
  for (auto& link : encoder_links_)
    if (link) link->Abort();
  writer_link_.Abort();
}

void StageScheduler::Join() {
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
}
