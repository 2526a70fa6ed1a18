// What every client tool does with its command line and its inputs: answers
// -h/--help and --version, takes options with their values, explains a
// usage error on stderr, and names an input it cannot open.
#pragma once
#include <cstdint>

#include "common/output_check.h"
#include "platform/plat.h"

// Every tool's status for a usage error.
constexpr int kToolUsageStatus = 1;

struct ToolArgs {
  const char* tool;   // names the program in messages
  const char* usage;  // printed for -h/--help
  int argc;
  char** argv;
  int at;             // the argument taken last
};

void args_begin(ToolArgs* a, const char* tool, const char* usage, int argc, char** argv);

// The next argument, null after the last. -h/--help and --version are
// answered at once (common/usage.h: the program exits 0).
const char* args_next(ToolArgs* a);

// The argument after the one taken last, as its value (not answered as
// -h/--help); null when there is none.
const char* args_value(ToolArgs* a);

// Whether arg is an option: it starts with '-' and is not "-" alone.
inline bool args_is_option(const char* arg) { return arg[0] == '-' && arg[1] != 0; }

// "TOOL: WHAT[: ARG]" and a pointer to --help on stderr; returns
// kToolUsageStatus.
int args_error(const ToolArgs* a, const char* what, const char* arg);
// The same, for a usage error found after the command line was taken.
int tool_usage_error(const char* tool, const char* what, const char* arg);

// A decimal number from 0 to max, nothing else.
bool args_unsigned(const char* s, unsigned long max, unsigned long* out);

// "TOOL: cannot open the WHAT PATH: ERROR" on stderr.
void tool_cannot_open(const char* tool, const char* what, const char* path, int err);

// Opens path to read; when it cannot, says so (tool_cannot_open) and
// returns kPlatNoFile.
PlatFile tool_open_read(const char* tool, const char* what, const char* path);

// Before anything is read: 0 when the output out can be written, else the
// status to exit with after the message (common/output_check.h):
// kToolUsageStatus when it is one of the n inputs, unwritable_status when it
// cannot be written (a directory, a missing folder).
int tool_check_output(const char* tool, const char* out, const NamedFile* inputs, size_t n,
                      int unwritable_status);
