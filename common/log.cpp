#include "common/log.h"

#include <cstdarg>
#include <cstdio>

void log_line(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vprintf(fmt, ap);
  va_end(ap);
  fflush(stdout);
}
