// Named item lists the presets put into the setting lists. Texts are shown to the user as they
// are and are parsed only when a job is set up, so spacing and wording matter (for example the
// two blanks in "8000  bps").
#pragma once

#include <array>
#include <string_view>

namespace presetlists {

using std::string_view_literals::operator""sv;

inline constexpr std::array StandardSizes = {
    "Original Video Size"sv, "128 x 96 (SQCIF)"sv, "160 x 120 (QVGA)"sv, "176 x 120"sv,
    "176 x 144 (QCIF)"sv,    "192 x 144"sv,        "208 x 176"sv,        "220 x 176"sv,
    "240 x 180"sv,           "320 x 200"sv,        "320 x 240 (VGA)"sv,  "352 x 240"sv,
    "352 x 288 (CIF)"sv,     "480 x 272"sv,        "480 x 360"sv,        "480 x 480"sv,
    "480 x 576"sv,           "624 x 352"sv,        "640 x 352"sv,        "640 x 480"sv,
    "704 x 576 (4CIF)"sv,    "720 x 480"sv,        "720 x 576"sv};

inline constexpr std::array StandardVideoBitrates = {
    "192 Kbps"sv,  "200 Kbps"sv,  "216 Kbps"sv,  "384 Kbps"sv,  "512 Kbps"sv,
    "640 Kbps"sv,  "768 Kbps"sv,  "1000 Kbps"sv, "1200 Kbps"sv, "1500 Kbps"sv,
    "1600 Kbps"sv, "2000 Kbps"sv, "2500 Kbps"sv};

inline constexpr std::array AviVideoBitrates = {
    "192 Kbps"sv,  "200 Kbps"sv,  "216 Kbps"sv, "256 Kbps"sv, "384 Kbps"sv,
    "512 Kbps"sv,  "640 Kbps"sv,  "768 Kbps"sv, "800 Kbps"sv, "1000 Kbps"sv,
    "1200 Kbps"sv, "1500 Kbps"sv, "2500 Kbps"sv};

inline constexpr std::array DeviceVideoBitrates = {"512 Kbps"sv, "800 Kbps"sv, "1200 Kbps"sv,
                                                   "1500 Kbps"sv, "2500 Kbps"sv};

// The iPod's list also holds the rates of its two lowest quality levels (256 and 128 Kbps),
// which would otherwise leave the rate of the level before them selected.
inline constexpr std::array IPodVideoBitrates = {"128 Kbps"sv, "256 Kbps"sv,  "512 Kbps"sv,
                                                 "800 Kbps"sv, "1200 Kbps"sv, "1500 Kbps"sv,
                                                 "2500 Kbps"sv};

inline constexpr std::array StandardFrameRates = {"Auto"sv,       "14.985 fps"sv, "15.0 fps"sv,
                                                  "23.975 fps"sv, "25.0 fps"sv,   "29.97 fps"sv,
                                                  "30.0 fps"sv};

inline constexpr std::array StandardAudioBitrates = {
    "32 Kbps"sv,  "40 Kbps"sv,  "48 Kbps"sv,  "64 Kbps"sv,  "80 Kbps"sv,  "96 Kbps"sv, "112 Kbps"sv,
    "128 Kbps"sv, "160 Kbps"sv, "192 Kbps"sv, "224 Kbps"sv, "256 Kbps"sv, "320 Kbps"sv};

inline constexpr std::array StandardSampleRates = {"8000 Hz"sv,  "16000 Hz"sv, "22050 Hz"sv,
                                                   "32000 Hz"sv, "44100 Hz"sv, "48000 Hz"sv,
                                                   "54000 Hz"sv, "96000 Hz"sv};

inline constexpr std::array MobileSizes = {
    "128 x 96 (SQCIF)"sv, "160 x 120 (QVGA)"sv, "176 x 144 (QCIF)"sv, "208 x 176"sv,
    "220 x 176"sv,        "320 x 240 (VGA)"sv,  "352 x 288 (CIF)"sv};

inline constexpr std::array MobileVideoBitrates = {"48 Kbps"sv,  "64 Kbps"sv,  "96 Kbps"sv,
                                                   "128 Kbps"sv, "256 Kbps"sv, "512 Kbps"sv};

inline constexpr std::array MobileFrameRates = {"Auto"sv, "11 fps"sv, "14.985 fps"sv, "15 fps"sv};

// AMR bit rates are already in bit/s.
inline constexpr std::array AmrAudioBitrates = {"4750 bps"sv,  "5150 bps"sv, "5900 bps"sv,
                                                "6700 bps"sv,  "7400 bps"sv, "7950 bps"sv,
                                                "10200 bps"sv, "12200 bps"sv};

// Sample rates of the mobile formats, worded "bps"; only the leading number is read.
inline constexpr std::array AmrSampleRates = {"8000  bps"sv, "16000 bps"sv};

// Lists of the formats that keep the source's picture where "Original" is chosen.
inline constexpr std::array CurrentSizes = {"Original Video Size"sv, "3840 x 2160 (2160p)"sv,
                                            "2560 x 1440 (1440p)"sv, "1920 x 1080 (1080p)"sv,
                                            "1280 x 720 (720p)"sv,   "854 x 480 (480p)"sv,
                                            "640 x 360 (360p)"sv,    "426 x 240 (240p)"sv};

// "Original" keeps the source's frame rate.
inline constexpr std::array CurrentFrameRates = {"Original"sv, "23.976 fps"sv, "24.0 fps"sv,
                                                 "25.0 fps"sv, "29.97 fps"sv,  "30.0 fps"sv,
                                                 "50.0 fps"sv, "59.94 fps"sv,  "60.0 fps"sv};

// Rate caps of the constant-quality formats.
inline constexpr std::array CurrentVideoBitrates = {"2000 Kbps"sv, "4000 Kbps"sv, "8000 Kbps"sv,
                                                    "12000 Kbps"sv, "20000 Kbps"sv};

inline constexpr std::array CurrentSampleRates = {"44100 Hz"sv, "48000 Hz"sv};
// Opus codes at 48 kHz.
inline constexpr std::array OpusSampleRates = {"48000 Hz"sv};

// FLAC compression levels: every level is lossless; higher ones give smaller files, slower.
inline constexpr std::array FlacLevels = {"Level 0"sv, "Level 1"sv, "Level 2"sv,
                                          "Level 3"sv, "Level 4"sv, "Level 5"sv,
                                          "Level 6"sv, "Level 7"sv, "Level 8"sv};

}  // namespace presetlists
