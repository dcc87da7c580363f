#include "Presets.h"

#include <array>

#include "MainSettings.h"
#include "PresetLists.h"

namespace {

using namespace presetlists;

// Codec and single-size lists of the individual formats.
constexpr std::array kMpeg4H264 = {"MPEG4"sv, "H264"sv};
constexpr std::array kMpeg4 = {"MPEG4"sv};
constexpr std::array kMobileVideoCodecs = {"MPEG4"sv, "H263"sv, "H264"sv};
constexpr std::array kMp4VideoCodecs = {"MPEG4"sv, "H264"sv, "XVid"sv};
constexpr std::array kMpeg1Video = {"MPEG1VIDEO"sv};
constexpr std::array kMpeg2Video = {"MPEG2VIDEO"sv};
constexpr std::array kWmv2 = {"WMV2"sv};

constexpr std::array kMpeg4Aac = {"mpeg4aac"sv};
constexpr std::array kAac = {"aac"sv};
constexpr std::array kMp3 = {"mp3"sv};
constexpr std::array kAmrAndAac = {"amr_nb"sv, "mpeg4aac"sv};
constexpr std::array kAviAudioCodecs = {"pcm_s16le"sv, "mp3"sv, "mp2"sv, "ac3"sv};
constexpr std::array kMp2 = {"mp2"sv};
constexpr std::array kMp2Ac3 = {"mp2"sv, "ac3"sv};
constexpr std::array kWmav2 = {"wmav2"sv};
constexpr std::array kH264 = {"H264"sv};
constexpr std::array kHevc = {"HEVC"sv};
constexpr std::array kVp9 = {"VP9"sv};
constexpr std::array kOpus = {"opus"sv};
constexpr std::array kFlac = {"flac"sv};

// The device formats offer exactly one picture size, written without a suffix.
constexpr std::array kSize320x240 = {"320 x 240"sv};
constexpr std::array kSize480x320 = {"480 x 320"sv};
constexpr std::array kSize640x480 = {"640 x 480"sv};

constexpr TListPreset kCleared{};

constexpr TListPreset List(std::span<const std::string_view> items, std::string_view selected) {
  return {items, selected};
}

using F = TPresetFamily;

// Field order: family, variant, video codec, audio codec, video size, video bit rate,
// frame rate, audio bit rate, sample rate, channels, aspect.
const std::array kPresets = {
    TPresetRecord{F::iPod, "Normal", List(kMpeg4H264, "MPEG4"), List(kMpeg4Aac, "mpeg4aac"),
                  List(kSize320x240, "320 x 240"), List(IPodVideoBitrates, "512 Kbps"),
                  List(StandardFrameRates, "Auto"), List(StandardAudioBitrates, "64 Kbps"),
                  List(StandardSampleRates, "44100 Hz"), "", ""},
    TPresetRecord{F::iPod, "Extra", List(kMpeg4H264, "MPEG4"), List(kMpeg4Aac, "mpeg4aac"),
                  List(kSize640x480, "640 x 480"), List(DeviceVideoBitrates, "1500 Kbps"),
                  List(StandardFrameRates, "Auto"), List(StandardAudioBitrates, "64 Kbps"),
                  List(StandardSampleRates, "44100 Hz"), "", ""},
    TPresetRecord{F::iPodTouch, "Normal", List(kMpeg4, "MPEG4"), List(kMpeg4Aac, "mpeg4aac"),
                  List(kSize480x320, "480 x 320"), List(DeviceVideoBitrates, "1200 Kbps"),
                  List(StandardFrameRates, "Auto"), List(StandardAudioBitrates, "80 Kbps"),
                  List(StandardSampleRates, "44100 Hz"), "", ""},
    TPresetRecord{F::iPodTouch, "Extra", List(kMpeg4, "MPEG4"), List(kMpeg4Aac, "mpeg4aac"),
                  List(kSize640x480, "640 x 480"), List(DeviceVideoBitrates, "1500 Kbps"),
                  List(StandardFrameRates, "Auto"), List(StandardAudioBitrates, "80 Kbps"),
                  List(StandardSampleRates, "44100 Hz"), "", ""},
    TPresetRecord{F::AAC, "", kCleared, List(kAac, "aac"), kCleared, kCleared, kCleared,
                  List(StandardAudioBitrates, "128 Kbps"), List(StandardSampleRates, "48000 Hz"),
                  "Stereo", "Original"},
    TPresetRecord{F::MP3, "", kCleared, List(kMp3, "mp3"), kCleared, kCleared, kCleared,
                  List(StandardAudioBitrates, "192 Kbps"), List(StandardSampleRates, "48000 Hz"),
                  "Stereo", "Original"},
    TPresetRecord{F::M4A, "", kCleared, List(kMpeg4Aac, "mpeg4aac"), kCleared, kCleared, kCleared,
                  List(StandardAudioBitrates, "128 Kbps"), List(StandardSampleRates, "48000 Hz"),
                  "Stereo", "Original"},
    TPresetRecord{F::iPhone, "", List(kMpeg4, "MPEG4"), List(kMpeg4Aac, "mpeg4aac"),
                  List(kSize480x320, "480 x 320"), List(DeviceVideoBitrates, "1200 Kbps"),
                  List(StandardFrameRates, "Auto"), List(StandardAudioBitrates, "80 Kbps"),
                  List(StandardSampleRates, "44100 Hz"), "Stereo", "Original"},
    TPresetRecord{F::AppleTV, "", List(kMpeg4, "MPEG4"), List(kMpeg4Aac, "mpeg4aac"),
                  List(kSize640x480, "640 x 480"), List(DeviceVideoBitrates, "1500 Kbps"),
                  List(StandardFrameRates, "Auto"), List(StandardAudioBitrates, "128 Kbps"),
                  List(StandardSampleRates, "44100 Hz"), "Stereo", "Original"},
    TPresetRecord{F::Mobile3GP, "", List(kMobileVideoCodecs, "MPEG4"), List(kAmrAndAac, "amr_nb"),
                  List(MobileSizes, "176 x 144 (QCIF)"), List(MobileVideoBitrates, "128 Kbps"),
                  List(MobileFrameRates, "Auto"), List(AmrAudioBitrates, "7400 bps"),
                  List(AmrSampleRates, "8000  bps"), "Mono", ""},
    TPresetRecord{F::AVI, "normal", List(kMpeg4H264, "MPEG4"), List(kAviAudioCodecs, "pcm_s16le"),
                  List(StandardSizes, "Original Video Size"), List(AviVideoBitrates, "1200 Kbps"),
                  List(StandardFrameRates, "Auto"), List(StandardAudioBitrates, "128 Kbps"),
                  List(StandardSampleRates, "48000 Hz"), "Stereo", "Original"},
    TPresetRecord{F::AVI, "divx", List(kMpeg4, "MPEG4"), List(kMp3, "mp3"),
                  List(StandardSizes, "Original Video Size"), List(AviVideoBitrates, "1200 Kbps"),
                  List(StandardFrameRates, "Auto"), List(StandardAudioBitrates, "128 Kbps"),
                  List(StandardSampleRates, "48000 Hz"), "Stereo", "Original"},
    TPresetRecord{F::MOV, "", List(kMpeg4, "MPEG4"), List(kMpeg4Aac, "mpeg4aac"),
                  List(StandardSizes, "Original Video Size"),
                  List(StandardVideoBitrates, "1200 Kbps"), List(StandardFrameRates, "Auto"),
                  List(StandardAudioBitrates, "128 Kbps"), List(StandardSampleRates, "44100 Hz"),
                  "Stereo", "Original"},
    TPresetRecord{F::MP4, "", List(kMp4VideoCodecs, "MPEG4"), List(kMpeg4Aac, "mpeg4aac"),
                  List(StandardSizes, "Original Video Size"),
                  List(StandardVideoBitrates, "1200 Kbps"), List(StandardFrameRates, "Auto"),
                  List(StandardAudioBitrates, "128 Kbps"), List(StandardSampleRates, "44100 Hz"),
                  "Stereo", "Original"},
    TPresetRecord{F::MPEGVideo, "mpeg1", List(kMpeg1Video, "MPEG1VIDEO"), List(kMp2, "mp2"),
                  List(StandardSizes, "320 x 240 (VGA)"), List(StandardVideoBitrates, "1600 Kbps"),
                  List(StandardFrameRates, "25.0 fps"), List(StandardAudioBitrates, "192 Kbps"),
                  List(StandardSampleRates, "44100 Hz"), "Stereo", "Original"},
    TPresetRecord{F::MPEGVideo, "mpeg2", List(kMpeg2Video, "MPEG2VIDEO"), List(kMp2Ac3, "mp2"),
                  List(StandardSizes, "320 x 240 (VGA)"), List(StandardVideoBitrates, "2000 Kbps"),
                  List(StandardFrameRates, "25.0 fps"), List(StandardAudioBitrates, "192 Kbps"),
                  List(StandardSampleRates, "44100 Hz"), "Stereo", "Original"},
    TPresetRecord{F::WMV, "", List(kWmv2, "WMV2"), List(kWmav2, "wmav2"),
                  List(StandardSizes, "320 x 240 (VGA)"), List(StandardVideoBitrates, "1200 Kbps"),
                  List(StandardFrameRates, "Auto"), List(StandardAudioBitrates, "128 Kbps"),
                  List(StandardSampleRates, "48000 Hz"), "Stereo", "Original"},
    TPresetRecord{F::H264, "", List(kH264, "H264"), List(kAac, "aac"),
                  List(CurrentSizes, "Original Video Size"),
                  List(CurrentVideoBitrates, "8000 Kbps"), List(CurrentFrameRates, "Original"),
                  List(StandardAudioBitrates, "160 Kbps"), List(CurrentSampleRates, "48000 Hz"),
                  "Stereo", "Original"},
    TPresetRecord{F::HEVC, "", List(kHevc, "HEVC"), List(kAac, "aac"),
                  List(CurrentSizes, "Original Video Size"),
                  List(CurrentVideoBitrates, "8000 Kbps"), List(CurrentFrameRates, "Original"),
                  List(StandardAudioBitrates, "160 Kbps"), List(CurrentSampleRates, "48000 Hz"),
                  "Stereo", "Original"},
    TPresetRecord{F::WebM, "", List(kVp9, "VP9"), List(kOpus, "opus"),
                  List(CurrentSizes, "Original Video Size"),
                  List(CurrentVideoBitrates, "8000 Kbps"), List(CurrentFrameRates, "Original"),
                  List(StandardAudioBitrates, "128 Kbps"), List(OpusSampleRates, "48000 Hz"),
                  "Stereo", "Original"},
    TPresetRecord{F::Opus, "", kCleared, List(kOpus, "opus"), kCleared, kCleared, kCleared,
                  List(StandardAudioBitrates, "128 Kbps"), List(OpusSampleRates, "48000 Hz"),
                  "Stereo", "Original"},
    TPresetRecord{F::FLAC, "", kCleared, List(kFlac, "flac"), kCleared, kCleared, kCleared,
                  List(FlacLevels, "Level 5"), kCleared, "Stereo", "Original"},
};

void ApplyList(TSettingList& list, const TListPreset& preset) {
  if (preset.Items.empty()) {
    list.Clear();
    return;
  }
  list.Assign(preset.Items, -1);
  list.SelectText(preset.Selected);
}

}  // namespace

