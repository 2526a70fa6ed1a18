#include "client/staged_file.h"

#include <cstring>

#include "common/interrupt.h"
#include "client/output_file.h"

namespace {

void fail(StagedFile* f) {
  if (f->failed) return;
  f->failed = true;
  f->error = plat_file_last_error();
}

// Large files are handed to the disk as they are written, a block at a
// time, so that the sync at their end finds little left to write.
constexpr uint64_t kWritebackBlock = uint64_t(8) << 20;

void written_through(StagedFile* f, size_t n) {
  f->handed += n;
  if (f->handed - f->writeback_from >= kWritebackBlock) {
    plat_file_start_writeback(f->file, f->writeback_from, f->handed - f->writeback_from);
    f->writeback_from = f->handed;
  }
}

void flush(StagedFile* f) {
  if (f->have == 0) return;
  if (!f->failed && plat_file_write_all(f->file, f->buf, f->have) != 0) fail(f);
  written_through(f, f->have);
  f->have = 0;
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

}  // namespace

bool staged_create(StagedFile* f, const char* path, uint8_t* buf, size_t cap) {
  f->path = path;
  f->watch = -1;
  f->buf = buf;
  f->cap = cap;
  f->have = 0;
  f->written = 0;
  f->handed = 0;
  f->writeback_from = 0;
  f->failed = false;
  f->error = 0;
  f->file = output_create_temp(path, &f->part);
  if (f->file == kPlatNoFile) {
    fail(f);
    f->part.clear();
    return false;
  }
  // Watched only once it is ours: an interrupt never removes another run's file.
  f->watch = interrupt_watch(f->part.c_str());
  return true;
}

void staged_write(StagedFile* f, const uint8_t* p, size_t n) {
  f->written += n;
  if (f->have + n > f->cap) {
    flush(f);
    if (n >= f->cap) {
      if (!f->failed && plat_file_write_all(f->file, p, n) != 0) fail(f);
      written_through(f, n);
      return;
    }
  }
  memcpy(f->buf + f->have, p, n);
  f->have += n;
}

void staged_fill(StagedFile* f, uint8_t byte, size_t n) {
  f->written += n;
  while (n > 0) {
    if (f->have == f->cap) flush(f);
    size_t k = f->cap - f->have;
    if (k > n) k = n;
    memset(f->buf + f->have, byte, k);
    f->have += k;
    n -= k;
  }
}

bool staged_finish(StagedFile* f) {
  if (f->file == kPlatNoFile) return !f->failed;
  flush(f);
  if (!f->failed && plat_file_sync(f->file) != 0) fail(f);
  if (plat_file_close(f->file) != 0) fail(f);
  f->file = kPlatNoFile;
  return !f->failed;
}

bool staged_publish(StagedFile* f) {
  if (f->failed || f->part.empty()) return false;
  if (plat_file_rename(f->part.c_str(), f->path) != 0) {
    fail(f);
    return false;
  }
  interrupt_unwatch(f->watch);
  f->watch = -1;
  f->part.clear();
  return true;
}

void staged_discard(StagedFile* f) {
  if (f->file != kPlatNoFile) (void)plat_file_close(f->file);
  f->file = kPlatNoFile;
  if (f->part.empty()) return;
  (void)plat_file_remove(f->part.c_str());
  interrupt_unwatch(f->watch);
  f->watch = -1;
  f->part.clear();
}

const char* path_last_component(const char* path) {
  const char* last = path;
  for (const char* p = path; *p; p++) {
    if (is_separator(*p) && p[1] != 0) last = p + 1;
  }
  return last;
}
