// Rules that turn setting-list display texts into engine values.
#pragma once

#include <string>
#include <string_view>

// The part of the text before its first blank ("512 Kbps" -> "512"); a text without a blank,
// the empty text included, gives the empty text.
std::string LeadingNumber(std::string_view text);

// LeadingNumber followed by "000" ("512 Kbps" -> "512000"; the empty text -> "000").
std::string KiloRule(std::string_view text);

// The text before its first "(", without any blank ("320 x 240 (VGA)" -> "320x240").
std::string FrameSizeRule(std::string_view text);

// Engine frame rate of a frame-rate list text: "Auto" (any case, surrounding blanks ignored)
// means 25 frames per second; anything else gives its LeadingNumber ("29.97 fps" -> "29.97").
std::string FrameRateRule(std::string_view text);

// ASCII lower case (codec labels and keywords are plain ASCII).
std::string LowerCase(std::string_view text);

// Decimal integer value of the whole text (optional sign, digits only, within int range).
// Throws TConversionError otherwise.
int ParseInteger(std::string_view text);
