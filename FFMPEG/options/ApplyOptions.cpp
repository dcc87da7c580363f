// Applying a job's input and output records to the engine: each field becomes the option setter
// it stands for, in a fixed order. Option lines come first, so a record field overrides the
// same option given as a line, and the target preset overrides both.
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "OptionDispatch.h"
#include "OptionParsing.h"

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

void ApplyInputOptions(TCustomFFmpeg& engine, const TInputOptions& options) {
  TOptionDispatch e(engine);
  e.ApplyOptionLines(options.ExtraOptions);
  if (!options.FileFormat.empty()) e.SetInputFormat(options.FileFormat);
  if (static_cast<int64_t>(options.StartTime) * 1000 > 0)
    e.Options.StartTimeUs = static_cast<int64_t>(options.StartTime) * 1000;
  if (options.ProgramID >= 0) e.Options.ProgramId = options.ProgramID;
}

namespace {

// A record's generic option; one the libraries refuse is left out, and the log says so.
void RecordGenericOption(TOptionDispatch& e, const char* name, int value) {
  if (!e.SetGenericOptionInt(name, value))
    e.Log(0, std::string("Option ") + name + "=" + std::to_string(value) +
                 " is refused by the libraries; it is left out");
}

void ApplyContainerFields(TOptionDispatch& e, const TOutputOptions& o) {
  if (!o.FileFormat.empty()) e.SetOutputFormat(o.FileFormat);
  if (o.PacketSize > 0) RecordGenericOption(e, "packetsize", o.PacketSize);
  if (o.MuxRate > 0) RecordGenericOption(e, "muxrate", o.MuxRate);
  if (o.MuxDelay > 0) e.Options.MuxMaxDelay = o.MuxDelay;
  if (o.MuxPreload > 0) e.Options.MuxPreload = o.MuxPreload;
}

void ApplyAudioFields(TOptionDispatch& e, const TOutputOptions& o) {
  e.SetDevice(o.Device);
  e.SetCodecName(AVMEDIA_TYPE_AUDIO, o.AudioCodec);
  if (o.DisableAudio) e.Options.AudioDisable = 1;
  if (o.AudioVolume >= 0) e.Options.AudioVolume = o.AudioVolume;
  if (o.AudioChannels > 0) e.Options.AudioChannels = o.AudioChannels;
  if (o.AudioSampleRate > 0) e.Options.AudioSampleRate = o.AudioSampleRate;
  if (o.AudioBitrate > 0) RecordGenericOption(e, "ab", o.AudioBitrate);
  if (o.AudioBitrateTolerance > 0) RecordGenericOption(e, "abt", o.AudioBitrateTolerance);
  if (o.AudioCompressionLevel >= 0)
    RecordGenericOption(e, "compression_level", o.AudioCompressionLevel);
  e.Options.AudioLanguage = o.AudioLanguage;
  e.Options.AudioSyncMethod = o.AudioSyncMethod;
  e.SetCodecTag(AVMEDIA_TYPE_AUDIO, o.AudioTag);
}

void ApplyVideoFields(TOptionDispatch& e, const TOutputOptions& o) {
  e.SetCodecName(AVMEDIA_TYPE_VIDEO, o.VideoCodec);
  if (o.DisableVideo) e.Options.VideoDisable = 1;
  e.SetFrameRate(o.FrameRate);
  e.SetFrameSize(o.FrameSize);
  e.SetAspect(o.AspectRatio);
  e.SetCrop(TOptionDispatch::sdTop, o.CropTop);
  e.SetCrop(TOptionDispatch::sdBottom, o.CropBottom);
  e.SetCrop(TOptionDispatch::sdLeft, o.CropLeft);
  e.SetCrop(TOptionDispatch::sdRight, o.CropRight);
  e.SetPad(TOptionDispatch::sdTop, o.PadTop);
  e.SetPad(TOptionDispatch::sdBottom, o.PadBottom);
  e.SetPad(TOptionDispatch::sdLeft, o.PadLeft);
  e.SetPad(TOptionDispatch::sdRight, o.PadRight);
  e.SetPadColor(PlainColor(o.PadColor));
  if (o.GOPSize > 0) RecordGenericOption(e, "gop", o.GOPSize);
  if (o.VideoBitrate > 0) RecordGenericOption(e, "vb", o.VideoBitrate);
  if (o.VideoMaxRate > 0) RecordGenericOption(e, "maxrate", o.VideoMaxRate);
  if (o.VideoMinRate > 0) RecordGenericOption(e, "minrate", o.VideoMinRate);
  if (o.VideoBitrateTolerance > 0) RecordGenericOption(e, "bt", o.VideoBitrateTolerance);
  if (o.VideoBufferSize > 0) RecordGenericOption(e, "bufsize", o.VideoBufferSize);
  if (o.VideoQuality >= 0) e.Options.VideoConstantQuality = o.VideoQuality;
  e.Options.VideoSyncMethod = o.VideoSyncMethod;
  e.SetCodecTag(AVMEDIA_TYPE_VIDEO, o.VideoTag);
}

// Subtitles, times and tags.
void ApplyOtherFields(TOptionDispatch& e, const TOutputOptions& o) {
  if (o.DisableSubtitle) e.Options.SubtitleDisable = 1;
  e.Options.SubtitleLanguage = o.SubtitleLanguage;
  e.Options.CopyTs = o.CopyTimestamps;
  e.SetRecordingTimeMs(o.Duration);
  if (o.MaxOutputBytes > 0) e.Options.OutputSizeLimit = o.MaxOutputBytes;
  if (o.Timestamp == 0)
    e.Options.RecTimestamp = static_cast<int64_t>(std::time(nullptr));
  else if (o.Timestamp > 0)
    e.Options.RecTimestamp = TimestampFromDateTime(o.Timestamp, StandardBiasMinutes());
  if (o.Year > 0) e.Options.Year = o.Year;
  if (o.Track > 0) e.Options.Track = o.Track;
  for (auto [tag, text] :
       {std::pair{&e.Options.Title, &o.Title}, std::pair{&e.Options.Author, &o.Author},
        std::pair{&e.Options.Copyright, &o.Copyright}, std::pair{&e.Options.Comment, &o.Comment},
        std::pair{&e.Options.Album, &o.Album}, std::pair{&e.Options.Genre, &o.Genre}})
    if (!text->empty()) *tag = *text;
}

void ApplyTarget(TOptionDispatch& e, const TOutputOptions& o) {
  if (o.TargetType >= 1 && o.TargetType <= 3) {
    static const char* const kTypes[] = {"vcd", "svcd", "dvd"};
    const char* norm = o.TargetNorm == 1 ? "pal" : o.TargetNorm == 2 ? "ntsc" : "auto";
    e.TargetPreset(kTypes[o.TargetType - 1], norm, o.TargetDefaultNorm == 1 ? "pal" : "ntsc");
  }
}

void ApplyHookRanges(TOptionDispatch& e, const TOutputOptions& o) {
  if (!o.UseCustomHook && !o.UseBeforeHook) {
    std::vector<THookTimeRange> ranges = ParseHookRanges(o.HookRanges);
    e.Options.HookTimeRangeCount = static_cast<int>(ranges.size());
    e.Stats.HookTimeRangeIndex = 0;
    if (ranges.empty()) ranges.emplace_back();
    e.Options.HookTimeRanges = std::move(ranges);
  }
}

}  // namespace

void ApplyOutputOptions(TCustomFFmpeg& engine, const TOutputOptions& options) {
  TOptionDispatch e(engine);
  e.ApplyOptionLines(options.ExtraOptions);
  ApplyContainerFields(e, options);
  ApplyAudioFields(e, options);
  ApplyVideoFields(e, options);
  ApplyOtherFields(e, options);
  ApplyTarget(e, options);
  ApplyHookRanges(e, options);
  // Set only: an option line "check_output=1" is not undone by a record without the field.
  if (options.CheckOutput) e.Options.CheckOutput = 1;
}
