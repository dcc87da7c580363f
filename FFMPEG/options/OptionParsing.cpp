#include "OptionParsing.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "FFmpegException.h"

std::string Trim(const std::string& text) {
  std::size_t first = 0, last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') --last;
  return text.substr(first, last - first);
}

bool ParseIntValue(const std::string& text, long long& value) {
  std::size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
  int base = 10;
  if (pos < text.size() && text[pos] == '$') {
    base = 16;
    ++pos;
  } else if (pos + 1 < text.size() && text[pos] == '0' &&
             (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
    base = 16;
    pos += 2;
  }
  if (pos >= text.size()) return false;
  unsigned long long magnitude = 0;
  const char* begin = text.data() + pos;
  const char* end = text.data() + text.size();
  auto [stop, ec] = std::from_chars(begin, end, magnitude, base);
  if (ec != std::errc() || stop != end) return false;
  if (negative) {
    if (magnitude > static_cast<unsigned long long>(LLONG_MAX) + 1) return false;
    value = magnitude == static_cast<unsigned long long>(LLONG_MAX) + 1
                ? LLONG_MIN
                : -static_cast<long long>(magnitude);
  } else {
    if (magnitude > static_cast<unsigned long long>(LLONG_MAX)) return false;
    value = static_cast<long long>(magnitude);
  }
  return true;
}

bool ParseFloatValue(const std::string& text, double& value) {
  std::size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
  if (pos < text.size() && text[pos] == '+') ++pos;
  if (pos >= text.size()) return false;
  double parsed = 0;
  const char* end = text.data() + text.size();
  auto [stop, ec] = std::from_chars(text.data() + pos, end, parsed);
  if (ec != std::errc() || stop != end || !std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

int ToInt(const std::string& text) {
  long long value = 0;
  if (!ParseIntValue(text, value) || value < INT_MIN || value > INT_MAX)
    throw FFMpegException(FormatText("'%s' is not a valid integer value", text));
  return static_cast<int>(value);
}

int64_t ToInt64(const std::string& text) {
  long long value = 0;
  if (!ParseIntValue(text, value))
    throw FFMpegException(FormatText("'%s' is not a valid integer value", text));
  return value;
}

float ToFloat(const std::string& text) {
  double value = 0;
  if (!ParseFloatValue(text, value) || std::fabs(value) > 3.4e38)
    throw FFMpegException(FormatText("'%s' is not a valid floating point value", text));
  return static_cast<float>(value);
}

int TextCursor::Long() {
  if (AtEnd()) return 0;
  const char* start = text_.c_str() + pos_;
  char* stop = nullptr;
  long value = std::strtol(start, &stop, 0);
  pos_ += static_cast<std::size_t>(stop - start);
  return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

double TextCursor::Double() {
  if (AtEnd()) return 0;
  const char* start = text_.c_str() + pos_;
  char* stop = nullptr;
  double value = std::strtod(start, &stop);
  pos_ += static_cast<std::size_t>(stop - start);
  return value;
}

void TextCursor::SkipOne() {
  if (!AtEnd()) ++pos_;
}

long LeadingInt(const std::string& text, std::size_t pos) {
  if (pos >= text.size()) return 0;
  return std::strtol(text.c_str() + pos, nullptr, 10);
}

std::vector<std::pair<std::string, std::string>> SplitOptionLines(const std::string& text) {
  std::string rest;
  std::string trimmed = Trim(text);
  rest.reserve(trimmed.size());
  for (std::size_t i = 0; i < trimmed.size(); ++i) {
    if (trimmed[i] == '\r') {
      rest += '\n';
      if (i + 1 < trimmed.size() && trimmed[i + 1] == '\n') ++i;
    } else {
      rest += trimmed[i];
    }
  }
  std::vector<std::pair<std::string, std::string>> lines;
  std::size_t start = 0;
  while (start < rest.size()) {
    std::size_t end = rest.find('\n', start);
    if (end == std::string::npos) end = rest.size();
    std::string line = rest.substr(start, end - start);
    std::size_t equals = line.find('=');
    if (equals == std::string::npos)
      lines.emplace_back(line, std::string());
    else
      lines.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> SplitHookCommand(const std::string& text) {
  const char separator = text.find('|') != std::string::npos ? '|' : ' ';
  std::vector<std::string> words;
  std::size_t pos = 0;
  while (pos < text.size() && words.size() < 254) {
    std::size_t end = text.find(separator, pos);
    if (end == std::string::npos) end = text.size();
    if (end > pos) words.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return words;
}

std::vector<THookTimeRange> ParseHookRanges(const std::string& text) {
  // Milliseconds -> microseconds; -1 for text that is no integer or would overflow.
  auto to_us = [](const std::string& part) -> int64_t {
    long long ms = 0;
    if (!ParseIntValue(part, ms) || ms > INT64_MAX / 1000 || ms < INT64_MIN / 1000) return -1000;
    return ms * 1000;
  };
  std::string rest = Trim(text);
  std::vector<THookTimeRange> ranges;
  ranges.reserve(static_cast<std::size_t>(std::count(rest.begin(), rest.end(), ',')) + 1);
  std::size_t pos = 0;
  while (pos < rest.size()) {
    std::size_t comma = rest.find(',', pos);
    if (comma == std::string::npos) comma = rest.size();
    std::string item = Trim(rest.substr(pos, comma - pos));
    pos = comma + 1;
    std::size_t dash = item.find('-');
    std::string start_text = Trim(item.substr(0, dash));
    std::string end_text = dash == std::string::npos ? std::string() : item.substr(dash + 1);
    THookTimeRange range{to_us(start_text), to_us(end_text)};
    if (range.End >= range.Start && range.End >= 0) ranges.push_back(range);
  }
  std::stable_sort(ranges.begin(), ranges.end(),
                   [](const THookTimeRange& a, const THookTimeRange& b) { return a.End < b.End; });
  return ranges;
}

int64_t TimestampFromDateTime(double days, int bias_minutes) {
  constexpr double kUnixEpochDay = 25569.0;  // 1970-01-01 in days since 1899-12-30
  double seconds = std::nearbyint((days - kUnixEpochDay + bias_minutes / 1440.0) * 86400.0);
  if (!(seconds > -9.2e18)) return INT64_MIN / 2;  // also NaN
  if (seconds > 9.2e18) return INT64_MAX / 2;
  return static_cast<int64_t>(seconds);
}
