#include "JobComponent.h"

#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <stdexcept>
#include <utility>

#include "AVProbe.h"
#include "Binding.h"
#include "FFmpegException.h"
#include "Job.h"
#include "LogRouting.h"
#include "OptionDispatch.h"

namespace {

// Process-wide state of the library log hook. g_components_mutex guards the list of live
// components and their log_users_ counts; it is never held while a handler runs, so a log
// handler may call into the component (or make the libraries log again).
std::mutex g_components_mutex;
std::condition_variable g_log_users_done;        // a component's log_users_ dropped to 0
std::vector<TCustomJobComponent*> g_components;  // guarded by g_components_mutex

// Runs CALL and turns a failure into a result: false with ERROR set to the exception's text.
// The one place where the engine's exceptions become the component's results.
template <typename Call>
bool Succeeds(std::string& error, Call&& call) {
  try {
    call();
    return true;
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "Unknown error";
  }
  return false;
}

// Runs the event handler call HANDLER; a failure gives its text to FAIL instead of leaving the
// handler's thread (a worker thread, a stage thread or the libraries' log callback).
template <typename Handler, typename Fail>
void CallHandler(Handler&& handler, Fail&& fail) {
  std::string reason;
  if (!Succeeds(reason, handler)) fail(reason);
}

}  // namespace

TLogLevel MapLogLevel(int level) {
  if (level < 0) return llQuiet;
  if (level >= 3) return llAll;
  return static_cast<TLogLevel>(level + 1);
}

// ---- TCustomJobComponent ----

// The libraries' log sink: joins the pieces each thread logs into lines. A line logged while
// the thread runs a job goes to that job's component with the job; any other line goes to every
// live component with no job.
void TCustomJobComponent::RouteLibraryLog(int av_level, const char* text) {
  if (text == nullptr) return;
  const int level = EngineLogLevelFromAv(av_level);
  const std::vector<std::string> lines = TakeLogLines(text, level);
  if (lines.empty()) return;
  if (TFFmpeg* job = CurrentJob(); job && job->Owner) {
    // The job's component outlives the run: it waits for its jobs' threads, and a main-thread
    // run happens inside its Start.
    for (const std::string& line : lines) job->Owner->RouteLibraryLine(job, level, line);
    return;
  }
  std::vector<TCustomJobComponent*> targets;
  {
    std::lock_guard<std::mutex> guard(g_components_mutex);
    for (TCustomJobComponent* component : g_components) {
      ++component->log_users_;
      targets.push_back(component);
    }
  }
  for (TCustomJobComponent* component : targets)
    for (const std::string& line : lines) component->RouteLibraryLine(nullptr, level, line);
  std::lock_guard<std::mutex> guard(g_components_mutex);
  for (TCustomJobComponent* component : targets) --component->log_users_;
  g_log_users_done.notify_all();
}

TCustomJobComponent::TCustomJobComponent()
    : probe_(std::make_unique<TAVProbe>()), threads_(std::make_unique<TWorkerThreads>()) {
  probe_->SetStopCount(&stop_count_);
  std::lock_guard<std::mutex> guard(g_components_mutex);
  g_components.push_back(this);
}

TCustomJobComponent::~TCustomJobComponent() {
  {
    // Out of the list, no new library line reaches this component; wait for those being
    // delivered on other threads.
    std::unique_lock<std::mutex> guard(g_components_mutex);
    g_components.erase(std::remove(g_components.begin(), g_components.end(), this),
                       g_components.end());
    g_log_users_done.wait(guard, [this] { return log_users_ == 0; });
  }
  std::vector<std::shared_ptr<TFFmpeg>> jobs;
  {
    std::lock_guard<std::recursive_mutex> guard(Lock);
    pending_count_ = 0;
    deferred_starts_.clear();
    jobs = tasks_;
  }
  for (const auto& job : jobs) job->RequestAbort();
  // Worker threads call back into this component until they end: wait for all of them.
  threads_->JoinAll();
  std::lock_guard<std::recursive_mutex> guard(Lock);
  tasks_.clear();
}

bool TCustomJobComponent::LoadLibraries(const std::string& library_path, bool versioned_names) {
  std::string error;
  if (!::LoadLibraries(library_path, versioned_names, error)) {
    last_error_ = error;
    return false;
  }
  SetLibraryLogSink(&RouteLibraryLog);
  SetLogLevel(log_level_);
  return true;
}

