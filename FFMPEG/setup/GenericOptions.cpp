#include "GenericOptions.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "FFmpegException.h"

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

}  // namespace

void TGenericOptions::Reset(int sws_flags) {
  Release();
  for (int type = 0; type < kCodecTypeCount; ++type) {
    CodecDefaults[type].reset(avcodec_alloc_context3(nullptr));
    if (CodecDefaults[type]) CodecDefaults[type]->codec_type = static_cast<AVMediaType>(type);
  }
  FormatDefaults.reset(avformat_alloc_context());
  ScalerDefaults.reset(sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P,
                                      sws_flags, nullptr, nullptr, nullptr));
}

void TGenericOptions::Release() {
  for (auto& defaults : CodecDefaults) defaults.reset();
  FormatDefaults.reset();
  ScalerDefaults.reset();
  OptionNames.clear();
  MuxerOptions.clear();
}

bool TGenericOptions::Set(const std::string& name, const std::string& value, bool* debug_on) {
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
  if (debug_on != nullptr) *debug_on = debug != 0;
  return true;
}

void TGenericOptions::ApplyTo(void* target, const void* source, int flags,
                              const TLogFunction& log) const {
  if (!target || !source) return;
  for (const auto& name : OptionNames) {
    const AVOption* option = av_opt_find(const_cast<void*>(source), name.c_str(), nullptr, 0, 0);
    if (!option || (option->flags & flags) != flags) continue;
    uint8_t* text = nullptr;
    if (const int ret = av_opt_get(const_cast<void*>(source), name.c_str(), 0, &text); ret < 0) {
      if (log) log(0, WithLibraryText("Option " + name + " could not be read", ret));
      continue;
    }
    const std::string value = text ? reinterpret_cast<const char*>(text) : "";
    av_free(text);
    if (const int ret = av_opt_set(target, name.c_str(), value.c_str(), 0); ret < 0)
      if (log) log(0, WithLibraryText("Option " + name + "=" + value + " not taken", ret));
  }
}
