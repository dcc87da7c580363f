#include "FFmpeg.h"

#include <algorithm>

#include "CodecLock.h"
#include "FFmpegException.h"
#include "FileSetup.h"
#include "OutputCheck.h"
#include "OutputFiles.h"
#include "Transcoder.h"

TCustomFFmpeg::TCustomFFmpeg() = default;

TCustomFFmpeg::~TCustomFFmpeg() {
  RequestAbort();
  FreeFileSet();
}

void TCustomFFmpeg::FreeFileSet() {
  Generic.Release();
  Files.Release();
  Stats.ReleaseObjects();
}

void TCustomFFmpeg::ResetEngine() {
  FreeFileSet();
  Options = TEngineOptions{};
  State.Reset();
  Stats = TRunStats{};
  Generic.Reset(Stats.SwsFlags);
}

void TCustomFFmpeg::ResetForAnotherRun() {
  FreeFileSet();
  TEngineOptions fresh;
  fresh.ThreadCount = Options.ThreadCount;
  fresh.Verbosity = Options.Verbosity;
  fresh.ProgressIntervalUs = Options.ProgressIntervalUs;
  fresh.ReplaceExistingOutput = Options.ReplaceExistingOutput;
  Options = std::move(fresh);
  Stats = TRunStats{};
  Generic.Reset(Stats.SwsFlags);
}

void TCustomFFmpeg::SetReadStopCount(const std::atomic<unsigned>* stop_count) {
  ReadGuard.StopCount = stop_count;
  ReadGuard.SeeStopCount();
}

bool TCustomFFmpeg::ReadsFile(const TFileId& id) const {
  return std::find(Files.ReadFiles.begin(), Files.ReadFiles.end(), id) != Files.ReadFiles.end();
}

TSetupContext TCustomFFmpeg::SetupContext() {
  return TSetupContext{Options,
                       Files,
                       Generic,
                       ReadGuard,
                       InputInterruptCallback(),
                       [this](int level, const std::string& msg) { Log(level, msg); }};
}

void TCustomFFmpeg::OpenInputFile(const std::string& file_name, AVIOContext* io) {
  file_setup::OpenInput(SetupContext(), file_name, io);
}

void TCustomFFmpeg::OpenOutputFile(const std::string& file_name) {
  file_setup::PrepareOutput(SetupContext(), file_name);
}

namespace {

int StopRequested(void* opaque) {
  return static_cast<const std::atomic<bool>*>(opaque)->load() ? 1 : 0;
}

}  // namespace

// Reads back every output of a finished run under its temporary name, before it gets its final
// one: an output that cannot be read fails the run (the file is then removed with the file
// set); what differs becomes the run's note. A stop during the reading leaves the output
// unchecked and the run stopped.
void TCustomFFmpeg::CheckOutputs() {
  const AVIOInterruptCB interrupt{StopRequested, &State.AbortRequested};
  std::string details;
  for (const TOutputExpectation& plan : Stats.CheckPlans) {
    const TOutputCheckResult result = CheckOutputFile(plan, &interrupt);
    if (result.Interrupted || State.AbortRequested) {
      State.Finished = false;
      return;
    }
    if (!result.Readable) throw FFMpegException(result.Failure);
    if (!result.Note.empty())
      State.RunWarning =
          State.RunWarning.empty() ? result.Note : State.RunWarning + "; " + result.Note;
    details = details.empty() ? result.Details : details + "; " + result.Details;
  }
  State.CheckDetails = details;
}

void TCustomFFmpeg::Transcode() {
  State.RunWarning.clear();
  State.CheckDetails.clear();
  Stats.CheckPlans.clear();
  OpenOutputFilesForWriting(Files);
  const TRunContext context{Options,
                            Files,
                            State,
                            Stats,
                            ReadGuard,
                            InputInterruptCallback(),
                            Generic.CodecDefaults,
                            Generic.ScalerDefaults.get(),
                            [this](void* target, const void* source, int flags) {
                              Generic.ApplyTo(
                                  target, source, flags,
                                  [this](int level, const std::string& msg) { Log(level, msg); });
                            },
                            [this](int level, const std::string& msg) { Log(level, msg); },
                            static_cast<bool>(OnLog),
                            OnProgress,
                            OnBeforeHook,
                            OnCustomHook,
                            [this](const std::function<void()>& body) { RunStageThread(body); },
                            ProcessCodecLock()};
  Transcoder(context).Run();
  ConfirmRunResult();
  if (Options.CheckOutput && State.Finished) CheckOutputs();
  const std::string renamed =
      CommitOutputFiles(Files, Options.ReplaceExistingOutput, Options.OutputSizeLimit);
  if (!renamed.empty())
    State.RunWarning = State.RunWarning.empty() ? renamed : State.RunWarning + "; " + renamed;
}

void TCustomFFmpeg::SetVerbosity(int verbosity) {
  Options.Verbosity = verbosity;
}

void TCustomFFmpeg::Log(int level, const std::string& msg) {
  if (OnLog && (level < 0 || level <= Options.Verbosity)) OnLog(level, msg);
}

AVIOInterruptCB TCustomFFmpeg::InputInterruptCallback() {
  ReadGuard.Stop = &State.AbortRequested;
  ReadGuard.ReadFiles = &Files.ReadFiles;
  return ReadGuard.Callback();
}