void TCustomJobComponent::ConnectCallbacks(TFFmpeg& job) {
  // The callbacks hold a plain pointer to the job: the job owns them, so they never outlive it.
  TFFmpeg* j = &job;
  job.OnLog = [this, j](int level, const std::string& msg) { DoLog(j, level, msg); };
  job.OnProgress = [this, j](int frame_number, int fps, int current_duration_ms, float quality,
                             float bit_rate, int64_t current_size, int total_output_duration_ms) {
    DoProgress(j, frame_number, fps, current_duration_ms, quality, bit_rate, current_size,
               total_output_duration_ms);
  };
  job.OnTerminate = [this, j] { DoTerminate(j); };
}

// A job with its input opened, not yet in the list. Failures raise; a Stop meanwhile ends the
// opening of the input.
std::shared_ptr<TFFmpeg> TCustomJobComponent::NewJob(const std::string& file_name,
                                                     TInputOptions* options) {
  auto job = std::make_shared<TFFmpeg>();
  job->ResetEngine();
  job->InputFileName = file_name;
  job->HasInputRecord = options != nullptr;
  job->SetCodecThreads(CodecThreads);
  job->SetVerbosity(static_cast<int>(log_level_) - 1);
  if (options != nullptr) {
    if (options->FileName.empty()) options->FileName = file_name;
    job->InputOptions = *options;
    ApplyInputOptions(*job, *options);
  } else {
    ResetInputOptions(job->InputOptions);
  }
  {
    // Registered so that Stop can interrupt an open that blocks.
    std::lock_guard<std::recursive_mutex> guard(Lock);
    if (stop_requested_) job->RequestAbort();
    setting_up_ = job;
  }
  job->SetReadStopCount(&stop_count_);
  const TThreadLogLevel level(job->Verbosity());
  job->OpenInputFile(file_name);
  job->SetReadStopCount(nullptr);
  return job;
}

int TCustomJobComponent::AddInputFile(const std::string& file_name, TInputOptions* options) {
  if (!LibrariesLoaded()) {
    last_error_ = "The codec libraries are not loaded";
    return -1;
  }
  std::shared_ptr<TFFmpeg> job;
  if (!Succeeds(last_error_, [&] { job = NewJob(file_name, options); })) {
    std::lock_guard<std::recursive_mutex> guard(Lock);
    setting_up_.reset();
    return -1;
  }
  ConnectCallbacks(*job);
  job->Owner = this;
  std::lock_guard<std::recursive_mutex> guard(Lock);
  setting_up_.reset();
  job->Index = static_cast<int>(tasks_.size());
  tasks_.push_back(job);
  return job->Index;
}

// Connects the custom hook or, failing that, the before hook when the record asks for one.
void TCustomJobComponent::ConnectHooks(TFFmpeg& job, const TOutputOptions& options) {
  TFFmpeg* j = &job;
  if (options.UseCustomHook) {
    job.OnCustomHook = [this, j](THookBitmap& bitmap, int frame_number, int64_t pts, bool& update,
                                 bool& stop_hook) {
      DoCustomHook(j, bitmap, frame_number, pts, update, stop_hook);
    };
  } else if (options.UseBeforeHook) {
    job.OnBeforeHook = [this, j](int64_t pts, THookAction& action) {
      DoBeforeHook(j, pts, action);
    };
  }
}

bool TCustomJobComponent::SetOutputFile(int index, const std::string& file_name,
                                        TOutputOptions* options) {
  std::shared_ptr<TFFmpeg> job = Task(index);
  return Succeeds(last_error_, [&] {
    if (options != nullptr) {
      if (options->FileName.empty()) options->FileName = file_name;
      job->OutputOptions = *options;
      ApplyOutputOptions(*job, *options);
      ConnectHooks(*job, *options);
    } else {
      ResetOutputOptions(job->OutputOptions);
    }
    const TThreadLogLevel level(job->Verbosity());
    job->OutputFileName = file_name;
    job->OpenOutputFile(file_name);
  });
}

std::shared_ptr<TFFmpeg> TCustomJobComponent::Task(int index) const {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  if (index < 0 || index >= static_cast<int>(tasks_.size())) {
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  }
  return tasks_[index];
}

void TCustomJobComponent::SetReplaceExistingOutput(int index, bool replace) {
  Task(index)->SetReplaceExistingOutput(replace);
}

std::string TCustomJobComponent::RunWarning(int index) const {
  return Task(index)->RunState().RunWarning;
}

std::string TCustomJobComponent::RunCheckDetails(int index) const {
  return Task(index)->RunState().CheckDetails;
}

ProbeColumns TCustomJobComponent::ProbeFile(const std::string& file_name) {
  ProbeColumns columns;
  std::string error;
  if (!Succeeds(error, [&] { columns = ProbeFileColumns(*probe_, file_name); })) {
    columns = ProbeColumns();
    columns.error = error;
  }
  return columns;
}

