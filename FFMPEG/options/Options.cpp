// The option dispatcher: option names in the manner of FFmpeg's command-line tool (without the
// leading dash), their setters with their checks and messages, and the target presets. Names
// the table does not hold go to the job's generic options (GenericOptions.h).
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Binding.h"
#include "FFmpegException.h"
#include "FileSetup.h"
#include "OptionDispatch.h"
#include "OptionParsing.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
}

namespace {

constexpr const char* kSideNames[] = {"Top", "Bottom", "Left", "Right"};

// The library name of a format option's value: "pgmyuv" is read and written as "image2" with the
// PGM-YUV quirk switched on.
std::string LibraryFormatName(TOptionDispatch& e, const std::string& name) {
  if (name != "pgmyuv") return name;
  e.Options.PgmYuvHack = 1;
  e.Log(1, "pgmyuv format is deprecated, use image2");
  return "image2";
}

}  // namespace

// ---- Typed setters -----------------------------------------------------------------------------

void TOptionDispatch::SetInputFormat(const std::string& name) {
  if (name.empty()) return;
  std::string format = LibraryFormatName(*this, name);
  Options.InputFormat = av_find_input_format(format.c_str());
  if (!Options.InputFormat) throw FFMpegException(FormatText("Unknown input format: %s", name));
}

void TOptionDispatch::SetOutputFormat(const std::string& name) {
  if (name.empty()) return;
  std::string format = LibraryFormatName(*this, name);
  Options.OutputFormat = av_guess_format(format.c_str(), nullptr, nullptr);
  if (!Options.OutputFormat) throw FFMpegException(FormatText("Unknown output format: %s", name));
}

void TOptionDispatch::SetFrameRate(const std::string& text) {
  if (text.empty()) return;
  AVRational rate{0, 0};
  if (av_parse_video_rate(&rate, text.c_str()) < 0) throw FFMpegException("Incorrect frame rate");
  Options.FrameRate = rate;
}

void TOptionDispatch::SetFrameSize(const std::string& text) {
  if (text.empty()) return;
  int width = 0, height = 0;
  if (av_parse_video_size(&width, &height, text.c_str()) < 0)
    throw FFMpegException("Incorrect frame size");
  Options.FrameWidth = width;
  Options.FrameHeight = height;
  if (width % 2 != 0 || height % 2 != 0)
    throw FFMpegException("Frame size must be a multiple of 2");
}

void TOptionDispatch::SetAspect(const std::string& text) {
  if (text.empty()) return;
  double ratio = 0;
  std::size_t colon = text.find(':');
  if (colon == std::string::npos) {
    if (!ParseFloatValue(text, ratio)) ratio = 0;
  } else {
    long long num = 0, den = 0;
    if (!ParseIntValue(text.substr(0, colon), num)) num = 0;
    if (!ParseIntValue(text.substr(colon + 1), den)) den = 0;
    ratio = den <= 0 ? 0.0 : static_cast<double>(num) / static_cast<double>(den);
  }
  if (ratio == 0 || !std::isfinite(ratio))
    throw FFMpegException("Incorrect aspect ratio specification.");
  Options.FrameAspectRatio = static_cast<float>(ratio);
}

void TOptionDispatch::SetCrop(TSide side, int pixels) {
  if (pixels < 0) return;
  if (pixels % 2 != 0)
    throw FFMpegException(std::string(kSideNames[side]) + " crop size must be a multiple of 2");
  const bool vertical = side == sdTop || side == sdBottom;
  // The crop comes off the picture size given so far.
  int& size = vertical ? Options.FrameHeight : Options.FrameWidth;
  if (pixels >= size)
    throw FFMpegException(std::string(vertical ? "Vertical" : "Horizontal") +
                          " crop dimensions are outside the range of the original image.\n"
                          "Remember to crop first and scale second.");
  int& crop = side == sdTop      ? Options.CropTop
              : side == sdBottom ? Options.CropBottom
              : side == sdLeft   ? Options.CropLeft
                                 : Options.CropRight;
  crop = pixels;
  size -= pixels;
}

