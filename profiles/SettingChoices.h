// Setting choices given by name rather than by clicking: a front end without widgets (the
// command line) states the format and list items as texts, and they are applied to the setting
// model the way the main window would after it is shown.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "OptionRecords.h"

struct TMainSettings;

struct TSettingChoices {
  std::string Format = "0";  // format list index or name (see ResolveFormatChoice)
  std::string VideoQuality = "Normal";
  std::string AudioQuality = "Normal";
  std::optional<std::string> Size;       // item of the format's video size list
  std::optional<std::string> FrameRate;  // item of the format's frame-rate list
  std::optional<std::string> Channels;   // "Stereo" or "Mono"
  std::optional<std::string> Volume;     // slider position "0".."10"
};

// List index of an offered format, given as its list index or, in any letter case, its key
// ("mpeg1", "h264"), its caption, its caption without " (*.ext)", the name before " - " in its
// caption ("MP3") or its extension, when that names one format. Throws TChoiceError for a
// separator, an index outside the list, an unknown name, or a name that several formats share
// (listing them).
int ResolveFormatChoice(std::string_view text);
// Index of a quality level name (any letter case). Throws TChoiceError.
int ResolveQualityChoice(std::string_view text);
// Volume slider position 0..10 from its decimal text. Throws TChoiceError.
int ResolveVolumeChoice(std::string_view text);

// Brings a freshly initialised model (InitialiseSettingLists) to the given choices: selects the
// format and both quality levels and runs the show handler's steps (preset, quality levels),
// then selects the size, frame-rate and channel items and sets the volume. A size may also be
// given as WIDTHxHEIGHT and a frame rate by its number ("25" for "25.0 fps"). Throws
// TChoiceError naming the choice and the items on offer when a choice names no item.
void ApplySettingChoices(TMainSettings& settings, const TSettingChoices& choices);

// A reset TOutputOptions filled with the profile's part for the model (frame rate, translation,
// volume). Throws TConversionError.
TOutputOptions ProfileOutputOptions(const TMainSettings& settings);
