// Whole-buffer reads and writes, and the sync hook, built on the backends'
// single calls.
#include <cstdio>

#include "platform/plat.h"
#include "platform/plat_internal.h"

int plat_file_write_all(PlatFile f, const void* buf, size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    long w = plat_file_write(f, p, n);
    if (w < 0) return -1;
    if (w == 0) {
      plat_file_note_disk_full();
      return -1;
    }
    p += w;
    n -= size_t(w);
  }
  return 0;
}

long plat_file_read_full(PlatFile f, void* buf, size_t n) {
  char* p = static_cast<char*>(buf);
  size_t got = 0;
  while (got < n) {
    long r = plat_file_read(f, p + got, n - got);
    if (r < 0) return -1;
    if (r == 0) break;
    got += size_t(r);
  }
  return long(got);
}

namespace {
int (*g_sync_hook)(void* ctx, PlatFile f) = nullptr;
void* g_sync_hook_ctx = nullptr;
}  // namespace

void plat_set_file_sync_hook(int (*hook)(void* ctx, PlatFile f), void* ctx) {
  g_sync_hook = hook;
  g_sync_hook_ctx = ctx;
}

bool plat_file_sync_by_hook(PlatFile f, int* result) {
  if (g_sync_hook == nullptr) return false;
  int err = g_sync_hook(g_sync_hook_ctx, f);
  if (err != 0) plat_file_note_error(err);
  *result = err == 0 ? 0 : -1;
  return true;
}

namespace {
int (*g_start_hook)(void* ctx, PlatFile f, uint64_t covers) = nullptr;
int (*g_poll_hook)(void* ctx, bool wait) = nullptr;
void* g_start_hook_ctx = nullptr;
}  // namespace

void plat_set_file_sync_start_hook(int (*start)(void* ctx, PlatFile f, uint64_t covers),
                                   int (*poll)(void* ctx, bool wait), void* ctx) {
  g_start_hook = start;
  g_poll_hook = poll;
  g_start_hook_ctx = ctx;
}

bool plat_file_sync_start_by_hook(PlatFile f, uint64_t covers, int* result) {
  if (g_start_hook != nullptr) {
    *result = g_start_hook(g_start_hook_ctx, f, covers);
    return true;
  }
  int done;
  if (!plat_file_sync_by_hook(f, &done)) return false;
  *result = done == 0 ? 0 : -1;
  return true;
}

bool plat_file_sync_poll_by_hook(bool wait, int* result) {
  if (g_poll_hook != nullptr) {
    *result = g_poll_hook(g_start_hook_ctx, wait);
    return true;
  }
  if (g_sync_hook == nullptr) return false;
  *result = 1;  // every start completed at once
  return true;
}