void TOptionDispatch::SetPad(TSide side, int pixels) {
  if (pixels < 0) return;
  if (pixels % 2 != 0)
    throw FFMpegException(std::string(kSideNames[side]) + " pad size must be a multiple of 2");
  switch (side) {
    case sdTop:
      Options.PadTop = pixels;
      break;
    case sdBottom:
      Options.PadBottom = pixels;
      break;
    case sdLeft:
      Options.PadLeft = pixels;
      break;
    case sdRight:
      Options.PadRight = pixels;
      break;
  }
}

void TOptionDispatch::SetDevice(const std::string& name) {
  if (!ParseDeviceTarget(name, Options.Device))
    throw FFMpegException("Unknown device '" + name + "'");
}

void TOptionDispatch::SetPadColor(uint32_t bgr) {
  int r = bgr & 0xFF, g = (bgr >> 8) & 0xFF, b = (bgr >> 16) & 0xFF;
  // Fixed-point BT.601 with 10 fractional bits; the shifts of negative sums round down.
  Options.PadColor[0] = (307 * r + 602 * g + 117 * b + 512) >> 10;
  Options.PadColor[1] = (((-173 * r - 340 * g + 512 * b + 511) >> 10) + 128) & 0xFF;
  Options.PadColor[2] = (((512 * r - 429 * g - 84 * b + 511) >> 10) + 128) & 0xFF;
}

void TOptionDispatch::SetCodecName(AVMediaType type, const std::string& name) {
  if (name.empty()) return;
  std::string* field = type == AVMEDIA_TYPE_VIDEO   ? &Options.VideoCodecName
                       : type == AVMEDIA_TYPE_AUDIO ? &Options.AudioCodecName
                                                    : &Options.SubtitleCodecName;
  int* copy = type == AVMEDIA_TYPE_VIDEO   ? &Options.VideoStreamCopy
              : type == AVMEDIA_TYPE_AUDIO ? &Options.AudioStreamCopy
                                           : &Options.SubtitleStreamCopy;
  field->clear();
  if (name == "copy")
    *copy = 1;
  else
    *field = name;
}

void TOptionDispatch::SetCodecTag(AVMediaType type, const std::string& four_chars) {
  if (four_chars.empty()) return;
  bool video = type == AVMEDIA_TYPE_VIDEO;
  if (four_chars.size() != 4)
    throw FFMpegException(video ? "video tag parameter must be 4 chars"
                                : "audio tag parameter must be 4 chars");
  auto byte = [&](int i) {
    return static_cast<unsigned>(static_cast<unsigned char>(four_chars[i]));
  };
  unsigned tag = byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
  (video ? Options.VideoCodecTag : Options.AudioCodecTag) = tag;
}

void TOptionDispatch::SetQScale(float qscale) {
  if (!(qscale > 0.0f) || qscale > 255.0f) throw FFMpegException("qscale must be > 0.0 and <= 255");
  Options.VideoQScale = qscale;
}

void TOptionDispatch::SetRecordingTimeMs(int64_t duration_ms) {
  if (duration_ms <= 0) return;
  Options.RecordingTimeUs = duration_ms * 1000;
  Options.TotalDurationMs = static_cast<int>(std::min<int64_t>(duration_ms, INT_MAX));
}

// ---- Target presets ----------------------------------------------------------------------------

