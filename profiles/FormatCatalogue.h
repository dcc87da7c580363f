// The output format catalogue and the output format list: captions, extensions, the preset and
// the translation rule of every offered format, and the list's selection logic.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "Presets.h"

struct TMainSettings;

enum class TTranslationRule { CommonTranslation, FixedAacTranslation, FixedAmrTranslation };

struct FormatCatalogueEntry {
  std::string_view Caption;    // exact list text; the lookup key
  std::string_view Extension;  // upper-case container extension, e.g. "MP4"
  TPresetFamily Preset;
  std::string_view Variant;  // argument of the preset family; empty for none
  TTranslationRule TranslationRule;
};

// Text of the separator rows of the format list: 14 blanks and 41 hyphens.
inline constexpr std::string_view kFormatSeparator =
    "              -----------------------------------------";
inline constexpr int kFormatListCount = 21;  // 18 formats and 3 separators
inline constexpr int kDefaultDropDownCount = 25;

// The 18 offered formats in list order.
std::span<const FormatCatalogueEntry> FormatCatalogue();
// The 21 texts of the format list, separators included, in order.
std::span<const std::string_view> OutputFormatListItems();

// Row whose caption equals `caption` (whole text, case-sensitive), or nullptr.
const FormatCatalogueEntry* FindFormat(std::string_view caption);
// The player a format's files are made for, as the engine's "device" option names it ("ipod",
// "ipodtouch", "iphone", "appletv", "3gp", "3g2", "divx"); empty for the general formats.
std::string_view FormatDevice(std::string_view caption);
// True for the three audio-only formats (AAC, MP3, M4A).
bool IsAudioFormatCaption(std::string_view caption);

// Window-side effects of a format change that live outside the setting model.
struct TFormatChangeHooks {
  // Writes the extension into the "Output" column of every file row.
  std::function<void(const std::string& extension)> SetOutputColumn;
  // Reads the configured drop-down row count; unset, throwing or below 1 gives 25.
  std::function<int()> ReadDropDownCount;
};

// Fills the format list with its 21 entries, sets its drop-down count to 21, selects index 0.
void FillOutputFormatList(TMainSettings& settings);
// Runs the preset of the selected format and sets OutputExtension; no matching row: no change.
void ApplyFormatPreset(TMainSettings& settings);
// The format list's change handler. A separator brings the previous format back and does
// nothing else; otherwise the preset runs, the Output column and drop-down count are updated,
// LastFormatIndex follows the selection and the video lists are enabled or disabled.
void ComboOutputFormatChange(TMainSettings& settings, const TFormatChangeHooks& hooks = {});
// Sets the drop-down row count as the change handler does (run when the list opens).
void ComboOutputFormatDropDown(TMainSettings& settings, const TFormatChangeHooks& hooks = {});
// Disables the video quality, size and frame-rate lists for the audio formats, enables them
// otherwise.
void UpdateVideoControls(TMainSettings& settings);