std::span<const TPresetRecord> PresetRecords() {
  return kPresets;
}

const TPresetRecord* FindPreset(TPresetFamily family, std::string_view variant) {
  for (const TPresetRecord& record : kPresets) {
    if (record.Family == family && record.Variant == variant) return &record;
  }
  return nullptr;
}

void ApplyPresetRecord(TMainSettings& settings, const TPresetRecord& record) {
  ApplyList(settings.ComboVideoCodec, record.VideoCodec);
  ApplyList(settings.ComboAudioCodec, record.AudioCodec);
  ApplyList(settings.ComboVideoSize, record.VideoSize);
  ApplyList(settings.ComboVideoBitrate, record.VideoBitrate);
  ApplyList(settings.ComboVideoFramerate, record.VideoFramerate);
  ApplyList(settings.ComboAudioBitrate, record.AudioBitrate);
  ApplyList(settings.ComboSamplingRate, record.SamplingRate);
  if (!record.Channels.empty()) settings.ComboAudioChannels.SelectText(record.Channels);
  if (!record.Aspect.empty()) settings.ComboAspectRatio.SelectText(record.Aspect);
}

void RunPreset(TMainSettings& settings, TPresetFamily family, std::string_view variant) {
  if (const TPresetRecord* record = FindPreset(family, variant)) {
    ApplyPresetRecord(settings, *record);
  }
}