namespace {

enum class TvStandard { kPal, kNtsc, kFilm };

// PAL for 25 frames per second, NTSC for 29.97 and 23.976; nothing for any other rate.
std::optional<TvStandard> StandardOfRate(AVRational rate) {
  const int64_t milli_fps = std::llround(rate.num * 1000.0 / rate.den);
  if (milli_fps == 25000) return TvStandard::kPal;
  if (milli_fps == 29970 || milli_fps == 23976) return TvStandard::kNtsc;
  return std::nullopt;
}

// The standard of the first input video stream whose rate tells one.
std::optional<TvStandard> StandardOfInputs(const TFileSet& files) {
  for (int f = 0; f < files.InputFileCount; ++f) {
    if (!files.InputFiles[f]) continue;
    for (unsigned s = 0; s < files.InputFiles[f]->nb_streams; ++s) {
      const AVStream* stream = files.InputFiles[f]->streams[s];
      if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
      AVRational rate =
          stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
      if (rate.num <= 0 || rate.den <= 0) continue;
      if (auto standard = StandardOfRate(rate)) return standard;
    }
  }
  return std::nullopt;
}

const char* FrameRateOf(TvStandard standard) {
  return standard == TvStandard::kPal    ? "25"
         : standard == TvStandard::kNtsc ? "30000/1001"
                                         : "24000/1001";
}

// NORM as given, else found from the frame rate or the inputs, else DEFAULT_NORM.
TvStandard TargetStandard(TOptionDispatch& e, const std::string& norm,
                          const std::string& default_norm) {
  if (norm == "pal") return TvStandard::kPal;
  if (norm == "ntsc") return TvStandard::kNtsc;
  if (norm == "film") return TvStandard::kFilm;
  if (e.Options.FrameRate.den == 0) throw FFMpegException("frame_rate is invalid.");
  std::optional<TvStandard> found = StandardOfRate(e.Options.FrameRate);
  if (!found) found = StandardOfInputs(e.Files);
  if (found) {
    // Rates only tell PAL from NTSC.
    if (e.Options.Verbosity > 0)
      e.Log(1, FormatText("Assuming %s for target.", *found == TvStandard::kPal ? "PAL" : "NTSC"));
    return *found;
  }
  if (default_norm == "film") return TvStandard::kFilm;
  return default_norm == "ntsc" ? TvStandard::kNtsc : TvStandard::kPal;
}

// The settings of the MPEG disc targets.
struct MpegTarget {
  const char* Name;
  const char* VideoCodec;
  const char* AudioCodec;
  const char* NtscSize;
  const char* PalSize;
  std::vector<std::pair<const char*, const char*>> GenericOptions;  // after "gop"
  int SampleRate;
  bool AlwaysStereo;  // else only mono becomes stereo
  float MuxPreload;   // 0 = unchanged
  const char* DefaultAspect;
};

const MpegTarget kMpegTargets[] = {
    {"vcd",
     "mpeg1video",
     "mp2",
     "352x240",
     "352x288",
     {{"b", "1150000"},
      {"maxrate", "1150000"},
      {"minrate", "1150000"},
      {"bufsize", "327680"},
      {"ab", "224000"},
      {"packetsize", "2324"},
      {"muxrate", "1411200"}},
     44100,
     true,
     0.44f,
     "4:3"},
    {"svcd",
     "mpeg2video",
     "mp2",
     "480x480",
     "480x576",
     {{"b", "2040000"},
      {"maxrate", "2516000"},
      {"minrate", "0"},
      {"bufsize", "1835008"},
      {"flags", "+SCAN_OFFSET"},
      {"ab", "224000"},
      {"packetsize", "2324"}},
     44100,
     false,
     0,
     "4:3"},
    {"dvd",
     "mpeg2video",
     "ac3",
     "720x480",
     "720x576",
     {{"b", "6000000"},
      {"maxrate", "9000000"},
      {"minrate", "0"},
      {"bufsize", "1835008"},
      {"packetsize", "2048"},
      {"muxrate", "10080000"},
      {"ab", "448000"}},
     48000,
     false,
     0,
     "16:9"},
};

// A preset's generic option; one the libraries refuse (today's libraries know no SCAN_OFFSET
// flag) is left out, and the log says so.
void PresetOption(TOptionDispatch& e, const char* name, const char* value) {
  if (!e.SetGenericOption(name, value))
    e.Log(0, std::string("Target preset: the libraries refuse ") + name + " " + value +
                 "; it is left out");
}

void ApplyMpegTarget(TOptionDispatch& e, const MpegTarget& target, TvStandard standard) {
  const bool ntsc_sizes = standard != TvStandard::kPal;
  e.SetCodecName(AVMEDIA_TYPE_VIDEO, target.VideoCodec);
  e.SetCodecName(AVMEDIA_TYPE_AUDIO, target.AudioCodec);
  e.SetOutputFormat(target.Name);
  e.SetFrameSize(ntsc_sizes ? target.NtscSize : target.PalSize);
  e.SetFrameRate(FrameRateOf(standard));
  PresetOption(e, "gop", ntsc_sizes ? "18" : "15");
  for (const auto& [name, value] : target.GenericOptions) PresetOption(e, name, value);
  TEngineOptions& o = e.Options;
  o.AudioSampleRate = target.SampleRate;
  if (target.AlwaysStereo || o.AudioChannels == 1) o.AudioChannels = 2;
  if (target.MuxPreload > 0) o.MuxPreload = target.MuxPreload;
  if (o.FrameAspectRatio == 0) e.SetAspect(target.DefaultAspect);
}

void ApplyDvTarget(TOptionDispatch& e, const std::string& type, TvStandard standard) {
  const bool ntsc_sizes = standard != TvStandard::kPal;
  e.SetOutputFormat("dv");
  e.SetFrameSize(ntsc_sizes ? "720x480" : "720x576");
  e.Options.FramePixFmt = av_get_pix_fmt(type == "dv50" ? "yuv422p"
                                         : ntsc_sizes   ? "yuv411p"
                                                        : "yuv420p");
  e.SetFrameRate(FrameRateOf(standard));
  e.Options.AudioSampleRate = 48000;
  e.Options.AudioChannels = 2;
}

}  // namespace

