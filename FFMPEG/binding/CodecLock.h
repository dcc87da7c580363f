// One lock for the whole process, held around every codec open and close of every job (the
// libraries' codec opening is not safe to run on two threads at once for every codec).
#pragma once

#include <mutex>

inline std::recursive_mutex& ProcessCodecLock() {
  static std::recursive_mutex lock;
  return lock;
}
