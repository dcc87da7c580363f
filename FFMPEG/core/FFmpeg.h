// TCustomFFmpeg: one conversion job's engine, composed of value parts it keeps to itself:
// - Options (EngineOptions.h): what the option parser and the file set-up decide; read-only
//   during a run.
// - Files (FileSet.h): the opened inputs, prepared outputs and stream maps.
// - State and Stats (RunState.h): the run's flags and pause wait, and what the run counts.
// - Generic (GenericOptions.h): options the libraries know by name, and the read guard of the
//   inputs.
// Each user reaches what it needs: the options layer (TOptionDispatch, a friend) the option
// values, the file set and the generic options; the file set-up a TSetupContext; the run a
// TRunContext; the job and its component the operations and state queries below.
//
// Errors: every failure of the engine raises FFMpegException; the job component turns it into
// its results.
//
// Threads: options and files are written by the thread that prepares the job, before it is
// launched, and afterwards only by the job's own thread. The run-state flags are atomics because
// the component's thread reads them and sets AbortRequested / the pause flag while the job runs.
// Every codec open and close of every engine in the process happens under ProcessCodecLock().
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "EngineOptions.h"
#include "EngineTypes.h"
#include "FFmpegException.h"
#include "FileSet.h"
#include "GenericOptions.h"
#include "ReadGuard.h"
#include "RunContext.h"
#include "RunState.h"
#include "SetupContext.h"

class TCustomFFmpeg {
 public:
  TCustomFFmpeg();
  TCustomFFmpeg(const TCustomFFmpeg&) = delete;
  TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;
  // Requests abort and frees the files. A job run on a thread is owned by that thread until its
  // run has ended (see Job.h), so no run is under way here.
  virtual ~TCustomFFmpeg();

  // ---- State ------------------------------------------------------------------------------

  // Releases the job's files (TFileSet::Release), the generic options and the run's working
  // objects; the options and the run's counters stay. Does nothing while the libraries are not
  // loaded; safe to run more than once.
  void FreeFileSet();
  // FreeFileSet, then fresh options, run state and counters, and new generic-option defaults
  // objects. Does nothing while the libraries are not loaded.
  void ResetEngine();
  // Sets Verbosity (engine scale -1..3): the level of the job's own messages and of the library
  // lines its set-up and run log. The libraries' process-wide level is left alone, so one job's
  // verbosity never changes what another job shows.
  void SetVerbosity(int verbosity);
  int Verbosity() const { return Options.Verbosity; }
  // Codec threads of the job ("threads"; 0 lets the libraries choose one per core).
  void SetCodecThreads(int count) { Options.ThreadCount = count; }
  // Least wall-clock time between two progress reports of the run.
  void SetProgressIntervalUs(int64_t interval_us) { Options.ProgressIntervalUs = interval_us; }
  // Whether an output may replace a file that exists under its final name when the run ends.
  void SetReplaceExistingOutput(bool replace) { Options.ReplaceExistingOutput = replace; }
  // A count of stop requests of the caller that also ends the inputs' reads (the job
  // component's Stop while it sets the job up); a change of it after this call ends them.
  // nullptr ends the link.
  void SetReadStopCount(const std::atomic<unsigned>* stop_count);

  void RequestAbort() { State.RequestAbort(); }
  void RequestPause(bool paused) { State.RequestPause(paused); }
  bool PauseRequested() const { return State.PauseRequested(); }

  // How the job's run stands and ended (flags, ErrorMessage, RunWarning).
  const TRunState& RunState() const { return State; }
  // The first input as opened (null when none), for the file list's columns.
  const AVFormatContext* FirstInput() const { return Files.InputFiles[0].get(); }
  // Whether the inputs have read the file ID so far (an input, a script's source, ...).
  bool ReadsFile(const TFileId& id) const;
  int InputFileCount() const { return Files.InputFileCount; }
  // The bytes the last run encoded of its video (VIDEO) or its sound, and the output duration
  // it expected (-1 unknown): what a job needs to choose a lower rate.
  int64_t EncodedBytes(bool video) const { return video ? Stats.VideoBytes : Stats.AudioBytes; }
  int ExpectedDurationMs() const { return Options.TotalDurationMs; }
  int OutputFileCount() const { return Files.OutputFileCount; }

  // Logs through the log callback when one is set and the level passes Verbosity (level -1,
  // exception messages, always passes).
  void Log(int level, const std::string& msg);

  // ---- File set-up (FileSetup.h) ------------------------------------------------------------

  // Opens and registers an input file (file_setup::OpenInput). Failures raise FFMpegException.
  void OpenInputFile(const std::string& file_name, AVIOContext* io = nullptr);
  // Prepares an output file (file_setup::PrepareOutput). Failures raise FFMpegException.
  void OpenOutputFile(const std::string& file_name);

  // ---- Transcode --------------------------------------------------------------------------

  // Runs the conversion of the file set's inputs into its outputs: creates the output files
  // under their temporary names (OutputFiles.h), runs the transcoder and gives the outputs
  // their final names. Failures raise FFMpegException. Sets Finished := !AbortRequested when
  // the transcoder's loop ends normally. With "check_output" every output is read back first
  // (OutputCheck.h): one that cannot be read fails the run, what differs is the run's note,
  // and State's CheckDetails says what was checked.
  void Transcode();
  // Runs BODY, the work of one stage thread of this job's conversion. A job component makes
  // the thread its job's (the libraries' lines logged on it are the job's lines). Stage
  // threads inherit the priority of the thread that starts them.
  virtual void RunStageThread(const std::function<void()>& body) { body(); }

  // Callbacks through which the job reports to its component.
  TEngineLogCallback OnLog;
  TEngineProgressCallback OnProgress;
  TEngineTerminateCallback OnTerminate;
  TEngineBeforeHookCallback OnBeforeHook;
  TEngineCustomHookCallback OnCustomHook;

 protected:
  // The run's flags and how it ended: the job that runs the engine sets them around its run.
  TRunState State;
  // Frees the files and makes fresh options, counters and generic-option defaults for another
  // set-up and run of the same job, keeping the job's own settings (codec threads, verbosity,
  // progress interval, replacing an output) and its run flags (a stop request holds).
  void ResetForAnotherRun();
  // Called when the run has ended, before its outputs get their final names: raising
  // FFMpegException here fails the run, and its unfinished outputs are removed.
  virtual void ConfirmRunResult() {}

 private:
  void CheckOutputs();
  // The options layer's view of the engine (OptionDispatch.h).
  friend class TOptionDispatch;
  // The one door of the tests to the engine's parts (tests/EngineDoor.h).
  friend class TEngineDoor;

  // What the file set-up reaches of this engine.
  TSetupContext SetupContext();
  // Interrupt callback for input format contexts: blocked reads end once abort is requested,
  // and a probe or a packet read ends once it has read more than ReadGuard.Limit bytes (see
  // ReadGuard.h). Not for outputs: their trailers must still be written after a stop request.
  AVIOInterruptCB InputInterruptCallback();

  TEngineOptions Options;
  TFileSet Files;
  TRunStats Stats;
  TGenericOptions Generic;
  // The inputs' interrupt state.
  TReadGuard ReadGuard;
};
