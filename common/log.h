// Progress lines on standard output. Each line is flushed at once, so that a
// log read through a pipe or a file shows every line as it happens.
#pragma once

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void log_line(const char* fmt, ...);
