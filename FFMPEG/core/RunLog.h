// The log of one run: every stage logs through it, one line at a time whichever thread logs.
#pragma once

#include <mutex>

#include "RunContext.h"

class RunLog {
 public:
  explicit RunLog(const TRunContext& context) : e_(context) {}
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Level on the engine's scale; nothing is formatted when no one listens.
  void operator()(int level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));

 private:
  const TRunContext& e_;
  mutable std::mutex mutex_;
};
