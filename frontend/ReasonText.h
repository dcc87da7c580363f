// How the front ends show a reason: the text of a failure or of a warning that the engine or
// the codec libraries give. No widget code.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// REASON on one line: each line break, with the blanks around it, becomes one space, so that a
// text written over several lines ("I/O error occurred\r\nUsually that means ...") reads as one
// sentence. Where REASON quotes one of NAMES (the file names the caller knows it may hold),
// the name is kept as it is: a line break in a file name stays a part of the name, for the
// caller to show as such.
std::string ReasonOnOneLine(std::string_view reason, const std::vector<std::string>& names = {});
