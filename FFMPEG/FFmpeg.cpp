#include "FFmpeg.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

#include "Binding.h"

std::recursive_mutex TCustomFFmpeg::CodecLock;

TCustomFFmpeg::TCustomFFmpeg() {
  SetOptionDefaults();
}

TCustomFFmpeg::~TCustomFFmpeg() {
  RequestAbort();
  WaitForThreadEnd();
  FreeFileSet();
}

void TCustomFFmpeg::WaitForThreadEnd() {
  using namespace std::chrono_literals;
  // The abort request makes the loop end at its next pass; a thread that stays busy longer is
  // inside a long library call, and its job must outlive it.
  while (ThreadActive) std::this_thread::sleep_for(100ms);
}

void TCustomFFmpeg::SetOptionDefaults() {
  InputTsOffset.fill(0);
  for (auto& row : InputTsScale) row.fill(0.0);
  StreamMaps.fill(StreamMapEntry{});
  StreamMapCount = 0;
  MetaDataMaps.fill(MetaDataMapEntry{});
  MetaDataMapCount = 0;

  InputFormat = nullptr;
  OutputFormat = nullptr;
  FrameWidth = 0;
  FrameHeight = 0;
  FrameAspectRatio = 0;
  FramePixFmt = AV_PIX_FMT_NONE;
  AudioSampleFmt = AV_SAMPLE_FMT_NONE;
  PadTop = PadBottom = PadLeft = PadRight = 0;
  PadColor = {16, 128, 128};
  CropTop = CropBottom = CropLeft = CropRight = 0;
  MaxFrames.fill(INT_MAX);
  FrameRate = AVRational{0, 0};
  VideoQScale = 0;
  IntraMatrix.clear();
  InterMatrix.clear();
  VideoRcOverride.clear();
  VideoDisable = 0;
  VideoDiscard = 0;
  VideoCodecName.clear();
  VideoCodecTag = 0;
  SameQuality = 0;
  DoDeinterlace = 0;
  TopFieldFirst = -1;
  MeThreshold = 0;
  IntraDcPrecision = 8;
  LoopInput = 0;
  LoopOutput = -1;
  QpHist = 0;
  IntraOnly = 0;
  AudioSampleRate = 44100;
  AudioQScale = -99999.0f;
  AudioDisable = 0;
  AudioChannels = 2;
  AudioCodecName.clear();
  AudioCodecTag = 0;
  AudioLanguage.clear();
  SubtitleDisable = 0;
  SubtitleCodecName.clear();
  SubtitleLanguage.clear();
  MuxPreload = 0.5f;
  MuxMaxDelay = 0.7f;
  RecordingTimeUs = INT64_MAX;
  StartTimeUs = 0;
  RecTimestamp = 0;
  InputTsOffsetOpt = 0;
  Title.clear();
  Author.clear();
  Copyright.clear();
  Comment.clear();
  Genre.clear();
  Album.clear();
  Year = 0;
  Track = 0;
  DoBenchmark = DoHexDump = DoPktDump = DoPsnr = DoPass = 0;
  PassLogFileName.clear();
  AudioStreamCopy = VideoStreamCopy = SubtitleStreamCopy = 0;
  VideoSyncMethod = -1;
  AudioSyncMethod = 0;
  AudioDriftThreshold = 0.1f;
  CopyTs = false;
  Shortest = 0;
  VideoGlobalHeader = 0;
  VStatsFileName.clear();
  ProgramId = 0;
  RateEmu = 0;
  VideoChannel = 0;
  VideoStandard.clear();
  AudioVolume = 256;
  UsingFrameHook = false;
  Verbosity = 1;
  ThreadCount = 1;
  VideoBytes = AudioBytes = ExtraBytes = 0;
  FramesDuplicated = FramesDropped = 0;
  InputSync = 0;
  PgmYuvHack = 0;
  LimitFileSize = 0;
  DtsDeltaThreshold = 10.0f;
  SwsFlags = SWS_BICUBIC;
  VideoBitstreamFilters.clear();
  AudioBitstreamFilters.clear();
  SubtitleBitstreamFilters.clear();
  BitBufferSize = 262144;

  HookPixelFormat = AV_PIX_FMT_BGR24;
  HookFrameCounter = 0;
  HookAction = haContinue;
  HookTimeRanges.assign(1, THookTimeRange{});
  HookTimeRangeIndex = 0;
  HookTimeRangeCount = 0;
}

