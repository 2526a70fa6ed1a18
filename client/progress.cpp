#include "client/progress.h"

#include <cinttypes>
#include <cstdio>

#include "common/interrupt.h"
#include "platform/plat.h"

namespace {

constexpr uint64_t kRedrawMs = 250;
constexpr uint64_t kTerminalDelayMs = 1000;

void format_duration(char* out, size_t n, double secs) {
  uint64_t s = secs < 0 ? 0 : uint64_t(secs + 0.5);
  if (s >= 3600) {
    snprintf(out, n, "%" PRIu64 ":%02u:%02u", s / 3600, unsigned(s / 60 % 60), unsigned(s % 60));
  } else {
    snprintf(out, n, "%u:%02u", unsigned(s / 60), unsigned(s % 60));
  }
}

void draw(Progress* p, uint64_t done, const char* name, uint64_t now) {
  if (p->total > 0 && done > p->total) done = p->total;  // command headers count too
  double secs = double(now - p->started_ms) / 1000.0;
  double rate = secs > 0 ? double(done) / secs : 0.0;
  char left[32] = "?";
  if (p->total > 0 && rate > 0) {
    format_duration(left, sizeof left, double(p->total - done) / rate);
  }
  char line[512];
  int n;
  if (p->total > 0) {
    n = snprintf(line, sizeof line, "%s: %.1f of %.1f MB (%u%%), %.1f MB/s, %s left, %s", p->tool,
                 double(done) / 1e6, double(p->total) / 1e6,
                 unsigned(done >= p->total ? 100 : done * 100 / p->total), rate / 1e6, left, name);
  } else {
    n = snprintf(line, sizeof line, "%s: %.1f MB, %.1f MB/s, %s", p->tool, double(done) / 1e6,
                 rate / 1e6, name);
  }
  if (n < 0) n = 0;
  if (size_t(n) >= sizeof line) n = int(sizeof line - 1);
  // Blanks over what is left of a longer line drawn before.
  int pad = p->last_len > n ? p->last_len - n : 0;
  // Noted before the line is drawn: an interrupt that comes while it is
  // being drawn must end it before its last words, not write onto it.
  p->line_open = true;
  interrupt_note_line_open(true);
  fprintf(stderr, "\r%s%*s", line, pad, "");
  p->last_len = n;
  fflush(stderr);
  p->shown_ms = now;
}

}  // namespace

void progress_start(Progress* p, const char* tool, bool enabled, bool forced, uint64_t total) {
  p->tool = tool;
  p->enabled = enabled;
  p->delay_ms = forced ? 0 : kTerminalDelayMs;
  p->total = total;
  p->started_ms = plat_monotonic_ms();
  p->shown_ms = 0;
  p->line_open = false;
  p->last_len = 0;
}

void progress_show(Progress* p, uint64_t done, const char* name) {
  if (!p->enabled) return;
  uint64_t now = plat_monotonic_ms();
  if (now - p->started_ms < p->delay_ms) return;
  if (p->shown_ms != 0 && now - p->shown_ms < kRedrawMs) return;
  draw(p, done, name, now);
}

void progress_finish(Progress* p, uint64_t done, const char* name) {
  if (!p->enabled || (!p->line_open && p->delay_ms > 0)) return;
  draw(p, done, name, plat_monotonic_ms());
  progress_break(p);
}

void progress_break(Progress* p) {
  if (!p->line_open) return;
  fputs("\n", stderr);
  fflush(stderr);
  p->line_open = false;
  p->last_len = 0;
  interrupt_note_line_open(false);
}
