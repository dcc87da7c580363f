// The job component: the conversion engine as the application sees it. It holds a list of
// jobs (one input file and one output file each, described by TInputOptions and
// TOutputOptions), runs them one or several at a time on worker threads, and reports through
// five events. It also routes the codec libraries' own log lines to the job whose run logged
// them.
//
// Threads: every operation is called from one controlling thread (the GUI thread, or main()
// of the command line). The events are raised on the thread that runs the job (library log
// lines on whichever thread called the library); the next job of a run is started from the
// thread that delivered the previous job's terminate notice. Handlers must not touch widgets
// directly; they post to the UI thread. Assign the events before Start.
//
// Locks: each component has one re-entrant `Lock` that is held while OnLog, OnProgress and
// OnTerminate run and while the job list is read or changed, so those three events never
// overlap and a handler may call Stop. OnBeforeHook and OnCustomHook run without it. A
// process-wide list of live components, with its own mutex, is read by the library log hook;
// that mutex is released before any handler runs.
//
// Errors: the engine raises FFMpegException; the component turns it into its results (-1 or
// false with LastError, or a job's terminate notice with the reason). A handler that throws
// fails the job it reports on with the exception's text as the reason (a terminate handler's
// failure marks the ended job failed); nothing a handler throws leaves the component.
//
// This is the header the front ends use: it needs neither the codec libraries' headers nor the
// engine's. The job itself (TFFmpeg, Job.h) and the media probe (TAVProbe, AVProbe.h) are only
// named here; code that inspects them includes their headers.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "EngineTypes.h"
#include "OptionRecords.h"
#include "ProbeColumns.h"

// Worker thread priorities, lowest first. On Linux they become nice values of the thread.
enum TConvertPriority : int { tpIdle = 0, tpLowest, tpLower, tpNormal };

using TLogEvent = std::function<void(int AIndex, TLogLevel ALogLevel, const std::string& AMsg)>;
using TProgressEvent =
    std::function<void(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                       float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration)>;
using TTerminateEvent =
    std::function<void(int AIndex, bool AFinished, bool AException, const std::string& AMessage)>;
using TBeforeHookEvent = std::function<void(int AIndex, int64_t APTS, THookAction& AHookAction)>;
using TCustomHookEvent = std::function<void(int AIndex, THookBitmap& ABitmap, int AFrameNumber,
                                            int64_t APTS, bool& AUpdate, bool& AStopHook)>;

// Maps an engine or library-scale message level (-1 exception, 0 error, 1 info, 2 debug, 3 all)
// to TLogLevel: below 0 is llQuiet, 4 and above is llAll.
TLogLevel MapLogLevel(int level);

class TAVProbe;
class TFFmpeg;
class TWorkerThreads;

class TCustomJobComponent {
 public:
  TCustomJobComponent();
  virtual ~TCustomJobComponent();
  TCustomJobComponent(const TCustomJobComponent&) = delete;
  TCustomJobComponent& operator=(const TCustomJobComponent&) = delete;

  // Loads and checks the codec libraries once per process and installs the library log hook.
  // False with LastError set on failure.
  bool LoadLibraries(const std::string& library_path = "", bool versioned_names = true);
  // Creates a job for one input file. Its index, or -1 with LastError set.
  int AddInputFile(const std::string& file_name, TInputOptions* options = nullptr);
  // Adds the output file to job `index` (std::out_of_range for a bad index). False with
  // LastError set; the job stays in the list either way.
  bool SetOutputFile(int index, const std::string& file_name, TOutputOptions* options = nullptr);
  // Stops and frees one job; later jobs move up one place.
  void RemoveTask(int index);
  // Stops and frees every job; LastError := "", ConcurrentTasks := 0.
  void ClearTasks();
  // Runs all jobs of the list, `concurrent_tasks` at a time on worker threads. With a value
  // <= 0 the jobs run one after another on the controlling thread: through MainThreadScheduler
  // when one is set (each job begun by its own deferred call, Start returns at once), else
  // synchronously inside Start, which then returns when the run is over.
  void Start(int concurrent_tasks);
  // No further job starts; running jobs are asked to abort; jobs that never ran get their
  // terminate notice (AFinished false) from a short-lived thread. A probe or an AddInputFile
  // under way on another thread (blocked on a stalled or endless input) ends with a "stopped
  // while opening" error; further AddInputFile calls fail at once until ClearTasks. Callable
  // from any thread.
  void Stop();
  // Pauses every running job at its next pass; Resume lets them continue.
  void Pause();
  void Resume();

  const std::string& LastError() const { return last_error_; }
  int TaskCount() const;
  // The job at `index` (std::out_of_range for a bad index); for inspecting the engine state.
  std::shared_ptr<TFFmpeg> Task(int index) const;
  // Whether job `index` may replace a file that exists under its output name when its run ends
  // (true when the job is added). std::out_of_range for a bad index.
  void SetReplaceExistingOutput(int index, bool replace);
  // The note a finished run of job `index` left for the user ("" when none); read it in the
  // job's terminate handler. std::out_of_range for a bad index.
  std::string RunWarning(int index) const;
  // What the output check of job `index` read back ("Checked: 2 streams, 60.0 s, PSNR 38.4
  // dB"; the PSNR only where the video encoder measures it), "" when the job's output was not
  // checked; read it as RunWarning. std::out_of_range for a bad index.
  std::string RunCheckDetails(int index) const;

