// --list-formats and --show-options.
#include <cstdio>

#include "Commands.h"

int RunListFormats(int, char**) {
  std::fputs("quorvin-convert: --list-formats is not available yet\n", stderr);
  return 2;
}

int RunShowOptions(int, char**) {
  std::fputs("quorvin-convert: --show-options is not available yet\n", stderr);
  return 2;
}
