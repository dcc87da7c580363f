// Quality levels: the two visible quality lists choose, per output format, which items of the
// hidden video and audio bit-rate lists are current.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>

struct TMainSettings;

inline constexpr std::array<std::string_view, 5> QualityLevels = {"Highest", "Higher", "Normal",
                                                                  "Lower", "Lowest"};
inline constexpr int kNormalQualityIndex = 2;

// Quality levels of one format (index as in QualityLevels), as item texts without unit: video
// bit rates in Kbps (the rate cap for constant-quality formats; "0" for sound-only formats),
// sound bit rates in Kbps or bps as the format's audio list words them, or FLAC compression
// levels. ConstantQuality holds the encoder's quality number per level (lower is better) for
// constant-quality formats and 0 for the others.
struct TQualityRow {
  std::array<std::string_view, 5> Video;
  std::array<std::string_view, 5> Audio;
  std::array<int, 5> ConstantQuality{};
};

// Start of the items of a compression-level list ("Level 5").
inline constexpr std::string_view kCompressionLevelPrefix = "Level ";

// Selects in the video and audio bit-rate lists the items that the two quality lists name for
// the selected format. A number that names no item leaves that list's selection unchanged.
void ApplyQualityLevels(TMainSettings& settings);

// Hints of the quality lists: the bit rate each currently stands for, e.g. "512 Kbps".
const std::string& ComboVideoQualityHint(const TMainSettings& settings);
const std::string& ComboAudioQualityHint(const TMainSettings& settings);
