#include "client/tool_args.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

ArgTaken args_take(ToolArgs* a, const char* arg, const ToolOption* opts, size_t n) {
  for (size_t i = 0; i < n; i++) {
    const ToolOption& o = opts[i];
    if (strcmp(arg, o.name) != 0) continue;
    if (o.flag) *o.flag = true;
    if (o.choice) *o.choice = o.set;
    if (o.value && !(*o.value = args_value(a))) {
      (void)args_error(a, o.needs, nullptr);
      return kArgBad;
    }
    return kArgTaken;
  }
  return kArgOther;
}

bool args_operand(ToolArgs* a, const char* arg, std::vector<const char*>* operands) {
  if (args_is_option(arg)) {
    (void)args_error(a, "unknown option", arg);
    return false;
  }
  operands->push_back(arg);
  return true;
}

bool args_parse(ToolArgs* a, const ToolOption* opts, size_t n, std::vector<const char*>* operands) {
  while (const char* arg = args_next(a)) {
    const ArgTaken t = args_take(a, arg, opts, n);
    if (t == kArgBad || (t == kArgOther && !args_operand(a, arg, operands))) return false;
  }
  return true;
}

int args_error(const ToolArgs* a, const char* what, const char* arg) {
  return tool_usage_error(a->tool, what, arg);
}

int tool_usage_error(const char* tool, const char* what, const char* arg) {
  fprintf(stderr, "%s: %s%s%s\n(%s --help shows the usage)\n", tool, what, arg ? ": " : "",
          arg ? arg : "", tool);
  return kToolUsageStatus;
}

bool tool_subcommand_given(const char* tool, const char* usage, const char* names, int argc,
                           char** argv) {
  if (argc < 2) {
    fprintf(stderr, "%s: a subcommand is needed: %s\n(%s --help shows the usage)\n", tool, names,
            tool);
    return false;
  }
  usage_answer(tool, usage, argv[1]);
  return true;
}

bool args_unsigned(const char* s, unsigned long max, unsigned long* out) {
  if (*s == 0) return false;
  char* end = nullptr;
  unsigned long v = strtoul(s, &end, 10);
  if (*end != 0 || v > max || s[0] == '-') return false;
  *out = v;
  return true;
}

bool args_count(const ToolArgs* a, const char* v, unsigned long max, const char* needs,
                unsigned long* out) {
  unsigned long n = 0;
  if (v == nullptr) return true;
  if (!args_unsigned(v, max, &n) || n == 0) {
    (void)args_error(a, needs, v);
    return false;
  }
  *out = n;
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
