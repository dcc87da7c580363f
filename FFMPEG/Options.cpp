// The option dispatcher: option names in the manner of FFmpeg's command-line tool (without the
// leading dash), their setters with their checks and messages, the generic option store that
// hands unnamed options to the codec, format and scaler libraries, and the target presets.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_map>

#include "Binding.h"
#include "FFmpeg.h"
#include "OptionParsing.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
}

namespace {

// Option-kind flags of the library's option tables.
constexpr int kFlagEncoding = AV_OPT_FLAG_ENCODING_PARAM;  // 1
constexpr int kFlagDecoding = AV_OPT_FLAG_DECODING_PARAM;  // 2
constexpr int kFlagAudio = AV_OPT_FLAG_AUDIO_PARAM;        // 8
constexpr int kFlagVideo = AV_OPT_FLAG_VIDEO_PARAM;        // 16
constexpr int kFlagSubtitle = AV_OPT_FLAG_SUBTITLE_PARAM;  // 32
static_assert(kFlagEncoding == 1 && kFlagDecoding == 2 && kFlagAudio == 8 && kFlagVideo == 16 &&
              kFlagSubtitle == 32);

// Kind flag per codec type (video, audio, data, subtitle, attachment); 0 matches every option.
constexpr int kKindFlags[kCodecTypeCount] = {kFlagVideo, kFlagAudio, 0, kFlagSubtitle, 0};

// Options the codec library today shares between audio and video, but that the option language
// means for video only; audio has its own names ("ab", "abt") through the a/v/s prefix rule.
bool IsVideoOnlyName(std::string_view name) {
  return name == "b" || name == "bt" || name == "maxrate" || name == "minrate" || name == "bufsize";
}

// Generic option names that the libraries have renamed; consulted only when the name itself is
// unknown to them.
std::string_view LegacyAlias(std::string_view name) {
  static const std::pair<std::string_view, std::string_view> kAliases[] = {
      {"gop", "g"},
      {"trell", "trellis"},
      {"qdiff", "max_qdiff"},
  };
  for (const auto& [old_name, new_name] : kAliases)
    if (old_name == name) return new_name;
  return {};
}

bool IsBlank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// True when some muxer's own option set has an option of that name.
bool IsMuxerOption(const std::string& name) {
  void* iterator = nullptr;
  while (const AVOutputFormat* format = av_muxer_iterate(&iterator)) {
    if (!format->priv_class) continue;
    const AVClass* cls = format->priv_class;
    if (av_opt_find(&cls, name.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ)) return true;
  }
  return false;
}

constexpr const char* kSideNames[] = {"Top", "Bottom", "Left", "Right"};

// The library name of a format option's value: "pgmyuv" is read and written as "image2" with the
// PGM-YUV quirk switched on.
std::string LibraryFormatName(TCustomFFmpeg& e, const std::string& name) {
  if (name != "pgmyuv") return name;
  e.Options.PgmYuvHack = 1;
  e.Log(1, "pgmyuv format is deprecated, use image2");
  return "image2";
}

}  // namespace

// ---- Generic options --------------------------------------------------------------------------