ProbeColumns TCustomJobComponent::SourceColumns(int index) const {
  return OpenedFileColumns(Task(index)->FirstInput());
}

bool TCustomJobComponent::ReadsFile(int index, const std::string& path) const {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  const TFileId id{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return Task(index)->ReadsFile(id);
}

void TCustomJobComponent::SetProbeAbort(bool abort) {
  probe_->SetAbort(abort);
}

int TCustomJobComponent::TaskCount() const {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  return static_cast<int>(tasks_.size());
}

// Stops a job and waits up to one second for its thread. A thread that is still busy after
// that keeps the job alive through its own reference until it ends; its terminate notice is
// then dropped, because the job is no longer in the list.
// Called on one of the component's worker threads (from an event handler) it does not wait at
// all: the threads it would wait for may need the Lock that thread holds, and a job's own
// thread never waits for itself. A job run on the controlling thread has no thread to wait for.
void TCustomJobComponent::DestroyJob(const std::shared_ptr<TFFmpeg>& job) {
  job->RequestAbort();
  if (threads_->OnWorkerThread()) return;
  job->WaitForThread(1000);
}

void TCustomJobComponent::RemoveTask(int index) {
  std::shared_ptr<TFFmpeg> job = Task(index);
  DestroyJob(job);
  std::lock_guard<std::recursive_mutex> guard(Lock);
  auto it = std::find(tasks_.begin(), tasks_.end(), job);
  if (it == tasks_.end()) return;
  it = tasks_.erase(it);
  for (; it != tasks_.end(); ++it) (*it)->Index = static_cast<int>(it - tasks_.begin());
  job->Index = -1;
}

void TCustomJobComponent::ClearTasks() {
  std::vector<std::shared_ptr<TFFmpeg>> jobs;
  {
    std::lock_guard<std::recursive_mutex> guard(Lock);
    pending_count_ = 0;  // the list is going away: nothing more starts
    deferred_starts_.clear();
    jobs = tasks_;
  }
  for (const auto& job : jobs) DestroyJob(job);
  {
    std::lock_guard<std::recursive_mutex> guard(Lock);
    for (const auto& job : tasks_) job->Index = -1;
    tasks_.clear();
    concurrent_tasks_ = 0;
    stop_requested_ = false;
  }
  last_error_.clear();
  threads_->Reap();
}

void TCustomJobComponent::Start(int concurrent_tasks) {
  threads_->Reap();
  ClearLogBuffers();
  {
    std::lock_guard<std::recursive_mutex> guard(Lock);
    next_index_ = 0;
    terminated_count_ = 0;
    concurrent_tasks_ = concurrent_tasks;
    pending_count_ = static_cast<int>(tasks_.size());
    int n = concurrent_tasks;
    do {
      if (pending_count_ <= 0) break;
      StartNext();
      --n;
    } while (n > 0);
  }
  DrainDeferredStarts();
}

// Called with Lock held.
void TCustomJobComponent::StartNext() {
  if (pending_count_ <= 0) return;
  --pending_count_;
  const int index = next_index_++;
  if (concurrent_tasks_ > 0) {
    StartTask(index);
  } else if (MainThreadScheduler) {
    MainThreadScheduler(100, [this, index] { StartTask(index); });
  } else {
    deferred_starts_.push_back(index);
  }
}

// Runs the main-thread jobs queued by StartNext one after another; each job's terminate
// notice queues the next one. Only the outermost call on the stack drains.
void TCustomJobComponent::DrainDeferredStarts() {
  for (;;) {
    int index;
    {
      std::lock_guard<std::recursive_mutex> guard(Lock);
      if (draining_ || deferred_starts_.empty()) return;
      index = deferred_starts_.front();
      deferred_starts_.pop_front();
      draining_ = true;
    }
    StartTask(index);
    std::lock_guard<std::recursive_mutex> guard(Lock);
    draining_ = false;
  }
}

void TCustomJobComponent::StartTask(int index) {
  std::shared_ptr<TFFmpeg> job;
  {
    std::lock_guard<std::recursive_mutex> guard(Lock);
    if (index < 0 || index >= static_cast<int>(tasks_.size())) return;
    job = tasks_[index];
    job->SetProgressIntervalUs(static_cast<int64_t>(progress_interval_ms_) * 1000);
    job->SetVerbosity(static_cast<int>(log_level_) - 1);
    if (concurrent_tasks_ > 0) {
      job->Launch(true, ThreadPriority, threads_.get());
      return;
    }
  }
  // Main-thread mode: the run happens outside Lock so that Stop from another thread (or a
  // signal handler's helper) is never blocked by it.
  job->Launch(false, ThreadPriority, nullptr);
}

void TCustomJobComponent::Stop() {
  ++stop_count_;
  std::lock_guard<std::recursive_mutex> guard(Lock);
  pending_count_ = 0;
  deferred_starts_.clear();
  stop_requested_ = true;
  if (setting_up_) setting_up_->RequestAbort();
  for (const auto& job : tasks_) {
    if (job->RunState().Terminated) continue;
    if (job->ClaimLaunch()) {
      // Never ran: its terminate notice comes from a short-lived thread, as a run's would.
      job->TerminateOnThread(*threads_);
    } else {
      job->RequestAbort();
    }
  }
}

void TCustomJobComponent::Pause() {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  for (const auto& job : tasks_) {
    if (job->RunState().Running) job->RequestPause(true);
  }
}

void TCustomJobComponent::Resume() {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  for (const auto& job : tasks_) job->RequestPause(false);
}

// The level of library lines logged outside a job's set-up and run; a job's own lines follow
// its verbosity, which jobs take from this level when they are added and started.
void TCustomJobComponent::SetLogLevel(TLogLevel level) {
  log_level_ = level;
  if (LibrariesLoaded()) SetLibraryLogLevel(static_cast<int>(level) - 1);
}

void TCustomJobComponent::SetProgressInterval(int interval_ms) {
  progress_interval_ms_ = std::max(interval_ms, 100);
}

void TCustomJobComponent::RouteLibraryLine(TFFmpeg* job, int level, const std::string& line) {
  DoLog(job, level, line);
}

// A handler that throws fails the job it reports on (TFFmpeg::FailFromHandler); a line no job
// logged has no job to fail, and its handler's failure is dropped.
void TCustomJobComponent::DoBeforeHook(TFFmpeg* job, int64_t pts, THookAction& action) {
  if (!OnBeforeHook) return;
  CallHandler([&] { OnBeforeHook(job->Index, pts, action); },
              [job](const std::string& reason) { job->FailFromHandler(reason); });
}

void TCustomJobComponent::DoCustomHook(TFFmpeg* job, THookBitmap& bitmap, int frame_number,
                                       int64_t pts, bool& update, bool& stop_hook) {
  if (!OnCustomHook) return;
  CallHandler([&] { OnCustomHook(job->Index, bitmap, frame_number, pts, update, stop_hook); },
              [job](const std::string& reason) { job->FailFromHandler(reason); });
}

void TCustomJobComponent::DoLog(TFFmpeg* job, int level, const std::string& msg) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  if (!OnLog) return;
  // The libraries' log callback may be the caller: nothing may leave this function.
  CallHandler([&] { OnLog(job != nullptr ? job->Index.load() : -1, MapLogLevel(level), msg); },
              [job](const std::string& reason) {
                if (job != nullptr) job->FailFromHandler(reason);
              });
}

