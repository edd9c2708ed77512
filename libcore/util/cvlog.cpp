#include "util/cvlog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {
std::atomic<bool> cvlog_silent{false};
}

void cvlog_set_silent(bool silent) { cvlog_silent.store(silent); }

void cvlog_send(int type, const char* format, ...) {
  if (type != CVLOG_MESSAGE && type != CVLOG_REMOTEADMIN && type != CVLOG_ERROR) return;
  if (cvlog_silent.load(std::memory_order_relaxed)) return;
  va_list ap;
  va_start(ap, format);
  vfprintf(stderr, format, ap);
  va_end(ap);
}
