// The output format catalogue: one table row per offered format, in list order, holding all
// that the profile model knows of it (key, caption, extension, group, preset, translation rule,
// device limits, sound-only flag, quality levels). The output format list, its separators and
// every per-format lookup are derived from that table; the list's selection logic lives here too.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "Presets.h"
#include "QualityLevels.h"

struct TMainSettings;

enum class TTranslationRule {
  CommonTranslation,
  FixedAacTranslation,
  FixedAmrTranslation,
  // Constant quality with a rate cap; "Original" sizes and frame rates keep the source's.
  ConstantQualityTranslation,
  // Sound only at a bit rate; the frame lists play no part.
  SoundTranslation,
  // Lossless sound at a compression level; the source's sample rate (and channels for "Stereo").
  LosslessTranslation,
};

// Consecutive rows of one group are listed together; a separator row stands between groups.
enum class TFormatGroup { Ipod, Sound, Apple, Video, Current };

struct FormatCatalogueEntry {
  std::string_view Key;        // stable name for the command line and settings, e.g. "mpeg1"
  std::string_view Caption;    // exact list text
  std::string_view Extension;  // upper-case container extension, e.g. "MP4"
  TFormatGroup Group;
  TPresetFamily Preset;
  std::string_view Variant;  // argument of the preset family; empty for none
  TTranslationRule TranslationRule;
  // The player or encoder limits the engine applies ("device" option): "ipod", "3gp", "h264",
  // ...; empty for formats without any.
  std::string_view Device;
  bool SoundOnly;  // no video stream; the video lists are disabled
  TQualityRow Quality;
};

// Text of the separator rows of the format list: 14 blanks and 41 hyphens.
inline constexpr std::string_view kFormatSeparator =
    "              -----------------------------------------";
inline constexpr int kDefaultDropDownCount = 25;

// The offered formats in list order.
std::span<const FormatCatalogueEntry> FormatCatalogue();
// The texts of the format list, separators included, in order. The index of a format in this
// list is stored in settings and given on the command line, so rows are only ever appended.
std::span<const std::string_view> OutputFormatListItems();
// Number of entries of the format list (formats and separators).
int FormatListCount();

// Row whose caption equals `caption` (whole text, case-sensitive), or nullptr.
const FormatCatalogueEntry* FindFormat(std::string_view caption);
// Row of a format list index, or nullptr for a separator or an index outside the list.
const FormatCatalogueEntry* FormatAtListIndex(int index);
// Row of the selected item of the format list, or nullptr (separator, unknown text).
const FormatCatalogueEntry* SelectedFormat(const TMainSettings& settings);

// Window-side effects of a format change that live outside the setting model.
struct TFormatChangeHooks {
  // Writes the extension into the "Output" column of every file row.
  std::function<void(const std::string& extension)> SetOutputColumn;
  // Reads the configured drop-down row count; unset, throwing or below 1 gives 25.
  std::function<int()> ReadDropDownCount;
};

// Fills the format list with all its entries, sets its drop-down count to their number,
// selects index 0.
void FillOutputFormatList(TMainSettings& settings);
// Runs the preset of the selected format and sets OutputExtension; no matching row: no change.
void ApplyFormatPreset(TMainSettings& settings);
// The format list's change handler. A separator brings the previous format back and does
// nothing else; otherwise the preset runs, the Output column and drop-down count are updated,
// LastFormatIndex follows the selection and the video lists are enabled or disabled.
void ComboOutputFormatChange(TMainSettings& settings, const TFormatChangeHooks& hooks = {});
// Sets the drop-down row count as the change handler does (run when the list opens).
void ComboOutputFormatDropDown(TMainSettings& settings, const TFormatChangeHooks& hooks = {});
// Disables the video quality, size and frame-rate lists for the sound-only formats, enables
// them otherwise.
void UpdateVideoControls(TMainSettings& settings);
