#include "TextRules.h"

#include <charconv>

#include "ProfileErrors.h"

namespace {

// Removes blanks and control characters at both ends.
std::string_view Trim(std::string_view text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string LowerCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

std::string LeadingNumber(std::string_view text) {
  const std::size_t blank = text.find(' ');
  return blank == std::string_view::npos ? std::string() : std::string(text.substr(0, blank));
}

std::string KiloRule(std::string_view text) {
  return LeadingNumber(text) + "000";
}

std::string FrameSizeRule(std::string_view text) {
  const std::string_view size = text.substr(0, text.find('('));
  std::string result;
  for (char c : size) {
    if (c != ' ') result += c;
  }
  return result;
}

std::string FrameRateRule(std::string_view text) {
  if (LowerCase(Trim(text)) == "auto") return "25";
  // Empty: the engine keeps the source's frame rate.
  if (LowerCase(Trim(text)) == "original") return {};
  return LeadingNumber(text);
}

int ParseInteger(std::string_view text) {
  auto fail = [&] {
    std::string message = "'";
    message.append(text).append("' is not a valid integer value");
    return TConversionError(message);
  };
  std::string_view digits = text;
  // from_chars accepts a leading '-' but not '+'.
  if (!digits.empty() && digits.front() == '+') {
    digits.remove_prefix(1);
    if (!digits.empty() && digits.front() == '-') throw fail();
  }
  int value = 0;
  const char* end = digits.data() + digits.size();
  const auto [ptr, ec] = std::from_chars(digits.data(), end, value);
  if (digits.empty() || ec != std::errc() || ptr != end) throw fail();
  return value;
}
