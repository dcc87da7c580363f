#include "Job.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "FFmpegException.h"
#include "LogRouting.h"
#include "OptionDispatch.h"
#include "OutputFiles.h"

namespace {

int NiceValue(TConvertPriority priority) {
  switch (priority) {
    case tpIdle:
      return 19;
    case tpLowest:
      return 10;
    case tpLower:
      return 5;
    case tpNormal:
      break;
  }
  return 0;
}

// Sets the calling thread's scheduling priority. Failures (no right to raise it) are ignored:
// the thread then keeps the priority it inherited.
void SetCurrentThreadPriority(TConvertPriority priority) {
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  setpriority(PRIO_PROCESS, tid, NiceValue(priority));
}

}  // namespace

// ---- TJobCompletion ----

void TJobCompletion::Begin() {
  std::lock_guard<std::mutex> guard(mutex_);
  running_ = true;
  runner_ = std::thread::id();
}

void TJobCompletion::SetRunner() {
  std::lock_guard<std::mutex> guard(mutex_);
  runner_ = std::this_thread::get_id();
}

void TJobCompletion::End() {
  std::lock_guard<std::mutex> guard(mutex_);
  running_ = false;
  runner_ = std::thread::id();
  ended_.notify_all();
}

bool TJobCompletion::Running() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return running_;
}

bool TJobCompletion::OwnThread() const {
  return runner_ == std::this_thread::get_id();
}

bool TJobCompletion::WaitFor(std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  if (running_ && OwnThread()) return false;
  return ended_.wait_for(lock, limit, [this] { return !running_; });
}

bool TJobCompletion::Wait() const {
  std::unique_lock<std::mutex> lock(mutex_);
  if (running_ && OwnThread()) return false;
  ended_.wait(lock, [this] { return !running_; });
  return true;
}

// ---- TWorkerThreads ----

void TWorkerThreads::Spawn(std::shared_ptr<TJobCompletion> completion, std::function<void()> body,
                           TConvertPriority priority) {
  Reap();
  completion->Begin();
  // Registered before the thread starts, so that the thread finds itself in the list.
  std::lock_guard<std::mutex> guard(mutex_);
  workers_.push_back(Worker{std::thread(), completion});
  workers_.back().thread =
      std::thread([body = std::move(body), completion = std::move(completion), priority]() mutable {
        completion->SetRunner();
        SetCurrentThreadPriority(priority);
        body();
        body = nullptr;  // release what the body holds (the job) before reporting the end
        completion->End();
      });
}

void TWorkerThreads::Reap() {
  std::vector<std::thread> finished;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = std::partition(workers_.begin(), workers_.end(),
                             [](const Worker& w) { return w.completion->Running(); });
    for (auto f = it; f != workers_.end(); ++f) finished.push_back(std::move(f->thread));
    workers_.erase(it, workers_.end());
  }
  for (std::thread& t : finished) {
    if (t.get_id() == std::this_thread::get_id()) {
      t.detach();  // the body has ended; only the thread's own return is left
    } else {
      t.join();
    }
  }
}

void TWorkerThreads::JoinAll() {
  for (;;) {
    std::vector<Worker> all;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      all.swap(workers_);
    }
    if (all.empty()) return;
    for (Worker& w : all) {
      if (w.thread.get_id() == std::this_thread::get_id()) {
        w.thread.detach();
      } else if (w.thread.joinable()) {
        w.thread.join();
      }
    }
  }
}

bool TWorkerThreads::OnWorkerThread() const {
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard<std::mutex> guard(mutex_);
  return std::any_of(workers_.begin(), workers_.end(),
                     [self](const Worker& w) { return w.thread.get_id() == self; });
}

// ---- TFFmpeg ----

TFFmpeg::TFFmpeg() = default;

TFFmpeg::~TFFmpeg() {
  RequestAbort();
  completion_->Wait();
}

bool TFFmpeg::Launch(bool threaded, TConvertPriority priority, TWorkerThreads* threads) {
  if (State.Running || State.Terminated) return false;
  if (!ClaimLaunch()) return false;
  const char* missing = nullptr;
  if (OutputFileCount() == 0) {
    missing = "Must supply at least one output file";
  } else if (InputFileCount() == 0) {
    missing = "Must supply at least one input file";
  }
  if (missing != nullptr) {
    FreeFileSet();
    Fail(missing);
    DoTerminate();
    return false;
  }
  // AbortRequested is not cleared here: a stop request that arrived between the claim above
  // and this point must still end the run.
  State.Running = true;
  State.Finished = false;
  State.Terminated = false;
  if (!threaded || threads == nullptr) {
    Execute();
    return false;
  }
  threads->Spawn(
      completion_, [self = shared_from_this()] { self->Execute(); }, priority);
  return true;
}

void TFFmpeg::TerminateOnThread(TWorkerThreads& threads) {
  threads.Spawn(
      completion_, [self = shared_from_this()] { self->DoTerminate(); }, tpIdle);
}

void TFFmpeg::RunStageThread(const std::function<void()>& body) {
  CurrentJobScope current(this);
  body();
}

namespace {

// How often an output over its size limit is encoded again at a lower rate, and the share of
// the limit each new attempt aims at.
constexpr int kSizeRetries = 2;
constexpr double kRetryShare = 0.95;

}  // namespace

