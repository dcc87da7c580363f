// A microsecond range of the source in which the frame hooks run ("start-end" of the option
// language, see ParseHookRanges). Standard library only.
#pragma once

#include <cstdint>

struct THookTimeRange {
  int64_t Start = 0;
  int64_t End = 0;
};
