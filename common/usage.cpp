#include "common/usage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool is_help(const char* a) { return strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0; }
bool is_version(const char* a) { return strcmp(a, "--version") == 0; }

}  // namespace

void usage_answer(const char* program, const char* usage, const char* arg) {
  if (is_help(arg)) {
    fputs(usage, stdout);
  } else if (is_version(arg)) {
    printf("%s %s\n", program, kChunkVersion);
  } else {
    return;
  }
  fflush(stdout);
  exit(0);
}

void usage_answer_any(const char* program, const char* usage, int argc, char** argv) {
  for (int i = 1; i < argc; i++) usage_answer(program, usage, argv[i]);
}
