// --probe: placeholder until the media probe front end lands.
#include <cstdio>

#include "Commands.h"

int RunProbe(int, char**) {
  std::fputs("quorvin-convert: --probe is not available yet\n", stderr);
  return 2;
}