bool TCustomFFmpeg::SetGenericOption(const std::string& name, const std::string& value) {
  if (IsBlank(name) || IsBlank(value)) return false;

  // Sets the value on one defaults object whose option set knows the name.
  auto set_if_known = [&](void* defaults, const std::string& lib_name) {
    return defaults && av_opt_find(defaults, lib_name.c_str(), nullptr, 0, 0) &&
           av_opt_set(defaults, lib_name.c_str(), value.c_str(), 0) >= 0;
  };

  // Tries the name as the libraries know it today; true when some defaults object took it.
  auto try_set = [&](const std::string& lib_name) -> bool {
    bool set = false;
    if (CodecDefaults[0]) {
      for (int type = 0; type < kCodecTypeCount; ++type) {
        if (!CodecDefaults[type]) continue;
        if (type == AVMEDIA_TYPE_AUDIO && IsVideoOnlyName(lib_name)) continue;
        int kind = kKindFlags[type];
        if (!av_opt_find(CodecDefaults[0].get(), lib_name.c_str(), nullptr, kind, 0)) continue;
        if (av_opt_set(CodecDefaults[type].get(), lib_name.c_str(), value.c_str(), 0) >= 0)
          set = true;
      }
    }
    return set || set_if_known(FormatDefaults.get(), lib_name) ||
           set_if_known(ScalerDefaults.get(), lib_name);
  };

  std::string stored;
  if (try_set(name)) {
    stored = name;
  } else if (std::string_view alias = LegacyAlias(name);
             !alias.empty() && try_set(std::string(alias))) {
    stored = std::string(alias);
  } else if (name.size() > 1 && (name[0] == 'a' || name[0] == 'v' || name[0] == 's')) {
    // "ab" is the audio context's "b", "vb" the video context's, "sflags" the subtitle one's.
    int type = name[0] == 'a'   ? AVMEDIA_TYPE_AUDIO
               : name[0] == 'v' ? AVMEDIA_TYPE_VIDEO
                                : AVMEDIA_TYPE_SUBTITLE;
    std::string rest = name.substr(1);
    if (std::string_view alias = LegacyAlias(rest);
        !alias.empty() && CodecDefaults[type] &&
        !av_opt_find(CodecDefaults[type].get(), rest.c_str(), nullptr, 0, 0))
      rest = std::string(alias);
    if (set_if_known(CodecDefaults[type].get(), rest)) stored = rest;
  }
  if (stored.empty()) {
    if (!IsMuxerOption(name)) return false;
    MuxerOptions.emplace_back(name, value);
    return true;
  }
  OptionNames.push_back(stored);

  int64_t debug = 0;
  if (CodecDefaults[0]) av_opt_get_int(CodecDefaults[0].get(), "debug", 0, &debug);
  if (debug == 0 && FormatDefaults) debug = FormatDefaults->debug;
  if (debug != 0) SetVerbosity(2);
  return true;
}

bool TCustomFFmpeg::SetGenericOptionInt(const std::string& name, int value) {
  return SetGenericOption(name, std::to_string(value));
}

void TCustomFFmpeg::ApplyGenericOptions(void* target, const void* source, int flags) {
  if (!target || !source) return;
  for (const auto& name : OptionNames) {
    const AVOption* option = av_opt_find(const_cast<void*>(source), name.c_str(), nullptr, 0, 0);
    if (!option || (option->flags & flags) != flags) continue;
    uint8_t* text = nullptr;
    if (av_opt_get(const_cast<void*>(source), name.c_str(), 0, &text) < 0) continue;
    av_opt_set(target, name.c_str(), reinterpret_cast<const char*>(text), 0);
    av_free(text);
  }
}

// ---- Typed setters -----------------------------------------------------------------------------

void TCustomFFmpeg::SetInputFormat(const std::string& name) {
  if (name.empty()) return;
  std::string format = LibraryFormatName(*this, name);
  Options.InputFormat = av_find_input_format(format.c_str());
  if (!Options.InputFormat) throw FFMpegException(FormatText("Unknown input format: %s", name));
}

void TCustomFFmpeg::SetOutputFormat(const std::string& name) {
  if (name.empty()) return;
  std::string format = LibraryFormatName(*this, name);
  Options.OutputFormat = av_guess_format(format.c_str(), nullptr, nullptr);
  if (!Options.OutputFormat) throw FFMpegException(FormatText("Unknown output format: %s", name));
}

void TCustomFFmpeg::SetFrameRate(const std::string& text) {
  if (text.empty()) return;
  AVRational rate{0, 0};
  if (av_parse_video_rate(&rate, text.c_str()) < 0) throw FFMpegException("Incorrect frame rate");
  Options.FrameRate = rate;
}

void TCustomFFmpeg::SetFrameSize(const std::string& text) {
  if (text.empty()) return;
  int width = 0, height = 0;
  if (av_parse_video_size(&width, &height, text.c_str()) < 0)
    throw FFMpegException("Incorrect frame size");
  Options.FrameWidth = width;
  Options.FrameHeight = height;
  if (width % 2 != 0 || height % 2 != 0)
    throw FFMpegException("Frame size must be a multiple of 2");
}

