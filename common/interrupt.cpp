#include "common/interrupt.h"

#include <csignal>
#include <cstring>

#include "platform/plat.h"

namespace {

constexpr int kSlots = 64;  // chunkcopy keeps a temporary list per list it copies
constexpr size_t kPathMax = 4096;

// Read by the handler at any moment: a slot's path is complete before the
// slot is marked live, and it is marked dead before the path changes.
char g_paths[kSlots][kPathMax];
volatile sig_atomic_t g_live[kSlots];
volatile sig_atomic_t g_line_open = 0;
const char* g_tool = "";

void put(const char* s) { (void)plat_file_write(plat_stderr_file(), s, strlen(s)); }

void on_interrupt(int status) {
  bool removed = false;
  for (int i = 0; i < kSlots; i++) {
    if (g_live[i] && plat_file_remove(g_paths[i]) == 0) removed = true;
  }
  if (g_line_open) put("\n");
  put(g_tool);
  put(status == 130 ? ": interrupted" : ": terminated");
  put(removed ? "; unfinished output removed\n" : "\n");
}

}  // namespace

void interrupt_install(const char* tool) {
  g_tool = tool;
  plat_on_interrupt(on_interrupt);
}

int interrupt_watch(const char* path) {
  size_t n = strlen(path);
  if (n >= kPathMax) return -1;
  for (int i = 0; i < kSlots; i++) {
    if (!g_live[i]) {
      memcpy(g_paths[i], path, n + 1);
      g_live[i] = 1;
      return i;
    }
  }
  return -1;
}

void interrupt_unwatch(int slot) {
  if (slot >= 0 && slot < kSlots) g_live[slot] = 0;
}

void interrupt_note_line_open(bool open) { g_line_open = open ? 1 : 0; }
