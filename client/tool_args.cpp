#include "client/tool_args.h"

#include <cstdio>
#include <cstdlib>

#include "common/usage.h"

void args_begin(ToolArgs* a, const char* tool, const char* usage, int argc, char** argv) {
  *a = ToolArgs{tool, usage, argc, argv, 0};
}

const char* args_next(ToolArgs* a) {
  if (a->at + 1 >= a->argc) return nullptr;
  const char* arg = a->argv[++a->at];
  usage_answer(a->tool, a->usage, arg);
  return arg;
}

const char* args_value(ToolArgs* a) {
  return a->at + 1 < a->argc ? a->argv[++a->at] : nullptr;
}

int args_error(const ToolArgs* a, const char* what, const char* arg) {
  return tool_usage_error(a->tool, what, arg);
}

int tool_usage_error(const char* tool, const char* what, const char* arg) {
  fprintf(stderr, "%s: %s%s%s\n(%s --help shows the usage)\n", tool, what, arg ? ": " : "",
          arg ? arg : "", tool);
  return kToolUsageStatus;
}

bool args_unsigned(const char* s, unsigned long max, unsigned long* out) {
  if (*s == 0) return false;
  char* end = nullptr;
  unsigned long v = strtoul(s, &end, 10);
  if (*end != 0 || v > max || s[0] == '-') return false;
  *out = v;
  return true;
}

void tool_cannot_open(const char* tool, const char* what, const char* path, int err) {
  fprintf(stderr, "%s: cannot open the %s %s: %s\n", tool, what, path, plat_error_text(err));
}

PlatFile tool_open_read(const char* tool, const char* what, const char* path) {
  PlatFile f = plat_file_open_read(path);
  if (f == kPlatNoFile) tool_cannot_open(tool, what, path, plat_file_last_error());
  return f;
}

int tool_check_output(const char* tool, const char* out, const NamedFile* inputs, size_t n,
                      int unwritable_status) {
  switch (output_check(tool, {"output", out}, inputs, n)) {
    case kOutputIsInput: return kToolUsageStatus;
    case kOutputNotWritable: return unwritable_status;
    case kOutputUsable: break;
  }
  return 0;
}
