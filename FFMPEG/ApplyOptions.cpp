// Applying a job's input and output records to the engine: each field becomes the option setter
// it stands for, in a fixed order. Option lines come first, so a record field overrides the
// same option given as a line, and the target preset overrides both.
#include <ctime>

#include "FFmpeg.h"

namespace {

// Plain 0x00BBGGRR value of a record colour. Values with the top byte set are toolkit system
// colours, which a headless engine cannot resolve; they pad in black.
uint32_t PlainColor(int32_t color) {
  if (color < 0 || (static_cast<uint32_t>(color) & 0xFF000000u) != 0) return 0;
  return static_cast<uint32_t>(color);
}

// Standard time-zone bias in minutes (UTC = local time + bias).
int StandardBiasMinutes() {
  tzset();
  return static_cast<int>(timezone / 60);
}

}  // namespace

void TCustomFFmpeg::ApplyInputOptions(const std::string& file_name, const TInputOptions& options) {
  (void)file_name;  // the record's own FileName is filled by the job component
  ApplyOptionLines(options.ExtraOptions);
  if (!options.FileFormat.empty()) SetInputFormat(options.FileFormat);
  if (static_cast<int64_t>(options.StartTime) * 1000 > 0)
    Options.StartTimeUs = static_cast<int64_t>(options.StartTime) * 1000;
  if (options.ProgramID >= 0) Options.ProgramId = options.ProgramID;
}

void TCustomFFmpeg::ApplyOutputOptions(const std::string& file_name,
                                       const TOutputOptions& options) {
  (void)file_name;
  const TOutputOptions& o = options;
  ApplyOptionLines(o.ExtraOptions);

  if (!o.FileFormat.empty()) SetOutputFormat(o.FileFormat);
  if (o.PacketSize > 0) SetGenericOptionInt("packetsize", o.PacketSize);
  if (o.MuxRate > 0) SetGenericOptionInt("muxrate", o.MuxRate);
  if (o.MuxDelay > 0) Options.MuxMaxDelay = o.MuxDelay;
  if (o.MuxPreload > 0) Options.MuxPreload = o.MuxPreload;

  SetDevice(o.Device);
  SetCodecName(AVMEDIA_TYPE_AUDIO, o.AudioCodec);
  if (o.DisableAudio) Options.AudioDisable = 1;
  if (o.AudioVolume >= 0) Options.AudioVolume = o.AudioVolume;
  if (o.AudioChannels > 0) Options.AudioChannels = o.AudioChannels;
  if (o.AudioSampleRate > 0) Options.AudioSampleRate = o.AudioSampleRate;
  if (o.AudioBitrate > 0) SetGenericOptionInt("ab", o.AudioBitrate);
  if (o.AudioBitrateTolerance > 0) SetGenericOptionInt("abt", o.AudioBitrateTolerance);
  Options.AudioLanguage = o.AudioLanguage;
  Options.AudioSyncMethod = o.AudioSyncMethod;
  SetCodecTag(AVMEDIA_TYPE_AUDIO, o.AudioTag);

  SetCodecName(AVMEDIA_TYPE_VIDEO, o.VideoCodec);
  if (o.DisableVideo) Options.VideoDisable = 1;
  SetFrameRate(o.FrameRate);
  SetFrameSize(o.FrameSize);
  SetAspect(o.AspectRatio);
  SetCrop(sdTop, o.CropTop);
  SetCrop(sdBottom, o.CropBottom);
  SetCrop(sdLeft, o.CropLeft);
  SetCrop(sdRight, o.CropRight);
  SetPad(sdTop, o.PadTop);
  SetPad(sdBottom, o.PadBottom);
  SetPad(sdLeft, o.PadLeft);
  SetPad(sdRight, o.PadRight);
  SetPadColor(PlainColor(o.PadColor));
  if (o.GOPSize > 0) SetGenericOptionInt("gop", o.GOPSize);
  if (o.VideoBitrate > 0) SetGenericOptionInt("vb", o.VideoBitrate);
  if (o.VideoMaxRate > 0) SetGenericOptionInt("maxrate", o.VideoMaxRate);
  if (o.VideoMinRate > 0) SetGenericOptionInt("minrate", o.VideoMinRate);
  if (o.VideoBitrateTolerance > 0) SetGenericOptionInt("bt", o.VideoBitrateTolerance);
  if (o.VideoBufferSize > 0) SetGenericOptionInt("bufsize", o.VideoBufferSize);
  Options.VideoSyncMethod = o.VideoSyncMethod;
  SetCodecTag(AVMEDIA_TYPE_VIDEO, o.VideoTag);

  if (o.DisableSubtitle) Options.SubtitleDisable = 1;
  Options.SubtitleLanguage = o.SubtitleLanguage;
  Options.CopyTs = o.CopyTimestamps;
  SetRecordingTimeMs(o.Duration);
  if (o.Timestamp == 0)
    Options.RecTimestamp = static_cast<int64_t>(std::time(nullptr));
  else if (o.Timestamp > 0)
    Options.RecTimestamp = TimestampFromDateTime(o.Timestamp, StandardBiasMinutes());
  if (o.Year > 0) Options.Year = o.Year;
  if (o.Track > 0) Options.Track = o.Track;
  for (auto [tag, text] :
       {std::pair{&Options.Title, &o.Title}, std::pair{&Options.Author, &o.Author},
        std::pair{&Options.Copyright, &o.Copyright}, std::pair{&Options.Comment, &o.Comment},
        std::pair{&Options.Album, &o.Album}, std::pair{&Options.Genre, &o.Genre}})
    if (!text->empty()) *tag = *text;

  if (o.TargetType >= 1 && o.TargetType <= 3) {
    static const char* const kTypes[] = {"vcd", "svcd", "dvd"};
    const char* norm = o.TargetNorm == 1 ? "pal" : o.TargetNorm == 2 ? "ntsc" : "auto";
    TargetPreset(kTypes[o.TargetType - 1], norm, o.TargetDefaultNorm == 1 ? "pal" : "ntsc");
  }

  if (!o.UseCustomHook && !o.UseBeforeHook) {
    std::vector<THookTimeRange> ranges = ParseHookRanges(o.HookRanges);
    Options.HookTimeRangeCount = static_cast<int>(ranges.size());
    Stats.HookTimeRangeIndex = 0;
    if (ranges.empty()) ranges.emplace_back();
    Options.HookTimeRanges = std::move(ranges);
  }
}
