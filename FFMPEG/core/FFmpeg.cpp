#include "FFmpeg.h"

#include <algorithm>

#include "CodecLock.h"
#include "FileSetup.h"
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

void TCustomFFmpeg::Transcode() {
  State.RunWarning.clear();
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
