#include "JobComponent.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <stdexcept>
#include <utility>

#include "Binding.h"
#include "FFmpegException.h"

namespace {

// Pending library text of one thread is handed out as a line once it grows past this size
// without a line feed, so a library that never ends its line cannot grow it without bound.
constexpr std::size_t kMaxPendingLogText = 64 * 1024;

// True on the threads this component family starts (job runs and terminate notices).
thread_local bool t_on_worker_thread = false;

// The job the calling thread runs, set for the length of its run (on a worker thread, or on
// the controlling thread in main-thread mode); library lines logged meanwhile are its lines.
thread_local TFFmpeg* t_current_job = nullptr;

// Process-wide state of the library log hook. g_components_mutex guards the list of live
// components and their log_users_ counts; it is never held while a handler runs, so a log
// handler may call into the component (or make the libraries log again).
// g_log_buffers_mutex is a leaf lock (nothing is taken while holding it).
std::mutex g_components_mutex;
std::condition_variable g_log_users_done;  // a component's log_users_ dropped to 0
std::vector<TCustomJobComponent*> g_components;  // guarded by g_components_mutex
std::mutex g_log_buffers_mutex;
TLogList g_log_buffers;  // guarded by g_log_buffers_mutex

void ClearLogBuffers() {
  std::lock_guard<std::mutex> guard(g_log_buffers_mutex);
  g_log_buffers.Clear();
}

// Text the calling thread logged without ending its line; cleared.
std::string TakePendingText() {
  std::lock_guard<std::mutex> guard(g_log_buffers_mutex);
  return std::move(g_log_buffers.Find(std::this_thread::get_id()).Pending);
}

// Makes JOB the calling thread's current job until the end of the scope. Text the thread left
// without a line end before belongs to nobody and is dropped; text the job leaves so is
// delivered as its last line.
class CurrentJobScope {
 public:
  explicit CurrentJobScope(TFFmpeg* job) : previous_(t_current_job) {
    TakePendingText();
    t_current_job = job;
  }
  ~CurrentJobScope() {
    const std::string rest = TakePendingText();
    if (!rest.empty() && t_current_job->Owner)
      t_current_job->Owner->RouteLibraryLine(t_current_job, CachedLibraryLogLevel(), rest);
    t_current_job = previous_;
  }
  CurrentJobScope(const CurrentJobScope&) = delete;
  CurrentJobScope& operator=(const CurrentJobScope&) = delete;