void TCustomFFmpeg::FreeFileSet() {
  for (auto& defaults : CodecDefaults) defaults.reset();
  FormatDefaults.reset();
  ScalerDefaults.reset();

  for (size_t i = 0; i < OutputFiles.size(); ++i) {
    auto& output = OutputFiles[i];
    // A file still under its temporary name is unfinished (the run failed): remove it.
    if (output && output->pb && !OutputPartPaths[i].empty()) avio_closep(&output->pb);
    if (!OutputPartPaths[i].empty()) unlink(OutputPartPaths[i].c_str());
    OutputPartPaths[i].clear();
    OutputPaths[i].clear();
    if (!output) continue;
    std::string path = output->url ? output->url : "";
    bool writes_file = output->oformat && !(output->oformat->flags & AVFMT_NOFILE);
    if (writes_file && output->pb) avio_closep(&output->pb);
    // A file that never received a byte is not a result: remove it rather than leave an empty
    // file that looks like a finished conversion.
    if (writes_file && !path.empty()) {
      std::error_code ec;
      std::filesystem::path file(path);
      if (std::filesystem::is_regular_file(file, ec) && std::filesystem::file_size(file, ec) == 0 &&
          !ec)
        std::filesystem::remove(file, ec);
    }
    output.reset();
  }
  OutputFileCount = 0;
  {
    // Freeing an opened codec closes it: under the process-wide codec lock.
    std::lock_guard<std::recursive_mutex> lock(CodecLock);
    for (auto& per_file : OutputCodecs)
      for (auto& codec : per_file) codec.reset();
  }
  for (auto& per_file : OutputStreamCopy) per_file.fill(false);
  InputRateEmu.fill(false);
  for (auto& per_file : BitstreamFilters)
    for (auto& chain : per_file) chain.reset();

  for (auto& input : InputFiles) input.reset();
  InputFileCount = 0;

  IntraMatrix.clear();
  InterMatrix.clear();
  VStatsFile.reset();
  VStatsFileName.clear();
  OptionNames.clear();
  MuxerOptions.clear();
  VideoCodecName.clear();
  AudioCodecName.clear();
  SubtitleCodecName.clear();
  VideoStandard.clear();
  VideoRcOverride.clear();
  AudioLanguage.clear();
  SubtitleLanguage.clear();
  std::vector<uint8_t>().swap(BitBuffer);
  WorkBuffers = TWorkBuffers{};
  ReleaseFrameHooks(FrameHooks);
  std::vector<uint8_t>().swap(HookBuffer);
  HookBitmap.reset();
  std::vector<uint8_t>().swap(RgbBuffer);
  ToRgbContext.reset();
  FromRgbContext.reset();
}

void TCustomFFmpeg::ResetEngine() {
  FreeFileSet();
  SetOptionDefaults();
  Running = false;
  AbortRequested = false;
  Finished = false;
  Terminated = false;
  ExceptionRaised = false;
  ErrorMessage.clear();
  Paused = false;
  TotalDurationMs = -1;
  ReplaceExistingOutput = true;

  for (int type = 0; type < kCodecTypeCount; ++type) {
    CodecDefaults[type].reset(avcodec_alloc_context3(nullptr));
    if (CodecDefaults[type]) CodecDefaults[type]->codec_type = static_cast<AVMediaType>(type);
  }
  FormatDefaults.reset(avformat_alloc_context());
  ScalerDefaults.reset(sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P,
                                      SwsFlags, nullptr, nullptr, nullptr));
}

void TCustomFFmpeg::SetVerbosity(int verbosity) {
  Verbosity = verbosity;
  SetLibraryLogLevel(verbosity);
}

void TCustomFFmpeg::RequestAbort() {
  AbortRequested = true;
  std::lock_guard<std::mutex> lock(PauseMutex);
  PauseWake.notify_all();
}

void TCustomFFmpeg::RequestPause(bool paused) {
  std::lock_guard<std::mutex> lock(PauseMutex);
  Paused = paused;
  PauseWake.notify_all();
}

void TCustomFFmpeg::WaitWhilePaused() {
  if (!Paused) return;
  std::unique_lock<std::mutex> lock(PauseMutex);
  PauseWake.wait(lock, [this] { return !Paused || AbortRequested; });
}

void TCustomFFmpeg::Log(int level, const std::string& msg) {
  if (OnLog && (level < 0 || level <= Verbosity)) OnLog(level, msg);
}

AVIOInterruptCB TCustomFFmpeg::InputInterruptCallback() {
  ReadGuard.Stop = &AbortRequested;
  return ReadGuard.Callback();
}