void TOptionDispatch::TargetPreset(const std::string& type, const std::string& norm,
                                   const std::string& default_norm) {
  const TvStandard standard = TargetStandard(*this, norm, default_norm);
  for (const MpegTarget& target : kMpegTargets) {
    if (type == target.Name) {
      ApplyMpegTarget(*this, target, standard);
      return;
    }
  }
  if (type == "dv" || type == "dv50")
    ApplyDvTarget(*this, type, standard);
  else
    throw FFMpegException("Unknown target type");
}

// ---- The dispatcher ----------------------------------------------------------------------------

namespace {

using Handler = void (*)(TOptionDispatch&, const std::string& name, const std::string& value);

void LogOnly(TOptionDispatch& e, const std::string& name, const std::string&) {
  e.Log(1, "Do nothing: option - " + name);
}

void Rejected(TOptionDispatch&, const std::string& name, const std::string&) {
  throw FFMpegException("TODO: option - " + name);
}

int Int(const std::string& value) {
  return ToInt(value);
}

// A Time value ("duration" or "date" form) in microseconds.
int64_t Time(const std::string& name, const std::string& value, bool duration) {
  int64_t us = 0;
  if (av_parse_time(&us, value.c_str(), duration ? 1 : 0) < 0)
    throw FFMpegException(FormatText("Invalid %s specification for %s: %s",
                                     duration ? "duration" : "date", name, value));
  return us;
}

void SetTag(std::string& tag, const std::string& value) {
  if (!value.empty()) tag = value;
}

void BitRate(TOptionDispatch& e, const std::string& name, const std::string& value) {
  if (name.empty() || value.empty()) return;
  if (!e.SetGenericOption(name, value) || !e.HasLog()) return;
  int type = name[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
  int64_t bit_rate = 0;
  if (e.Generic.CodecDefaults[type] &&
      av_opt_get_int(e.Generic.CodecDefaults[type].get(), "b", 0, &bit_rate) >= 0 &&
      bit_rate < 1000)
    e.Log(1,
          "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, "
          "not kbits/s");
}

// Two integers with one separator between them ("1:0", "1.0").
std::pair<int, int> ReadPair(TextCursor& cursor) {
  const int first = cursor.Long();
  cursor.SkipOne();
  return {first, cursor.Long()};
}

// Appends the entry PARSE makes to TABLE, which holds COUNT entries; WHAT names the table in
// the error for a full one.
template <class Entry, std::size_t N, class Parse>
void AppendEntry(std::array<Entry, N>& table, int& count, const char* what, Parse parse) {
  if (count >= static_cast<int>(N))
    throw FFMpegException(FormatText("Too many %s (at most %d)", what, static_cast<int>(N)));
  table[count++] = parse();
}

void Map(TOptionDispatch& e, const std::string&, const std::string& value) {
  AppendEntry(e.Files.StreamMaps, e.Files.StreamMapCount, "stream maps", [&value] {
    TextCursor cursor(value);
    StreamMapEntry entry;
    std::tie(entry.FileIndex, entry.StreamIndex) = ReadPair(cursor);
    // Without a sync stream the mapped stream is its own.
    entry.SyncFileIndex = entry.FileIndex;
    entry.SyncStreamIndex = entry.StreamIndex;
    if (!cursor.AtEnd()) {
      cursor.SkipOne();
      std::tie(entry.SyncFileIndex, entry.SyncStreamIndex) = ReadPair(cursor);
    }
    return entry;
  });
}

void MapMetaData(TOptionDispatch& e, const std::string&, const std::string& value) {
  AppendEntry(e.Files.MetaDataMaps, e.Files.MetaDataMapCount, "meta-data maps", [&value] {
    TextCursor cursor(value);
    MetaDataMapEntry entry;
    std::tie(entry.OutFile, entry.InFile) = ReadPair(cursor);
    return entry;
  });
}

void ItsScale(TOptionDispatch& e, const std::string&, const std::string& value) {
  TextCursor cursor(value);
  long stream = cursor.Long();
  cursor.SkipOne();
  double scale = cursor.Double();
  if (stream < 0 || stream >= kMaxStreamsPerFile)
    throw FFMpegException(FormatText("stream index over MAX_STREAMS(%d)", kMaxStreamsPerFile));
  if (e.Files.InputFileCount >= kMaxFiles)
    throw FFMpegException(FormatText("Too many input files (at most %d)", kMaxFiles));
  e.Files.InputTsScale[e.Files.InputFileCount][stream] = scale;
}

void Matrix(std::vector<uint16_t>& matrix, const std::string& value) {
  std::vector<uint16_t> parsed(64, 0);
  std::size_t pos = 0;
  for (int i = 0; i < 64; ++i) {
    parsed[i] = static_cast<uint16_t>(LeadingInt(value, pos));
    if (i == 63) break;
    std::size_t comma = value.find(',', pos);
    if (comma == std::string::npos)
      throw FFMpegException(FormatText("Syntax error in matrix \"%s\" at coeff %d", value, i));
    pos = comma + 1;
  }
  matrix = std::move(parsed);
}

void VStats(TOptionDispatch& e, const std::string&, const std::string&) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[16];
  std::snprintf(stamp, sizeof(stamp), "%02d%02d%02d", local.tm_hour, local.tm_min, local.tm_sec);
  e.Options.VStatsFileName = ProgramFolder() + "vstats_" + stamp + ".log";
}

void VHook(TOptionDispatch& e, const std::string&, const std::string& value) {
  std::vector<std::string> words = SplitHookCommand(value);
  if (AddFrameHook(e.Files.FrameHooks, words) != 0)
    throw FFMpegException("Failed to add video hook function: " + value);
  e.Stats.UsingFrameHook = true;
}

void PixFmt(TOptionDispatch& e, const std::string&, const std::string& value) {
  if (value != "list") {
    e.Options.FramePixFmt = av_get_pix_fmt(value.c_str());
    return;
  }
  if (!e.HasLog()) return;
  e.Log(1, "name       nb_components bits_per_pixel");
  for (int i = 0; i < 40; ++i) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(i));
    if (!desc) break;
    e.Log(1, FormatText("%-11s %7d %10d", desc->name, desc->nb_components,
                        av_get_bits_per_pixel(desc)));
  }
}

