#include "ReasonText.h"

namespace {

bool IsLineBreak(char c) {
  return c == '\r' || c == '\n';
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The longest of NAMES that REST begins with, or 0.
size_t NameAt(std::string_view rest, const std::vector<std::string>& names) {
  size_t longest = 0;
  for (const std::string& name : names) {
    if (name.size() > longest && rest.starts_with(name)) longest = name.size();
  }
  return longest;
}

}  // namespace

std::string ReasonOnOneLine(std::string_view reason, const std::vector<std::string>& names) {
  std::string line;
  line.reserve(reason.size());
  size_t i = 0;
  while (i < reason.size()) {
    if (const size_t name = NameAt(reason.substr(i), names); name > 0) {
      line.append(reason.substr(i, name));
      i += name;
      continue;
    }
    if (!IsLineBreak(reason[i])) {
      line += reason[i++];
      continue;
    }
    // A line break joins the text before and after it with one space; blanks at either side
    // (an indented next line) go with it.
    while (!line.empty() && IsBlank(line.back())) line.pop_back();
    while (i < reason.size() && (IsLineBreak(reason[i]) || IsBlank(reason[i]))) ++i;
    if (!line.empty() && i < reason.size()) line += ' ';
  }
  return line;
}
