// What every client tool does with its command line and its inputs: answers
// -h/--help and --version, takes options with their values, explains a
// usage error on stderr, and names an input it cannot open.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

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

// One option of a tool's table: a flag that sets *flag, or *choice to
// `set` (the last of several such flags wins), or, with `needs`, one that
// takes the next argument into *value ("-o needs a path" when there is none).
struct ToolOption {
  const char* name;
  bool* flag = nullptr;
  int* choice = nullptr;
  int set = 0;
  const char** value = nullptr;
  const char* needs = nullptr;
};
inline ToolOption tool_flag(const char* name, bool* flag) { return {name, flag}; }
inline ToolOption tool_choice(const char* name, int* choice, int set) {
  return {name, nullptr, choice, set};
}
inline ToolOption tool_value(const char* name, const char** value, const char* needs) {
  return {name, nullptr, nullptr, 0, value, needs};
}

enum ArgTaken : int {
  kArgTaken = 0,  // an option of the table, set
  kArgOther = 1,  // not one of them: the caller's to take (args_operand)
  kArgBad = 2,    // its value is missing: said on stderr
};

// Matches arg (the argument args_next gave) against the table.
ArgTaken args_take(ToolArgs* a, const char* arg, const ToolOption* opts, size_t n);
template <size_t N>
ArgTaken args_take(ToolArgs* a, const char* arg, const ToolOption (&opts)[N]) {
  return args_take(a, arg, opts, N);
}

// An argument no option took: an unknown option is a usage error (false
// after the message), anything else an operand, added to *operands.
bool args_operand(ToolArgs* a, const char* arg, std::vector<const char*>* operands);

// Takes every argument left: the options of the table, and the operands
// into *operands, in order. False after a usage message.
bool args_parse(ToolArgs* a, const ToolOption* opts, size_t n, std::vector<const char*>* operands);
template <size_t N>
bool args_parse(ToolArgs* a, const ToolOption (&opts)[N], std::vector<const char*>* operands) {
  return args_parse(a, opts, N, operands);
}

// A tool's whole main: parse takes the options (a status other than 0 ends
// the program with it, after its message), then run does the work and
// gives the exit status.
template <class Options, class Run>
int tool_main(const char* tool, const char* usage, int argc, char** argv,
              int (*parse)(ToolArgs*, Options*), Run run) {
  ToolArgs args;
  args_begin(&args, tool, usage, argc, argv);
  Options o;
  const int status = parse(&args, &o);
  return status != 0 ? status : run(o);
}

// Whether arg is an option: it starts with '-' and is not "-" alone.
inline bool args_is_option(const char* arg) { return arg[0] == '-' && arg[1] != 0; }

// "TOOL: WHAT[: ARG]" and a pointer to --help on stderr; returns
// kToolUsageStatus.
int args_error(const ToolArgs* a, const char* what, const char* arg);
// The same, for a usage error found after the command line was taken.
int tool_usage_error(const char* tool, const char* what, const char* arg);

// A decimal number from 0 to max, nothing else.
bool args_unsigned(const char* s, unsigned long max, unsigned long* out);

// The value v of an option (null: not given, *out untouched) as a number
// from 1 to max; false after args_error(needs, v) when it is none.
bool args_count(const ToolArgs* a, const char* v, unsigned long max, const char* needs,
                unsigned long* out);

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

// A program of subcommands: argv[1] names one of them (`names` lists them
// for the message); --help and --version are answered first. False, after
// the message, when none is given.
bool tool_subcommand_given(const char* tool, const char* usage, const char* names, int argc,
                           char** argv);
// The row of subs whose name argv[1] is, or null after the message (none
// given, or an unknown one).
template <class Sub, size_t N>
const Sub* tool_subcommand(const char* tool, const char* usage, const Sub (&subs)[N],
                           const char* names, int argc, char** argv) {
  if (!tool_subcommand_given(tool, usage, names, argc, argv)) return nullptr;
  for (const Sub& s : subs) {
    if (strcmp(argv[1], s.name) == 0) return &s;
  }
  (void)tool_usage_error(tool, "unknown subcommand", argv[1]);
  return nullptr;
}
