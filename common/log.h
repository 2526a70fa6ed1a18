// Progress lines on standard output. Each line is flushed at once, so that a
// log read through a pipe or a file shows every line as it happens; unless
// lines are held (log_hold_lines), which the server does: its lines then
// wait in the stream's buffer until log_flush, which its poll loop calls
// before it waits, or until the buffer is full. A busy server so writes its
// log in a few large writes instead of a write per line.
#pragma once

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void log_line(const char* fmt, ...);

void log_hold_lines(bool hold);
// Writes the lines held so far.
void log_flush();
