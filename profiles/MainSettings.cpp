#include "MainSettings.h"

#include <array>
#include <string_view>

#include "FormatCatalogue.h"
#include "QualityLevels.h"
#include "VolumeLevels.h"

namespace {

using std::string_view_literals::operator""sv;

// Contents of the lists before the first preset runs. They differ from the preset lists in
// places ("10.0 fps", " Auto", "704 x 576 (CIF)"); only the presets' lists reach a job.
constexpr std::array kDesignChannels = {"Stereo"sv, "Mono"sv};
constexpr std::array kDesignSizes = {
    "Original Video Size"sv, "128 x 96   (SQCIF)"sv, "160 x 120 (QVGA)"sv, "176 x 120"sv,
    "176 x 144 (QCIF)"sv,    "192 x 144"sv,          "208 x 176"sv,        "220 x 176"sv,
    "240 x 180"sv,           "320 x 200"sv,          "320 x 240 (VGA)"sv,  "352 x 240"sv,
    "352 x 288 (CIF)"sv,     "480 x 272"sv,          "480 x 360"sv,        "480 x 480"sv,
    "480 x 576"sv,           "624 x 352"sv,          "640 x 352"sv,        "640 x 480"sv,
    "704 x 576 (CIF)"sv,     "720 x 480"sv,          "720 x 576"sv};
constexpr std::array kDesignFrameRates = {" Auto"sv,     "10.0 fps"sv,   "14.985 fps"sv,
                                          "15.0 fps"sv,  "23.976 fps"sv, "25.0 fps"sv,
                                          "29.97 fps"sv, "30.0 fps"sv};
constexpr std::array kDesignSampleRates = {"11025 Hz"sv, "12000 Hz"sv, "16000 Hz"sv, "22050 Hz"sv,
                                           "32000 Hz"sv, "44100 Hz"sv, "48000 Hz"sv};
constexpr std::array kDesignVideoCodecs = {"MPEG4"sv, "XVid"sv, "H264"sv};
constexpr std::array kDesignAudioBitrates = {"32 Kbps"sv,  "48 Kbps"sv, "56 Kbps"sv,  "64 Kbps"sv,
                                             "80 Kbps"sv,  "96 Kbps"sv, "112 Kbps"sv, "128 Kbps"sv,
                                             "160 Kbps"sv, "192 Kbps"sv};
constexpr std::array kDesignVideoBitrates = {
    "128 Kbps"sv,  "192 Kbps"sv,  "200 Kbps"sv, "216 Kbps"sv,  "384 Kbps"sv,
    "512 Kbps"sv,  "640 Kbps"sv,  "768 Kbps"sv, "1000 Kbps"sv, "1200 Kbps"sv,
    "1500 Kbps"sv, "2000 Kbps"sv, "2500 Kbps"sv};

constexpr std::array kAspectRatios = {"Original"sv, "4:3 (Standard"sv, "16:9 (Wide Screen)"sv};
constexpr std::array kZoomModes = {"None"sv, "LetterBox"sv};

}  // namespace

TMainSettings::TMainSettings()
    : ComboVideoSize(kDesignSizes, 0),
      ComboVideoFramerate(kDesignFrameRates, 0),
      ComboAudioChannels(kDesignChannels, 0),
      ComboVideoCodec(kDesignVideoCodecs, 0),
      ComboVideoBitrate(kDesignVideoBitrates, 5),
      ComboAudioBitrate(kDesignAudioBitrates, 7),
      ComboSamplingRate(kDesignSampleRates, 5) {
  ComboVideoSize.DropDownCount = 22;
}

void InitialiseSettingLists(TMainSettings& settings) {
  TrackBar1Change(settings, 5);
  FillOutputFormatList(settings);
  settings.ComboOutputFormat.DropDownCount = kDefaultDropDownCount;
  settings.ComboAspectRatio.Assign(kAspectRatios, 0);
  settings.ComboLetterBox.Assign(kZoomModes, 0);
  settings.ComboVideoQuality.Assign(QualityLevels, kNormalQualityIndex);
  settings.ComboAudioQuality.Assign(QualityLevels, kNormalQualityIndex);
}

void ApplyShownSettings(TMainSettings& settings, const TFormatChangeHooks& hooks) {
  ComboOutputFormatChange(settings, hooks);
  ApplyQualityLevels(settings);
}