void TCustomFFmpeg::SetAspect(const std::string& text) {
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

void TCustomFFmpeg::SetCrop(TSide side, int pixels) {
  if (pixels < 0) return;
  if (pixels % 2 != 0)
    throw FFMpegException(std::string(kSideNames[side]) + " crop size must be a multiple of 2");
  if (side == sdTop || side == sdBottom) {
    if (pixels >= Options.FrameHeight)
      throw FFMpegException(
          "Vertical crop dimensions are outside the range of the original image.\n"
          "Remember to crop first and scale second.");
    (side == sdTop ? Options.CropTop : Options.CropBottom) = pixels;
    Options.FrameHeight -= pixels;
  } else {
    if (pixels >= Options.FrameWidth)
      throw FFMpegException(
          "Horizontal crop dimensions are outside the range of the original image.\n"
          "Remember to crop first and scale second.");
    (side == sdLeft ? Options.CropLeft : Options.CropRight) = pixels;
    Options.FrameWidth -= pixels;
  }
}

void TCustomFFmpeg::SetPad(TSide side, int pixels) {
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

void TCustomFFmpeg::SetDevice(const std::string& name) {
  if (!ParseDeviceTarget(name, Options.Device))
    throw FFMpegException("Unknown device '" + name + "'");
}

void TCustomFFmpeg::SetPadColor(uint32_t bgr) {
  int r = bgr & 0xFF, g = (bgr >> 8) & 0xFF, b = (bgr >> 16) & 0xFF;
  // Fixed-point BT.601 with 10 fractional bits; the shifts of negative sums round down.
  Options.PadColor[0] = (307 * r + 602 * g + 117 * b + 512) >> 10;
  Options.PadColor[1] = (((-173 * r - 340 * g + 512 * b + 511) >> 10) + 128) & 0xFF;
  Options.PadColor[2] = (((512 * r - 429 * g - 84 * b + 511) >> 10) + 128) & 0xFF;
}

void TCustomFFmpeg::SetCodecName(AVMediaType type, const std::string& name) {
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

void TCustomFFmpeg::SetCodecTag(AVMediaType type, const std::string& four_chars) {
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

void TCustomFFmpeg::SetQScale(float qscale) {
  if (!(qscale > 0.0f) || qscale > 255.0f) throw FFMpegException("qscale must be > 0.0 and <= 255");
  Options.VideoQScale = qscale;
}

void TCustomFFmpeg::SetRecordingTimeMs(int64_t duration_ms) {
  if (duration_ms <= 0) return;
  Options.RecordingTimeUs = duration_ms * 1000;
  Options.TotalDurationMs = static_cast<int>(std::min<int64_t>(duration_ms, INT_MAX));
}

// ---- Target presets ----------------------------------------------------------------------------

void TCustomFFmpeg::TargetPreset(const std::string& type, const std::string& norm,
                                 const std::string& default_norm) {
  enum { kPal, kNtsc, kFilm } standard;
  if (norm == "pal") {
    standard = kPal;
  } else if (norm == "ntsc") {
    standard = kNtsc;
  } else if (norm == "film") {
    standard = kFilm;
  } else {
    if (Options.FrameRate.den == 0) throw FFMpegException("frame_rate is invalid.");
    int found = -1;  // -1 undecided
    auto classify = [&](int64_t milli_fps) {
      if (milli_fps == 25000) return static_cast<int>(kPal);
      if (milli_fps == 29970 || milli_fps == 23976) return static_cast<int>(kNtsc);
      return -1;
    };
    found = classify(std::llround(Options.FrameRate.num * 1000.0 / Options.FrameRate.den));
    for (int f = 0; found < 0 && f < Files.InputFileCount; ++f) {
      if (!Files.InputFiles[f]) continue;
      for (unsigned s = 0; found < 0 && s < Files.InputFiles[f]->nb_streams; ++s) {
        const AVStream* stream = Files.InputFiles[f]->streams[s];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        AVRational rate =
            stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
        if (rate.num <= 0 || rate.den <= 0) continue;
        found = classify(std::llround(rate.num * 1000.0 / rate.den));
      }
    }
    if (found >= 0) {
      standard = found == kPal ? kPal : kNtsc;
      if (Options.Verbosity > 0)
        Log(1, FormatText("Assuming %s for target.", standard == kPal ? "PAL" : "NTSC"));
    } else {
      standard = default_norm == "film" ? kFilm : default_norm == "ntsc" ? kNtsc : kPal;
    }
  }
  const bool ntsc_sizes = standard != kPal;
  const char* rate = standard == kPal ? "25" : standard == kNtsc ? "30000/1001" : "24000/1001";
  const char* gop = ntsc_sizes ? "18" : "15";

  if (type == "vcd") {
    SetCodecName(AVMEDIA_TYPE_VIDEO, "mpeg1video");
    SetCodecName(AVMEDIA_TYPE_AUDIO, "mp2");
    SetOutputFormat("vcd");
    SetFrameSize(ntsc_sizes ? "352x240" : "352x288");
    SetFrameRate(rate);
    SetGenericOption("gop", gop);
    SetGenericOption("b", "1150000");
    SetGenericOption("maxrate", "1150000");
    SetGenericOption("minrate", "1150000");
    SetGenericOption("bufsize", "327680");
    SetGenericOption("ab", "224000");
    Options.AudioSampleRate = 44100;
    Options.AudioChannels = 2;
    SetGenericOption("packetsize", "2324");
    SetGenericOption("muxrate", "1411200");
    Options.MuxPreload = 0.44f;
    if (Options.FrameAspectRatio == 0) SetAspect("4:3");
  } else if (type == "svcd") {
    SetCodecName(AVMEDIA_TYPE_VIDEO, "mpeg2video");
    SetCodecName(AVMEDIA_TYPE_AUDIO, "mp2");
    SetOutputFormat("svcd");
    SetFrameSize(ntsc_sizes ? "480x480" : "480x576");
    SetFrameRate(rate);
    SetGenericOption("gop", gop);
    SetGenericOption("b", "2040000");
    SetGenericOption("maxrate", "2516000");
    SetGenericOption("minrate", "0");
    SetGenericOption("bufsize", "1835008");
    SetGenericOption("flags", "+SCAN_OFFSET");
    SetGenericOption("ab", "224000");
    Options.AudioSampleRate = 44100;
    SetGenericOption("packetsize", "2324");
    if (Options.AudioChannels == 1) Options.AudioChannels = 2;
    if (Options.FrameAspectRatio == 0) SetAspect("4:3");
  } else if (type == "dvd") {
    SetCodecName(AVMEDIA_TYPE_VIDEO, "mpeg2video");
    SetCodecName(AVMEDIA_TYPE_AUDIO, "ac3");
    SetOutputFormat("dvd");
    SetFrameSize(ntsc_sizes ? "720x480" : "720x576");
    SetFrameRate(rate);
    SetGenericOption("gop", gop);
    SetGenericOption("b", "6000000");
    SetGenericOption("maxrate", "9000000");
    SetGenericOption("minrate", "0");
    SetGenericOption("bufsize", "1835008");
    SetGenericOption("packetsize", "2048");
    SetGenericOption("muxrate", "10080000");
    SetGenericOption("ab", "448000");
    Options.AudioSampleRate = 48000;
    if (Options.AudioChannels == 1) Options.AudioChannels = 2;
    if (Options.FrameAspectRatio == 0) SetAspect("16:9");
  } else if (type == "dv" || type == "dv50") {
    SetOutputFormat("dv");
    SetFrameSize(ntsc_sizes ? "720x480" : "720x576");
    Options.FramePixFmt = av_get_pix_fmt(type == "dv50" ? "yuv422p"
                                         : ntsc_sizes   ? "yuv411p"
                                                        : "yuv420p");
    SetFrameRate(rate);
    Options.AudioSampleRate = 48000;
    Options.AudioChannels = 2;
  } else {
    throw FFMpegException("Unknown target type");
  }
}

// ---- The dispatcher ----------------------------------------------------------------------------

namespace {

using Handler = void (*)(TCustomFFmpeg&, const std::string& name, const std::string& value);

void LogOnly(TCustomFFmpeg& e, const std::string& name, const std::string&) {
  e.Log(1, "Do nothing: option - " + name);
}

void Rejected(TCustomFFmpeg&, const std::string& name, const std::string&) {
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

void BitRate(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
  if (name.empty() || value.empty()) return;
  if (!e.SetGenericOption(name, value) || !e.OnLog) return;
  int type = name[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
  int64_t bit_rate = 0;
  if (e.CodecDefaults[type] &&
      av_opt_get_int(e.CodecDefaults[type].get(), "b", 0, &bit_rate) >= 0 && bit_rate < 1000)
    e.Log(1,
          "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, "
          "not kbits/s");
}

void Map(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  if (e.Files.StreamMapCount >= kMaxStreamMaps)
    throw FFMpegException(FormatText("Too many stream maps (at most %d)", kMaxStreamMaps));
  TextCursor cursor(value);
  StreamMapEntry entry;
  entry.FileIndex = cursor.Long();
  cursor.SkipOne();
  entry.StreamIndex = cursor.Long();
  if (!cursor.AtEnd()) {
    cursor.SkipOne();
    entry.SyncFileIndex = cursor.Long();
    cursor.SkipOne();
    entry.SyncStreamIndex = cursor.Long();
  } else {
    entry.SyncFileIndex = entry.FileIndex;
    entry.SyncStreamIndex = entry.StreamIndex;
  }
  e.Files.StreamMaps[e.Files.StreamMapCount++] = entry;
}

void MapMetaData(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  if (e.Files.MetaDataMapCount >= kMaxMetaDataMaps)
    throw FFMpegException(FormatText("Too many meta-data maps (at most %d)", kMaxMetaDataMaps));
  TextCursor cursor(value);
  MetaDataMapEntry entry;
  entry.OutFile = cursor.Long();
  cursor.SkipOne();
  entry.InFile = cursor.Long();
  e.Files.MetaDataMaps[e.Files.MetaDataMapCount++] = entry;
}

void ItsScale(TCustomFFmpeg& e, const std::string&, const std::string& value) {
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

void VStats(TCustomFFmpeg& e, const std::string&, const std::string&) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[16];
  std::snprintf(stamp, sizeof(stamp), "%02d%02d%02d", local.tm_hour, local.tm_min, local.tm_sec);
  e.Options.VStatsFileName = ProgramFolder() + "vstats_" + stamp + ".log";
}

void VHook(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  std::vector<std::string> words = SplitHookCommand(value);
  if (AddFrameHook(e.Files.FrameHooks, words) != 0)
    throw FFMpegException("Failed to add video hook function: " + value);
  e.Stats.UsingFrameHook = true;
}

void PixFmt(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  if (value != "list") {
    e.Options.FramePixFmt = av_get_pix_fmt(value.c_str());
    return;
  }
  if (!e.OnLog) return;
  e.Log(1, "name       nb_components bits_per_pixel");
  for (int i = 0; i < 40; ++i) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(i));
    if (!desc) break;
    e.Log(1, FormatText("%-11s %7d %10d", desc->name, desc->nb_components,
                        av_get_bits_per_pixel(desc)));
  }
}

void Target(TCustomFFmpeg& e, const std::string&, const std::string& value) {
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

void Pass(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  int pass = Int(value);
  if (pass != 1 && pass != 2) throw FFMpegException("pass number can be only 1 or 2");
  e.Options.DoPass = pass;
}

void AspectRow(TCustomFFmpeg& e, const std::string&, const std::string& v) {
  e.SetAspect(v);
}

TCustomFFmpeg::TSide SideOf(const std::string& name) {
  if (name.ends_with("top")) return TCustomFFmpeg::sdTop;
  if (name.ends_with("bottom")) return TCustomFFmpeg::sdBottom;
  if (name.ends_with("left")) return TCustomFFmpeg::sdLeft;
  return TCustomFFmpeg::sdRight;
}

// A table row whose handler is written in place; a body need not use every parameter.
#define ROW(option, body)                                                                   \
  {                                                                                         \
    option, []([[maybe_unused]] TCustomFFmpeg& e, [[maybe_unused]] const std::string& name, \
               [[maybe_unused]] const std::string& value) { body; }                         \
  }

const std::unordered_map<std::string_view, Handler>& OptionTable() {
  static const std::unordered_map<std::string_view, Handler> table = {
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
    ROW("vsync", e.Options.VideoSyncMethod = Int(value)),
    ROW("async", e.Options.AudioSyncMethod = Int(value)),
    ROW("adrift_threshold", e.Options.AudioDriftThreshold = ToFloat(value)),
    ROW("vglobal", e.Options.VideoGlobalHeader = Int(value)),
    ROW("copyts", e.Options.CopyTs = true),
    ROW("shortest", e.Options.Shortest = 1),
    ROW("dts_delta_threshold", e.Options.DtsDeltaThreshold = ToFloat(value)),
    ROW("programid", e.Options.ProgramId = Int(value)),
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
    {"ab", BitRate},
    ROW("aframes", e.Options.MaxFrames[1] = Int(value)),
    ROW("aq", e.Options.AudioQScale = ToFloat(value)),
    ROW("ar", if (int rate = Int(value); rate > 0) e.Options.AudioSampleRate = rate),
    ROW("ac", if (int channels = Int(value); channels > 0) e.Options.AudioChannels = channels),
    ROW("an", e.Options.AudioDisable = 1),
    ROW("acodec", e.SetCodecName(AVMEDIA_TYPE_AUDIO, value)),
    ROW("atag", e.SetCodecTag(AVMEDIA_TYPE_AUDIO, value)),
    ROW("vol", e.Options.AudioVolume = Int(value)),
    ROW("newaudio", e.NewStreamOnLastOutput(AVMEDIA_TYPE_AUDIO)),
    ROW("alang", e.Options.AudioLanguage = value),
    ROW("sn", e.Options.SubtitleDisable = 1),
    ROW("scodec", e.SetCodecName(AVMEDIA_TYPE_SUBTITLE, value)),
    ROW("newsubtitle", e.NewStreamOnLastOutput(AVMEDIA_TYPE_SUBTITLE)),
    ROW("slang", e.Options.SubtitleLanguage = value),
    ROW("vc", e.Options.VideoChannel = Int(value)),
    ROW("tvstd", e.Options.VideoStandard = value),
    ROW("isync", e.Options.InputSync = 1),
    ROW("muxdelay", e.Options.MuxMaxDelay = ToFloat(value)),
    ROW("muxpreload", e.Options.MuxPreload = ToFloat(value)),
    {"absf", Rejected},
    {"vbsf", Rejected},
    {"sbsf", Rejected},
    {"apre", LogOnly},
    {"vpre", LogOnly},
    {"spre", LogOnly},
  };
  return table;
}

#undef ROW

}  // namespace

void TCustomFFmpeg::Dispatch(const std::string& name, const std::string& value) {
  const auto& table = OptionTable();
  auto row = table.find(name);
  if (row != table.end())
    row->second(*this, name, value);
  else
    SetGenericOption(name, value);
}

void TCustomFFmpeg::ApplyOptionLines(const std::string& lines) {
  for (const auto& [name, value] : SplitOptionLines(lines)) Dispatch(name, value);
}

void TCustomFFmpeg::NewStreamOnLastOutput(AVMediaType type) {
  if (Files.OutputFileCount <= 0 || !Files.OutputFiles[Files.OutputFileCount - 1])
    throw FFMpegException("At least one output file must be specified");
  AVFormatContext* oc = Files.OutputFiles[Files.OutputFileCount - 1].get();
  if (type == AVMEDIA_TYPE_VIDEO)
    NewVideoStream(oc);
  else if (type == AVMEDIA_TYPE_AUDIO)
    NewAudioStream(oc);
  else
    NewSubtitleStream(oc);
}