void TCustomJobComponent::DoProgress(TFFmpeg* job, int frame_number, int fps,
                                     int current_duration_ms, float quality, float bit_rate,
                                     int64_t current_size, int total_output_duration_ms) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  // A job removed from the list while its thread was still busy reports nothing.
  if (job->Index < 0 || !OnProgress) return;
  // The run's writer calls this: a failed handler ends the run as an engine failure does, so
  // its unfinished output is removed.
  CallHandler(
      [&] {
        OnProgress(job->Index, frame_number, fps, current_duration_ms, quality, bit_rate,
                   current_size, total_output_duration_ms);
      },
      [job](const std::string& reason) {
        job->FailFromHandler(reason);
        throw FFMpegException(reason);
      });
}

void TCustomJobComponent::RaiseFinalNotice() {
  // No job is left to fail: a failure of the final notice's handler is dropped.
  if (OnTerminate) CallHandler([&] { OnTerminate(-1, true, false, std::string()); }, [](auto&) {});
  ClearLogBuffers();
}

void TCustomJobComponent::DoTerminate(TFFmpeg* job) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  if (job == nullptr) {
    RaiseFinalNotice();
    return;
  }
  // A job removed from the list while its thread was still busy reports nothing.
  if (std::none_of(tasks_.begin(), tasks_.end(), [job](const auto& t) { return t.get() == job; })) {
    return;
  }
  if (OnTerminate) {
    // A failing handler must not break the chaining below (the next job and the final
    // notice): it fails the job it was told of.
    const TRunState& state = job->RunState();
    CallHandler(
        [&] { OnTerminate(job->Index, state.Finished, state.ExceptionRaised, state.ErrorMessage); },
        [job](const std::string& reason) { job->FailFromHandler(reason); });
  }
  ++terminated_count_;
  if (pending_count_ > 0) {
    StartNext();
  } else if (terminated_count_ >= static_cast<int>(tasks_.size())) {
    RaiseFinalNotice();
  }
}