void Target(TOptionDispatch& e, const std::string&, const std::string& value) {
  std::string text = Trim(value);
  std::string norm = "auto";
  std::string type = text;
  for (const char* prefix : {"pal-", "ntsc-", "film-"}) {
    std::string_view p(prefix);
    if (text.compare(0, p.size(), p) == 0) {
      norm = std::string(p.substr(0, p.size() - 1));
      type = text.substr(p.size());
      break;
    }
  }
  e.TargetPreset(type, norm, "ntsc");
}

void Pass(TOptionDispatch& e, const std::string&, const std::string& value) {
  int pass = Int(value);
  if (pass != 1 && pass != 2) throw FFMpegException("pass number can be only 1 or 2");
  e.Options.DoPass = pass;
}

void AspectRow(TOptionDispatch& e, const std::string&, const std::string& v) {
  e.SetAspect(v);
}

TOptionDispatch::TSide SideOf(const std::string& name) {
  if (name.ends_with("top")) return TOptionDispatch::sdTop;
  if (name.ends_with("bottom")) return TOptionDispatch::sdBottom;
  if (name.ends_with("left")) return TOptionDispatch::sdLeft;
  return TOptionDispatch::sdRight;
}

// A table row whose handler is written in place; a body need not use every parameter.
#define ROW(option, body)                                                                     \
  {                                                                                           \
    option, []([[maybe_unused]] TOptionDispatch& e, [[maybe_unused]] const std::string& name, \
               [[maybe_unused]] const std::string& value) { body; }                           \
  }