 private:
  TFFmpeg* previous_;
};

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

TLogLevel MapLogLevel(int level) {
  if (level < 0) return llQuiet;
  if (level >= 3) return llAll;
  return static_cast<TLogLevel>(level + 1);
}

// ---- TLogList ----

TLogList::Node& TLogList::Find(std::thread::id thread_id) {
  if (first_.ThreadID == std::thread::id() || first_.ThreadID == thread_id) {
    first_.ThreadID = thread_id;
    return first_;
  }
  for (Node& node : chain_) {
    if (node.ThreadID == thread_id) return node;
  }
  chain_.push_front(Node{thread_id, {}});
  return chain_.front();
}

void TLogList::Clear() {
  first_.ThreadID = std::thread::id();
  first_.Pending.clear();
  chain_.clear();
}

std::size_t TLogList::NodeCount() const {
  return (first_.ThreadID == std::thread::id() ? 0 : 1) + chain_.size();
}

// ---- TWorkerThreads ----

void TWorkerThreads::Spawn(std::function<void()> body, TConvertPriority priority) {
  Reap();
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([body = std::move(body), done, priority]() mutable {
    SetCurrentThreadPriority(priority);
    t_on_worker_thread = true;
    body();
    body = nullptr;  // release what the body holds (the job) before reporting the end
    done->store(true);
  });
  std::lock_guard<std::mutex> guard(mutex_);
  workers_.push_back(Worker{std::move(thread), std::move(done)});
}

void TWorkerThreads::Reap() {
  std::vector<std::thread> finished;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = std::partition(workers_.begin(), workers_.end(),
                             [](const Worker& w) { return !w.done->load(); });
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

// ---- TFFmpeg ----

TFFmpeg::TFFmpeg() = default;

TFFmpeg::~TFFmpeg() = default;

bool TFFmpeg::Launch(bool threaded, TConvertPriority priority, TWorkerThreads* threads) {
  if (State.Running || State.Terminated) return false;
  if (!ClaimLaunch()) return false;
  const char* missing = nullptr;
  if (Files.OutputFileCount == 0) {
    missing = "Must supply at least one output file";
  } else if (Files.InputFileCount == 0) {
    missing = "Must supply at least one input file";
  }
  if (missing != nullptr) {
    FreeFileSet();
    Log(-1, missing);
    State.ErrorMessage = missing;
    State.ExceptionRaised = true;
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
  ThreadActive = true;
  threads->Spawn(
      [self = shared_from_this()] {
        self->Execute();
        self->ThreadActive = false;
      },
      priority);
  return true;
}

void TFFmpeg::RunStageThread(const std::function<void()>& body) {
  CurrentJobScope current(this);
  body();
}

void TFFmpeg::Execute() {
  State.Finished = false;
  {
    CurrentJobScope current(this);
    try {
      Transcode();
    } catch (const std::exception& e) {
      // FFMpegException is the engine's own failure; anything else (out of memory) ends the
      // job the same way instead of ending the program.
      Log(-1, e.what());
      State.ErrorMessage = e.what();
      State.ExceptionRaised = true;
    }
    FreeFileSet();
  }
  DoTerminate();
}

void TFFmpeg::DoTerminate() {
  State.Running = false;
  State.Terminated = true;
  if (OnTerminate) OnTerminate();
}

bool TFFmpeg::WaitForThread(int timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (ThreadActive) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// ---- TCustomJobComponent ----

// The libraries' log sink: joins the pieces each thread logs into lines. A line logged while
// the thread runs a job goes to that job's component with the job; any other line goes to every
// live component with no job.
void TCustomJobComponent::RouteLibraryLog(int av_level, const char* text) {
  if (text == nullptr) return;
  const std::thread::id self = std::this_thread::get_id();
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> guard(g_log_buffers_mutex);
    TLogList::Node& node = g_log_buffers.Find(self);
    std::string joined = std::move(node.Pending);
    joined += text;
    std::size_t start = 0;
    for (std::size_t lf; (lf = joined.find('\n', start)) != std::string::npos; start = lf + 1) {
      lines.emplace_back(joined, start, lf - start);
    }
    node.Pending.assign(joined, start);
    if (node.Pending.size() > kMaxPendingLogText) {
      lines.push_back(std::move(node.Pending));
      node.Pending.clear();
    }
  }
  if (lines.empty()) return;
  const int level = EngineLogLevelFromAv(av_level);
  if (TFFmpeg* job = t_current_job; job && job->Owner) {
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


TCustomJobComponent::TCustomJobComponent() : probe_(std::make_unique<TAVProbe>()) {
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
  threads_.JoinAll();
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

int TCustomJobComponent::AddInputFile(const std::string& file_name, TInputOptions* options) {
  if (!LibrariesLoaded()) {
    last_error_ = "The codec libraries are not loaded";
    return -1;
  }
  auto job = std::make_shared<TFFmpeg>();
  try {
    job->ResetEngine();
    job->Options.ThreadCount = CodecThreads;
    job->SetVerbosity(static_cast<int>(log_level_) - 1);
    if (options != nullptr) {
      if (options->FileName.empty()) options->FileName = file_name;
      job->InputOptions = *options;
      job->ApplyInputOptions(file_name, *options);
    } else {
      ResetInputOptions(job->InputOptions);
    }
    {
      // Registered so that Stop can interrupt an open that blocks.
      std::lock_guard<std::recursive_mutex> guard(Lock);
      if (stop_requested_) job->RequestAbort();
      setting_up_ = job;
    }
    job->ReadGuard.StopCount = &stop_count_;
    job->ReadGuard.SeeStopCount();
    job->OpenInputFile(file_name);
    job->ReadGuard.StopCount = nullptr;
  } catch (const std::exception& e) {
    last_error_ = e.what();
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

bool TCustomJobComponent::SetOutputFile(int index, const std::string& file_name,
                                        TOutputOptions* options) {
  std::shared_ptr<TFFmpeg> job = Task(index);
  try {
    if (options != nullptr) {
      if (options->FileName.empty()) options->FileName = file_name;
      job->OutputOptions = *options;
      job->ApplyOutputOptions(file_name, *options);
      if (options->UseCustomHook) {
        TFFmpeg* j = job.get();
        job->OnCustomHook = [this, j](THookBitmap& bitmap, int frame_number, int64_t pts,
                                      bool& update, bool& stop_hook) {
          DoCustomHook(j, bitmap, frame_number, pts, update, stop_hook);
        };
      } else if (options->UseBeforeHook) {
        TFFmpeg* j = job.get();
        job->OnBeforeHook = [this, j](int64_t pts, THookAction& action) {
          DoBeforeHook(j, pts, action);
        };
      }
    } else {
      ResetOutputOptions(job->OutputOptions);
    }
    if (!job->OpenOutputFile(file_name)) {
      last_error_ = job->LastErrorText;
      return false;
    }
  } catch (const std::exception& e) {
    last_error_ = e.what();
    return false;
  }
  return true;
}

std::shared_ptr<TFFmpeg> TCustomJobComponent::Task(int index) const {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  if (index < 0 || index >= static_cast<int>(tasks_.size())) {
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  }
  return tasks_[index];
}

int TCustomJobComponent::TaskCount() const {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  return static_cast<int>(tasks_.size());
}

// Stops a job and waits up to one second for its thread. A thread that is still busy after
// that keeps the job alive through its own reference until it ends; its terminate notice is
// then dropped, because the job is no longer in the list.
// Called from an event handler (a worker thread, or the job's own thread in main-thread mode)
// it does not wait at all: the threads it would wait for may need the Lock that thread holds.
void TCustomJobComponent::DestroyJob(const std::shared_ptr<TFFmpeg>& job) {
  job->RequestAbort();
  if (t_on_worker_thread || t_current_job == job.get()) return;
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
  threads_.Reap();
}

void TCustomJobComponent::Start(int concurrent_tasks) {
  threads_.Reap();
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
    job->Options.ProgressIntervalUs = static_cast<int64_t>(progress_interval_ms_) * 1000;
    job->SetVerbosity(static_cast<int>(log_level_) - 1);
    if (concurrent_tasks_ > 0) {
      job->Launch(true, ThreadPriority, &threads_);
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
    if (job->State.Terminated) continue;
    if (job->ClaimLaunch()) {
      // Never ran: its terminate notice comes from a short-lived thread, as a run's would.
      job->ThreadActive = true;
      threads_.Spawn(
          [job] {
            job->DoTerminate();
            job->ThreadActive = false;
          },
          tpIdle);
    } else {
      job->RequestAbort();
    }
  }
}

void TCustomJobComponent::Pause() {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  for (const auto& job : tasks_) {
    if (job->State.Running) job->RequestPause(true);
  }
}

void TCustomJobComponent::Resume() {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  for (const auto& job : tasks_) job->RequestPause(false);
}

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

void TCustomJobComponent::DoBeforeHook(TFFmpeg* job, int64_t pts, THookAction& action) {
  if (OnBeforeHook) OnBeforeHook(job->Index, pts, action);
}

void TCustomJobComponent::DoCustomHook(TFFmpeg* job, THookBitmap& bitmap, int frame_number,
                                       int64_t pts, bool& update, bool& stop_hook) {
  if (OnCustomHook) OnCustomHook(job->Index, bitmap, frame_number, pts, update, stop_hook);
}

void TCustomJobComponent::DoLog(TFFmpeg* job, int level, const std::string& msg) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  if (OnLog) OnLog(job != nullptr ? job->Index.load() : -1, MapLogLevel(level), msg);
}

void TCustomJobComponent::DoProgress(TFFmpeg* job, int frame_number, int fps,
                                     int current_duration_ms, float quality, float bit_rate,
                                     int64_t current_size, int total_output_duration_ms) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  // A job removed from the list while its thread was still busy reports nothing.
  if (job->Index < 0) return;
  if (OnProgress) {
    OnProgress(job->Index, frame_number, fps, current_duration_ms, quality, bit_rate, current_size,
               total_output_duration_ms);
  }
}

void TCustomJobComponent::RaiseFinalNotice() {
  if (OnTerminate) OnTerminate(-1, true, false, std::string());
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
    try {
      OnTerminate(job->Index, job->State.Finished, job->State.ExceptionRaised, job->State.ErrorMessage);
    } catch (const std::exception&) {
      // A failing handler must not break the chaining below (the next job and the final
      // notice); there is no caller to hand the error to on this thread.
    }
  }
  ++terminated_count_;
  if (pending_count_ > 0) {
    StartNext();
  } else if (terminated_count_ >= static_cast<int>(tasks_.size())) {
    RaiseFinalNotice();
  }
}
