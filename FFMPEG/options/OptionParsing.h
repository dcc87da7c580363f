// Text rules of the option language: number conversions with their error texts, option lines,
// the frame-hook command, hook time ranges and record timestamps. Pure functions, no engine
// state, so they can be tested and fuzzed on their own.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "HookTimeRange.h"

// printf-style formatting where std::string arguments stand for "%s".
template <typename... Args>
std::string FormatText(const char* format, const Args&... args) {
  auto pass = [](const auto& arg) {
    if constexpr (std::is_same_v<std::decay_t<decltype(arg)>, std::string>)
      return arg.c_str();
    else
      return arg;
  };
  int size = std::snprintf(nullptr, 0, format, pass(args)...);
  if (size <= 0) return std::string();
  std::string text(static_cast<std::size_t>(size), '\0');
  std::snprintf(text.data(), text.size() + 1, format, pass(args)...);
  return text;
}

// Removes every character up to and including the blank from both ends.
std::string Trim(const std::string& text);

// Whole-text numbers: optional leading blanks, optional sign, then decimal digits, or
// hexadecimal digits after "0x" or "$". Return false for anything else or out of range.
bool ParseIntValue(const std::string& text, long long& value);
bool ParseFloatValue(const std::string& text, double& value);

// The same, raising FFMpegException "'%s' is not a valid integer value" (or "... floating point
// value") for malformed text and values outside the target type.
int ToInt(const std::string& text);
int64_t ToInt64(const std::string& text);
float ToFloat(const std::string& text);

// Reads numbers from the front of a text the way strtol / strtod do: leading blanks skipped, as
// many characters as form a number; nothing is consumed (and 0 returned) when none does.
class TextCursor {
 public:
  explicit TextCursor(const std::string& text) : text_(text) {}
  // Integer with base detection (0x hexadecimal, leading 0 octal, else decimal), clamped to int.
  int Long();
  double Double();
  // Skips one character (a separator), if any is left.
  void SkipOne();
  bool AtEnd() const { return pos_ >= text_.size(); }

 private:
  const std::string& text_;
  std::size_t pos_ = 0;
};

// Decimal integer at pos (leading blanks and a sign allowed; 0 when there are no digits).
long LeadingInt(const std::string& text, std::size_t pos);

// Option lines: trimmed, line breaks (CR LF, CR, LF) unified, one "name=value" per line; a line
// without "=" is a name with an empty value. Names and values are not trimmed.
std::vector<std::pair<std::string, std::string>> SplitOptionLines(const std::string& text);

// Words of a frame-hook command: split at "|" when the text holds one, else at blanks; empty
// words are skipped; at most 254 words.
std::vector<std::string> SplitHookCommand(const std::string& text);

// "start-end,start-end,..." in milliseconds -> microsecond ranges with end >= start and
// end >= 0, sorted by end. Malformed items are dropped.
std::vector<THookTimeRange> ParseHookRanges(const std::string& text);

// Whole seconds since 1970-01-01 UTC of a local date-time given in days since 1899-12-30;
// bias_minutes is the standard time-zone bias (UTC = local time + bias).
int64_t TimestampFromDateTime(double days, int bias_minutes);
