// The progress line of a client tool on stderr: bytes done of the total,
// percent, rate, time left and the name of what is being worked on, redrawn
// in place at most four times a second.
#pragma once
#include <cstdint>

struct Progress {
  const char* tool;
  bool enabled;
  uint64_t delay_ms;   // before the first line: short runs show none
  uint64_t total;      // bytes; 0 when not known
  uint64_t started_ms;
  uint64_t shown_ms;
  bool line_open;      // a line is drawn and not ended yet
  int last_len;        // of the line drawn last
};

// enabled: the line is wanted (--progress, or stderr is a terminal). A
// forced line shows from the start; otherwise only after a second.
void progress_start(Progress* p, const char* tool, bool enabled, bool forced, uint64_t total);

// Redraws the line unless it was drawn less than 250 ms ago.
void progress_show(Progress* p, uint64_t done, const char* name);

// Draws the line once more with the final figures and ends it, if one was
// drawn at all.
void progress_finish(Progress* p, uint64_t done, const char* name);

// Ends an open line, so that a message can follow on a line of its own.
void progress_break(Progress* p);