using OptionMap = std::unordered_map<std::string_view, Handler>;

// Options of files, times, tags and the run.
void AddGeneralRows(OptionMap& table) {
  table.insert({
      {"L", LogOnly},
      {"h", LogOnly},
      {"version", LogOnly},
      {"formats", LogOnly},
      ROW("f",
          {
            if (value.empty()) return;
            std::string format = LibraryFormatName(e, value);
            e.Options.InputFormat = av_find_input_format(format.c_str());
            e.Options.OutputFormat = av_guess_format(format.c_str(), nullptr, nullptr);
            if (!e.Options.InputFormat && !e.Options.OutputFormat)
              throw FFMpegException(FormatText("Unknown input or output format: %s", value));
          }),
      {"i", LogOnly},
      {"y", LogOnly},
      {"map", Map},
      {"map_meta_data", MapMetaData},
      ROW("t", e.SetRecordingTimeMs(Time(name, value, true) / 1000)),
      ROW("fs", e.Options.LimitFileSize = static_cast<uint64_t>(ToInt64(value))),
      ROW("ss", e.Options.StartTimeUs = Time(name, value, true)),
      ROW("itsoffset", e.Options.InputTsOffsetOpt = Time(name, value, true)),
      {"itsscale", ItsScale},
      ROW("title", SetTag(e.Options.Title, value)),
      ROW("timestamp", e.Options.RecTimestamp = std::llround(Time(name, value, false) / 1e6)),
      ROW("author", SetTag(e.Options.Author, value)),
      ROW("copyright", SetTag(e.Options.Copyright, value)),
      ROW("comment", SetTag(e.Options.Comment, value)),
      ROW("genre", SetTag(e.Options.Genre, value)),
      ROW("album", SetTag(e.Options.Album, value)),
      ROW("dframes", e.Options.MaxFrames[2] = Int(value)),
      {"benchmark", LogOnly},
      ROW("dump", e.Options.DoPktDump = 1),
      ROW("hex", e.Options.DoHexDump = 1),
      ROW("re", e.Options.RateEmu = 1),
      ROW("loop_input", e.Options.LoopInput = 1),
      ROW("loop_output", e.Options.LoopOutput = Int(value)),
      ROW("v", e.SetVerbosity(Int(value))),
      {"target", Target},
      ROW("device", e.SetDevice(value)),
      {"threads", Rejected},
      ROW("serial_stages", e.Options.SerialStages = Int(value)),
      ROW("check_output", e.Options.CheckOutput = Int(value)),
      ROW("vsync", e.Options.VideoSyncMethod = Int(value)),
      ROW("async", e.Options.AudioSyncMethod = Int(value)),
      ROW("adrift_threshold", e.Options.AudioDriftThreshold = ToFloat(value)),
      ROW("vglobal", e.Options.VideoGlobalHeader = Int(value)),
      ROW("copyts", e.Options.CopyTs = true),
      ROW("shortest", e.Options.Shortest = 1),
      ROW("dts_delta_threshold", e.Options.DtsDeltaThreshold = ToFloat(value)),
      ROW("programid", e.Options.ProgramId = Int(value)),
  });
}

