// One conversion job as the job component runs it: an engine with its place in the component's
// list, the copies of its records, its launch, and the completion object every wait for the end
// of its run uses. Also the component's worker threads.
//
// A job launched on a worker thread is owned by that thread (a shared reference) until its run
// and terminate notice are over, so nothing frees it under a running thread; whoever needs the
// run to have ended waits on the job's completion.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FFmpeg.h"
#include "JobComponent.h"

// The end of one job's thread. Begun by whoever launches the thread, before it exists, and
// ended by that thread as the last thing it does; every wait for the end waits here.
class TJobCompletion {
 public:
  void Begin();
  // Called first on the launched thread: a wait made on it returns at once (false), because a
  // thread never waits for itself.
  void SetRunner();
  void End();
  // True while begun and not yet ended.
  bool Running() const;
  // Waits until the thread has ended, at most LIMIT. True when no thread runs the job (ended,
  // or never begun); false when the limit passed or the caller is the job's own thread.
  bool WaitFor(std::chrono::milliseconds limit) const;
  // As WaitFor, without a limit.
  bool Wait() const;

 private:
  bool OwnThread() const;  // with mutex_ held

  mutable std::mutex mutex_;
  mutable std::condition_variable ended_;
  bool running_ = false;
  std::thread::id runner_;
};

// One conversion job: an engine plus its place in the component's list.
class TFFmpeg : public TCustomFFmpeg, public std::enable_shared_from_this<TFFmpeg> {
 public:
  TFFmpeg();
  // Requests abort and waits for the job's thread, if one still runs it (none can: the thread
  // owns the job), unless called on that very thread.
  ~TFFmpeg() override;

  // Position in the component's list, -1 until added; renumbered when an earlier job is
  // removed. Written under the owning component's Lock; the hook events read it without.
  std::atomic<int> Index{-1};
  // The component whose list holds the job; library lines the job's run logs go to it.
  TCustomJobComponent* Owner = nullptr;
  TInputOptions InputOptions;    // copies of the records given to the component
  TOutputOptions OutputOptions;  // (written before launch only)
  // The input as the component opened it, and whether a record came with it; a job that
  // encodes again opens it the same way.
  std::string InputFileName;
  bool HasInputRecord = false;
  std::string OutputFileName;  // the output as the component prepared it

  // Runs the job: on a new worker thread (registered in `threads`) when `threaded`, else
  // synchronously on the calling thread. Does nothing when the job was launched or
  // terminated before. A job without an input or output file is terminated at once with an
  // exception message. Returns true when a worker thread was started.
  bool Launch(bool threaded, TConvertPriority priority, TWorkerThreads* threads);
  // The run: transcode, then free the files and deliver the terminate notice. Any exception
  // of the run is logged at level -1 and reported in the notice.
  void Execute();
  // Marks the job as ended and calls the terminate callback.
  void DoTerminate();
  // Stage threads of the run log library lines as this job's.
  void RunStageThread(const std::function<void()>& body) override;
  // Delivers the terminate notice of a job that never ran from a worker thread of `threads`,
  // as a run would. Used by Stop for the jobs it keeps from starting.
  void TerminateOnThread(TWorkerThreads& threads);

  // A handler of the component's events failed with REASON while the job set up, ran or ended.
  // The first reason is kept and becomes the job's failure: during the run the run is asked
  // to end and then fails, its outputs removed; after the run the ended job is marked failed.
  void FailFromHandler(const std::string& reason);

  // Claims the single launch of this job. True for the first caller only.
  bool ClaimLaunch() { return !launched_.exchange(true); }
  bool Launched() const { return launched_; }
  // Waits up to `timeout_ms` for the job's worker thread to end. True when none runs it.
  bool WaitForThread(int timeout_ms) const;

 private:
  // Raises the failure of a handler that failed during the run, so that the run's outputs are
  // not kept.
  void ConfirmRunResult() override;
  // Transcode. With a size limit and two video passes in the record, a first pass gathers the
  // encoder's statistics (its output is not kept) before the run that counts. An output over
  // the record's size limit is encoded again from the start at a lower rate (SetUpAgain), at
  // most twice, unless a stop was requested. The passes' statistics files are removed on every
  // path. Raises the last failure.
  void TranscodeWithinSize();
  // Scales the rate the size depends on (the video's, else the sound's) so that an output of
  // SIZE bytes would take a little less than LIMIT. False when there is no rate to lower.
  bool LowerRateForRetry(int64_t size, int64_t limit);
  // Opens the input and prepares the output again from the records, as the component's set-up
  // did; PASS 1 or 2 encodes the video as that pass of two, with its statistics under
  // PASS_LOG_BASE.
  void SetUpAgain(int pass = 0, const std::string& pass_log_base = {});
  // Records REASON as the job's failure, logged at level -1 as an engine failure is.
  void Fail(const std::string& reason);

  std::atomic<bool> launched_{false};
  bool first_pass_ = false;           // the run under way is a first pass: its output is not kept
  std::mutex handler_failure_mutex_;  // guards handler_failure_
  std::string handler_failure_;       // first reason a handler failed with, "" when none
  const std::shared_ptr<TJobCompletion> completion_ = std::make_shared<TJobCompletion>();
};

// The threads a component started. Threads are joined once their job's completion has ended
// (by Reap) or when the component is destroyed (JoinAll), never by the thread itself.
class TWorkerThreads {
 public:
  ~TWorkerThreads() { JoinAll(); }
  // Runs BODY on a new thread at PRIORITY. COMPLETION is begun before the thread exists and
  // ended after BODY, and what it holds, are gone.
  void Spawn(std::shared_ptr<TJobCompletion> completion, std::function<void()> body,
             TConvertPriority priority);
  void Reap();
  void JoinAll();
  // True on a thread this object started.
  bool OnWorkerThread() const;

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<TJobCompletion> completion;
  };
  mutable std::mutex mutex_;  // guards workers_
  std::vector<Worker> workers_;
};
