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

// Bit-rate numbers of one format per quality level (index as in QualityLevels), as text without
// unit: Kbps for video, Kbps or bps for audio depending on the format's audio list.
struct TQualityRow {
  std::string_view Caption;
  std::array<std::string_view, 5> Video;
  std::array<std::string_view, 5> Audio;
};

std::span<const TQualityRow> QualityTable();
const TQualityRow* FindQualityRow(std::string_view caption);

// Selects in the video and audio bit-rate lists the items that the two quality lists name for
// the selected format. A number that names no item leaves that list's selection unchanged.
void ApplyQualityLevels(TMainSettings& settings);

// Hints of the quality lists: the bit rate each currently stands for, e.g. "512 Kbps".
const std::string& ComboVideoQualityHint(const TMainSettings& settings);
const std::string& ComboAudioQualityHint(const TMainSettings& settings);