void AddVideoRows(OptionMap& table) {
  table.insert({
      {"b", BitRate},
      {"vb", BitRate},
      ROW("vframes", e.Options.MaxFrames[0] = Int(value)),
      ROW("r", e.SetFrameRate(value)),
      ROW("s", e.SetFrameSize(value)),
      {"aspect", AspectRow},
      {"pix_fmt", PixFmt},
      ROW("croptop", e.SetCrop(SideOf(name), Int(value))),
      ROW("cropbottom", e.SetCrop(SideOf(name), Int(value))),
      ROW("cropleft", e.SetCrop(SideOf(name), Int(value))),
      ROW("cropright", e.SetCrop(SideOf(name), Int(value))),
      ROW("padtop", e.SetPad(SideOf(name), Int(value))),
      ROW("padbottom", e.SetPad(SideOf(name), Int(value))),
      ROW("padleft", e.SetPad(SideOf(name), Int(value))),
      ROW("padright", e.SetPad(SideOf(name), Int(value))),
      ROW("padcolor", e.SetPadColor(static_cast<uint32_t>(Int(value)))),
      ROW("intra", e.Options.IntraOnly = 1),
      ROW("vn", e.Options.VideoDisable = 1),
      ROW("vdt", e.Options.VideoDiscard = Int(value)),
      ROW("qscale", e.SetQScale(ToFloat(value))),
      ROW("crf", e.Options.VideoConstantQuality = ToFloat(value)),
      ROW("rc_override", e.Options.VideoRcOverride = value),
      ROW("vcodec", e.SetCodecName(AVMEDIA_TYPE_VIDEO, value)),
      ROW("me_threshold", e.Options.MeThreshold = Int(value)),
      ROW("sameq", e.Options.SameQuality = 1),
      {"pass", Pass},
      ROW("passlogfile", e.Options.PassLogFileName = value),
      ROW("deinterlace", e.Options.DoDeinterlace = 1),
      ROW("psnr", e.Options.DoPsnr = 1),
      {"vstats", VStats},
      ROW("vstats_file", e.Options.VStatsFileName = value),
      {"vhook", VHook},
      ROW("intra_matrix", Matrix(e.Options.IntraMatrix, value)),
      ROW("inter_matrix", Matrix(e.Options.InterMatrix, value)),
      ROW("top", e.Options.TopFieldFirst = Int(value)),
      ROW("dc", e.Options.IntraDcPrecision = Int(value)),
      ROW("vtag", e.SetCodecTag(AVMEDIA_TYPE_VIDEO, value)),
      ROW("newvideo", e.NewStreamOnLastOutput(AVMEDIA_TYPE_VIDEO)),
      ROW("qphist", e.Options.QpHist = 1),
  });
}