  TLogLevel LogLevel() const { return log_level_; }
  void SetLogLevel(TLogLevel level);
  int ProgressInterval() const { return progress_interval_ms_; }
  void SetProgressInterval(int interval_ms);  // stores max(interval_ms, 100)
  TConvertPriority ThreadPriority = tpNormal;
  // Codec threads per job (the engine's "threads"): 1 by default, 0 lets the libraries choose
  // one per core. Applied to each job when it is created.
  int CodecThreads = 1;
  std::string About;

  // The media probe (AVProbe.h), for code inside the engine's layers.
  TAVProbe& Probe() { return *probe_; }
  // The file list's columns of FILE_NAME, probed with Probe(): what the front ends show of a
  // file before queuing it. A file that cannot be read gives !ok with the reason in error;
  // nothing is raised.
  ProbeColumns ProbeFile(const std::string& file_name);
  // The file list's columns of job INDEX's first source as the job opened it: what probing the
  // file would show, without opening it a second time. For a job not started yet; raises
  // std::out_of_range for an index without a job.
  ProbeColumns SourceColumns(int index) const;
  // Whether job INDEX reads PATH: one of its inputs, or a file an input names (a script's
  // source, a playlist's entry) as far as opening the inputs has read them. For a job not
  // started yet; std::out_of_range for an index without a job.
  bool ReadsFile(int index, const std::string& path) const;
  // With true, a probe under way fails at once and later probes fail until false is given
  // (see TAVProbe::SetAbort). Callable from any thread.
  void SetProbeAbort(bool abort);

  // For main-thread mode: runs `call` later on the controlling thread (e.g. a one-shot timer
  // of the GUI's event loop). The call must not outlive the component.
  std::function<void(int delay_ms, std::function<void()> call)> MainThreadScheduler;

  TBeforeHookEvent OnBeforeHook;
  TCustomHookEvent OnCustomHook;
  TLogEvent OnLog;
  TProgressEvent OnProgress;
  TTerminateEvent OnTerminate;

  // Library log hook: reports one complete line of JOB's run (a job of this component), or
  // with AIndex -1 when JOB is nullptr (a line no job's run logged).
  void RouteLibraryLine(TFFmpeg* job, int level, const std::string& line);

 protected:
  virtual void DoBeforeHook(TFFmpeg* job, int64_t pts, THookAction& action);
  virtual void DoCustomHook(TFFmpeg* job, THookBitmap& bitmap, int frame_number, int64_t pts,
                            bool& update, bool& stop_hook);
  virtual void DoLog(TFFmpeg* job, int level, const std::string& msg);
  virtual void DoProgress(TFFmpeg* job, int frame_number, int fps, int current_duration_ms,
                          float quality, float bit_rate, int64_t current_size,
                          int total_output_duration_ms);
  virtual void DoTerminate(TFFmpeg* job);

 private:
  void ConnectCallbacks(TFFmpeg& job);
  void StartNext();
  void StartTask(int index);
  void DrainDeferredStarts();
  void DestroyJob(const std::shared_ptr<TFFmpeg>& job);
  std::shared_ptr<TFFmpeg> NewJob(const std::string& file_name, TInputOptions* options);
  void ConnectHooks(TFFmpeg& job, const TOutputOptions& options);
  void RaiseFinalNotice();

  // The libraries' log sink (see JobComponent.cpp).
  static void RouteLibraryLog(int av_level, const char* text);
  // Deliveries of library lines in progress on other threads (under the log hook's mutex).
  int log_users_ = 0;

  // Guards every field below it and is held while OnLog, OnProgress and OnTerminate run.
  mutable std::recursive_mutex Lock;
  std::vector<std::shared_ptr<TFFmpeg>> tasks_;
  int next_index_ = -1;
  int concurrent_tasks_ = 0;
  int terminated_count_ = 0;
  int pending_count_ = 0;
  std::deque<int> deferred_starts_;  // main-thread mode without a scheduler
  bool draining_ = false;
  std::shared_ptr<TFFmpeg> setting_up_;  // the job AddInputFile is opening the input of
  bool stop_requested_ = false;          // set by Stop, cleared by ClearTasks

  // Counts Stop calls: a Stop ends the probe's and the job set-up's reads in progress
  // (opening a file that blocks or never ends), not those begun after it.
  std::atomic<unsigned> stop_count_{0};

  // Written and read by the controlling thread only.
  std::string last_error_;
  std::atomic<TLogLevel> log_level_{llInfo};
  std::atomic<int> progress_interval_ms_{500};
  std::unique_ptr<TAVProbe> probe_;
  std::unique_ptr<TWorkerThreads> threads_;  // last member: joined first on destruction
};

class VIDevozORE : public TCustomJobComponent {
 public:
  static std::string Version() { return "2.0b"; }
};
