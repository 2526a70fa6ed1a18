#include "common/log.h"

#include <cstdarg>
#include <cstdio>

namespace {

bool g_hold = false;

}  // namespace

void log_line(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vprintf(fmt, ap);
  va_end(ap);
  if (!g_hold) fflush(stdout);
}

void log_hold_lines(bool hold) { g_hold = hold; }

void log_flush() { fflush(stdout); }