// Audio and subtitle options, and those the engine refuses or only logs.
void AddAudioAndOtherRows(OptionMap& table) {
  table.insert({
    {"ab", BitRate}, ROW("aframes", e.Options.MaxFrames[1] = Int(value)),
        ROW("aq", e.Options.AudioQScale = ToFloat(value)),
        ROW("ar", if (int rate = Int(value); rate > 0) e.Options.AudioSampleRate = rate),
        ROW("ac", if (int channels = Int(value); channels > 0) e.Options.AudioChannels = channels),
        ROW("an", e.Options.AudioDisable = 1),
        ROW("acodec", e.SetCodecName(AVMEDIA_TYPE_AUDIO, value)),
        ROW("atag", e.SetCodecTag(AVMEDIA_TYPE_AUDIO, value)),
        ROW("vol", e.Options.AudioVolume = Int(value)),
        ROW("newaudio", e.NewStreamOnLastOutput(AVMEDIA_TYPE_AUDIO)),
        ROW("alang", e.Options.AudioLanguage = value), ROW("sn", e.Options.SubtitleDisable = 1),
        ROW("scodec", e.SetCodecName(AVMEDIA_TYPE_SUBTITLE, value)),
        ROW("newsubtitle", e.NewStreamOnLastOutput(AVMEDIA_TYPE_SUBTITLE)),
        ROW("slang", e.Options.SubtitleLanguage = value),
        ROW("vc", e.Options.VideoChannel = Int(value)),
        ROW("tvstd", e.Options.VideoStandard = value), ROW("isync", e.Options.InputSync = 1),
        ROW("muxdelay", e.Options.MuxMaxDelay = ToFloat(value)),
        ROW("muxpreload", e.Options.MuxPreload = ToFloat(value)), {"absf", Rejected},
        {"vbsf", Rejected}, {"sbsf", Rejected}, {"apre", LogOnly}, {"vpre", LogOnly},
        {"spre", LogOnly},
  });
}

const OptionMap& OptionTable() {
  static const OptionMap table = [] {
    OptionMap rows;
    AddGeneralRows(rows);
    AddVideoRows(rows);
    AddAudioAndOtherRows(rows);
    return rows;
  }();
  return table;
}

#undef ROW

}  // namespace

TOptionDispatch::TOptionDispatch(TCustomFFmpeg& engine)
    : Options(engine.Options),
      Files(engine.Files),
      Stats(engine.Stats),
      Generic(engine.Generic),
      engine_(engine) {}

void TOptionDispatch::Dispatch(const std::string& name, const std::string& value) {
  const auto& table = OptionTable();
  auto row = table.find(name);
  if (row != table.end())
    row->second(*this, name, value);
  else
    SetGenericOption(name, value);
}

void TOptionDispatch::ApplyOptionLines(const std::string& lines) {
  for (const auto& [name, value] : SplitOptionLines(lines)) Dispatch(name, value);
}

bool TOptionDispatch::SetGenericOption(const std::string& name, const std::string& value) {
  bool debug = false;
  if (!Generic.Set(name, value, &debug)) return false;
  if (debug) SetVerbosity(2);
  return true;
}

bool TOptionDispatch::SetGenericOptionInt(const std::string& name, int value) {
  return SetGenericOption(name, std::to_string(value));
}

void TOptionDispatch::NewStreamOnLastOutput(AVMediaType type) {
  if (Files.OutputFileCount <= 0 || !Files.OutputFiles[Files.OutputFileCount - 1])
    throw FFMpegException("At least one output file must be specified");
  AVFormatContext* oc = Files.OutputFiles[Files.OutputFileCount - 1].get();
  const TSetupContext setup = engine_.SetupContext();
  if (type == AVMEDIA_TYPE_VIDEO)
    file_setup::AddVideoStream(setup, oc);
  else if (type == AVMEDIA_TYPE_AUDIO)
    file_setup::AddAudioStream(setup, oc);
  else
    file_setup::AddSubtitleStream(setup, oc);
}