bool TFFmpeg::LowerRateForRetry(int64_t size, int64_t limit) {
  TOutputOptions& o = OutputOptions;
  const bool video = !o.DisableVideo && o.VideoBitrate > 0 && EncodedBytes(true) > 0;
  if (!video && (o.AudioBitrate <= 0 || EncodedBytes(false) <= 0))
    return false;  // no rate to lower (lossless or PCM sound)
  int& rate = video ? o.VideoBitrate : o.AudioBitrate;
  // The stream gives up all that the file is over the aim, the rest staying as it was.
  const double stream_bytes = static_cast<double>(EncodedBytes(video));
  const double aim = kRetryShare * static_cast<double>(limit);
  const double kept = stream_bytes - (static_cast<double>(size) - aim);
  if (kept < stream_bytes * 0.05) return false;  // the other streams alone are too large
  // From the rate the encoder gave, which is below the one asked for where the picture needed
  // less.
  double given = rate;
  if (const int ms = ExpectedDurationMs(); ms > 0)
    given = std::min(given, stream_bytes * 8000.0 / ms);
  rate = static_cast<int>(given * kept / stream_bytes);
  return rate > 0;
}

void TFFmpeg::SetUpAgain(int pass, const std::string& pass_log_base) {
  ResetForAnotherRun();
  if (HasInputRecord) ApplyInputOptions(*this, InputOptions);
  OpenInputFile(InputFileName);
  TOutputOptions output = OutputOptions;
  if (pass != 0) {
    output.ExtraOptions += (output.ExtraOptions.empty() ? "" : "\n") + std::string("pass=") +
                           std::to_string(pass) + "\npasslogfile=" + pass_log_base;
  }
  ApplyOutputOptions(*this, output);
  OpenOutputFile(OutputFileName);
}

namespace {

// Raised at the end of a first pass instead of keeping its output: only its statistics count.
struct TFirstPassOver {};

// Removes the statistics files of a two-pass job however it ends.
struct TPassLogRemoval {
  std::string base;
  ~TPassLogRemoval() {
    if (!base.empty()) RemovePassLogFiles(base);
  }
};

}  // namespace

void TFFmpeg::TranscodeWithinSize() {
  const bool two_passes = OutputOptions.MaxOutputBytes > 0 && OutputOptions.VideoPasses == 2 &&
                          !OutputOptions.DisableVideo;
  const TPassLogRemoval removal{two_passes ? PassLogBase(OutputFileName) : std::string()};
  int pass = 0;
  if (two_passes) {
    SetUpAgain(1, removal.base);
    first_pass_ = true;
    try {
      Transcode();
    } catch (const TFirstPassOver&) {
    }
    first_pass_ = false;
    if (State.AbortRequested) return;  // stopped: nothing was kept
    pass = 2;
    SetUpAgain(pass, removal.base);
  }
  for (int attempt = 0;; ++attempt) {
    try {
      Transcode();
      return;
    } catch (const FFMpegOverSizeException& e) {
      // The over-size output has been removed; a lower rate may fit.
      if (attempt >= kSizeRetries || State.AbortRequested ||
          !LowerRateForRetry(e.Size(), e.Limit()))
        throw;
      Log(0, std::string(e.what()) + "; encoding it again at a lower rate");
      SetUpAgain(pass, removal.base);
    }
  }
}

void TFFmpeg::Execute() {
  State.Finished = false;
  {
    CurrentJobScope current(this);
    try {
      TranscodeWithinSize();
    } catch (const std::exception& e) {
      // FFMpegException is the engine's own failure; anything else (out of memory) ends the
      // job the same way instead of ending the program.
      Fail(e.what());
    } catch (...) {
      Fail("Unknown error");
    }
    FreeFileSet();
  }
  // A handler that failed once the run's result was settled still fails the job.
  if (!State.ExceptionRaised) {
    std::string reason;
    {
      std::lock_guard<std::mutex> guard(handler_failure_mutex_);
      reason = handler_failure_;
    }
    if (!reason.empty()) {
      Fail(reason);
      State.Finished = false;
    }
  }
  DoTerminate();
}

void TFFmpeg::ConfirmRunResult() {
  {
    std::lock_guard<std::mutex> guard(handler_failure_mutex_);
    if (!handler_failure_.empty()) throw FFMpegException(handler_failure_);
  }
  if (first_pass_) throw TFirstPassOver{};
}

void TFFmpeg::Fail(const std::string& reason) {
  Log(-1, reason);
  State.ErrorMessage = reason;
  State.ExceptionRaised = true;
}

void TFFmpeg::FailFromHandler(const std::string& reason) {
  {
    std::lock_guard<std::mutex> guard(handler_failure_mutex_);
    if (!handler_failure_.empty()) return;
    handler_failure_ = reason;
  }
  if (State.Terminated) {
    Fail(reason);
    State.Finished = false;
  } else {
    RequestAbort();
  }
}

void TFFmpeg::DoTerminate() {
  State.Running = false;
  State.Terminated = true;
  if (OnTerminate) OnTerminate();
}

bool TFFmpeg::WaitForThread(int timeout_ms) const {
  return completion_->WaitFor(std::chrono::milliseconds(timeout_ms));
}
