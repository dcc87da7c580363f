// Settings-to-job translation: turns the setting lists of the selected format into the output
// options of one conversion job.
#pragma once

#include "OptionRecords.h"

struct TMainSettings;

// Applies the translation rule of the selected format to `options`: codecs, bit rates, sample
// rate, frame size and, depending on the rule, channels and the video-off flag. A selected
// caption with no catalogue row writes nothing. Throws TConversionError when a bit-rate or
// sample-rate text is not a number; fields written before that step keep their new values.
void TranslateSettings(const TMainSettings& settings, TOutputOptions& options);

// Engine frame rate of the selected frame-rate list item ("Auto" is 25).
std::string SelectedFrameRate(const TMainSettings& settings);

// Engine codec names of the codec list labels ("H264" -> "libx264", "mp3" -> "libmp3lame").
std::string VideoCodecName(std::string_view label);
std::string AudioCodecName(std::string_view label);

// The profile's part of a job's output options, in the order the queue fills them: frame rate,
// translation, volume. `options` is expected to be freshly reset. Throws TConversionError.
void FillProfileOptions(const TMainSettings& settings, TOutputOptions& options);
