#include "FFmpeg.h"

#include "Binding.h"
#include "OutputFiles.h"
#include "Transcoder.h"

std::recursive_mutex TCustomFFmpeg::CodecLock;

TCustomFFmpeg::TCustomFFmpeg() = default;

TCustomFFmpeg::~TCustomFFmpeg() {
  RequestAbort();
  FreeFileSet();
}

void TCustomFFmpeg::FreeFileSet() {
  for (auto& defaults : CodecDefaults) defaults.reset();
  FormatDefaults.reset();
  ScalerDefaults.reset();
  OptionNames.clear();
  MuxerOptions.clear();
  Files.Release();
  Stats.ReleaseObjects();
}

void TCustomFFmpeg::ResetEngine() {
  FreeFileSet();
  Options = TEngineOptions{};
  State.Reset();
  Stats = TRunStats{};

  for (int type = 0; type < kCodecTypeCount; ++type) {
    CodecDefaults[type].reset(avcodec_alloc_context3(nullptr));
    if (CodecDefaults[type]) CodecDefaults[type]->codec_type = static_cast<AVMediaType>(type);
  }
  FormatDefaults.reset(avformat_alloc_context());
  ScalerDefaults.reset(sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P,
                                      Stats.SwsFlags, nullptr, nullptr, nullptr));
}

void TCustomFFmpeg::OpenInputFile(const std::string& file_name, AVIOContext* io) {
  try {
    file_setup::OpenInput(*this, file_name, io);
  } catch (const FFMpegException& e) {
    LastErrorText = e.what();
    throw;
  }
}

bool TCustomFFmpeg::OpenOutputFile(const std::string& file_name) {
  try {
    file_setup::PrepareOutput(*this, file_name);
  } catch (const FFMpegException& e) {
    LastErrorText = e.what();
    return false;
  }
  return true;
}

bool TCustomFFmpeg::FindCodec(const std::string& name, AVMediaType type, bool encoder,
                              AVCodecID& id, const AVCodec** codec) {
  try {
    file_setup::LookUpCodec(name, type, encoder, id, codec);
  } catch (const FFMpegException& e) {
    LastErrorText = e.what();
    return false;
  }
  return true;
}

void TCustomFFmpeg::Transcode() {
  State.RunWarning.clear();
  OpenOutputFilesForWriting(Files);
  const TRunContext context{
      Options,
      Files,
      State,
      Stats,
      ReadGuard,
      InputInterruptCallback(),
      CodecDefaults,
      ScalerDefaults.get(),
      [this](void* target, const void* source, int flags) {
        ApplyGenericOptions(target, source, flags);
      },
      [this](int level, const std::string& msg) { Log(level, msg); },
      static_cast<bool>(OnLog),
      OnProgress,
      OnBeforeHook,
      OnCustomHook,
      [this](const std::function<void()>& body) { RunStageThread(body); },
      CodecLock};
  Transcoder(context).Run();
  const std::string renamed = CommitOutputFiles(Files, Options.ReplaceExistingOutput);
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
