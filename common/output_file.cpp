#include "common/output_file.h"

#include <cstdio>
#include <cstring>

#include "common/interrupt.h"

namespace {

// Large files are handed to the disk as they are written, a block at a
// time, so that the sync at their end finds little left to write.
constexpr uint64_t kWritebackBlock = uint64_t(8) << 20;

void fail(OutputFile* o) {
  if (o->failed) return;
  o->failed = true;
  o->error = plat_file_last_error();
}

void write_through(OutputFile* o, const uint8_t* p, size_t n) {
  if (!o->failed && plat_file_write_all(o->file, p, n) != 0) fail(o);
  o->handed += n;
  if (!o->direct && o->path != nullptr && o->handed - o->writeback_from >= kWritebackBlock) {
    plat_file_start_writeback(o->file, o->writeback_from, o->handed - o->writeback_from);
    o->writeback_from = o->handed;
  }
}

void flush(OutputFile* o) {
  if (o->have == 0) return;
  write_through(o, o->buf, o->have);
  o->have = 0;
}

void start(OutputFile* o, const char* path, uint8_t* buf, size_t cap) {
  *o = OutputFile();
  o->path = path;
  o->buf = cap > 0 ? buf : nullptr;
  o->cap = o->buf ? cap : 0;
}

bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string output_temp_name(const char* path, uint32_t pid, uint32_t n, size_t name_max) {
  char suffix[40];
  snprintf(suffix, sizeof suffix, ".%u-%u.part", unsigned(pid), unsigned(n));
  const size_t suffix_len = strlen(suffix);
  const char* name = plat_path_name(path);
  size_t keep = strlen(name);
  const size_t room = name_max > suffix_len ? name_max - suffix_len : 0;
  if (keep > room) {
    keep = room;
    while (keep > 0 && is_continuation_byte(name[keep])) keep--;
  }
  std::string out(path, size_t(name - path) + keep);
  out += suffix;
  return out;
}

PlatFile output_create_temp(const char* path, std::string* name) {
  // Counts on from the last name taken, so that a process that makes many
  // temporary files beside one path seldom meets its own names again.
  static uint32_t next = 0;
  const size_t name_max = plat_name_max(path);
  for (int tries = 0; tries < 1000; tries++) {
    *name = output_temp_name(path, plat_process_id(), next++, name_max);
    PlatFile f = plat_file_create_new(name->c_str());
    if (f != kPlatNoFile || !plat_file_error_is_exists(plat_file_last_error())) return f;
  }
  return kPlatNoFile;  // with the error of the last name: it exists
}

bool output_open_temp(OutputFile* o, const char* path, uint8_t* buf, size_t cap) {
  start(o, path, buf, cap);
  o->file = output_create_temp(path, &o->part);
  if (o->file == kPlatNoFile) {
    fail(o);
    return false;
  }
  o->part_live = true;
  // Watched only once it is ours: an interrupt must never remove a file of
  // another run that happened to have the name.
  o->watch = interrupt_watch(o->part.c_str());
  return true;
}

bool output_open(OutputFile* o, const char* path, uint8_t* buf, size_t cap) {
  if (path == nullptr) {
    start(o, path, buf, cap);
    plat_stdout_binary();
    o->file = plat_stdout_file();
    return true;
  }
  if (!plat_path_is_special(path)) return output_open_temp(o, path, buf, cap);
  start(o, path, buf, cap);
  o->direct = true;
  o->file = plat_file_create_write(path);
  if (o->file == kPlatNoFile) {
    fail(o);
    return false;
  }
  return true;
}

void output_write(OutputFile* o, const uint8_t* p, size_t n) {
  if (n == 0) return;
  o->written += n;
  if (o->have + n > o->cap) {
    flush(o);
    if (n >= o->cap) {
      write_through(o, p, n);
      return;
    }
  }
  memcpy(o->buf + o->have, p, n);
  o->have += n;
}

void output_fill(OutputFile* o, uint8_t byte, size_t n) {
  if (o->buf == nullptr) {
    uint8_t block[256];
    memset(block, byte, sizeof block);
    for (size_t k = 0; n > 0; n -= k) {
      k = n < sizeof block ? n : sizeof block;
      output_write(o, block, k);
    }
    return;
  }
  o->written += n;
  while (n > 0) {
    if (o->have == o->cap) flush(o);
    size_t k = o->cap - o->have;
    if (k > n) k = n;
    memset(o->buf + o->have, byte, k);
    o->have += k;
    n -= k;
  }
}

const char* output_target(const OutputFile* o) {
  if (o->path == nullptr) return "standard output";
  return o->part.empty() ? o->path : o->part.c_str();
}

bool output_close(OutputFile* o) {
  flush(o);
  if (o->file != kPlatNoFile && plat_file_close(o->file) != 0) fail(o);
  o->file = kPlatNoFile;
  return !o->failed;
}

bool output_finish(OutputFile* o) {
  if (o->file == kPlatNoFile) return !o->failed;
  flush(o);
  // A failed sync is a failed write: the bytes may not be on the disk.
  if (!o->failed && plat_file_sync(o->file) != 0) fail(o);
  return output_close(o);
}

bool output_publish(OutputFile* o) {
  if (o->failed || !o->part_live) return false;
  if (plat_file_rename(o->part.c_str(), o->path) != 0) {
    fail(o);
    o->rename_failed = true;
    return false;
  }
  interrupt_unwatch(o->watch);
  o->watch = -1;
  o->part_live = false;
  o->part.clear();
  // And the name itself, kept by the folder.
  if (plat_folder_sync(o->path) != 0) {
    fail(o);
    o->rename_failed = true;
    return false;
  }
  return true;
}

bool output_commit(OutputFile* o) {
  if (o->path == nullptr) {
    flush(o);
    return !o->failed;
  }
  if (o->direct) return output_close(o);
  if (output_finish(o) && output_publish(o)) return true;
  output_abandon(o);
  return false;
}

void output_abandon(OutputFile* o) {
  if (o->path == nullptr || o->direct) flush(o);  // a correct prefix: keep it
  if (o->path == nullptr) return;
  if (o->file != kPlatNoFile) (void)plat_file_close(o->file);
  o->file = kPlatNoFile;
  if (!o->part_live) return;
  (void)plat_file_remove(o->part.c_str());
  interrupt_unwatch(o->watch);
  o->watch = -1;
  o->part_live = false;
}
