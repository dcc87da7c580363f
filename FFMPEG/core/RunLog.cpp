#include "RunLog.h"

#include <cstdarg>
#include <cstdio>

void RunLog::operator()(int level, const char* fmt, ...) const {
  if (!e_.HasLog) return;
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  std::lock_guard<std::mutex> lock(mutex_);
  e_.Log(level, buf);
}
