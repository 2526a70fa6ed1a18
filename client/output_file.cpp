#include "client/output_file.h"

#include <cstring>

#include "common/interrupt.h"

namespace {

void flush(OutputFile* o) {
  if (o->have == 0 || o->failed) return;
  if (plat_file_write_all(o->file, o->buf, o->have) != 0) {
    o->failed = true;
    o->error = plat_file_last_error();
  }
  o->have = 0;
}

}  // namespace

PlatFile output_create_temp(const char* path, std::string* name) {
  std::string buf(strlen(path) + 32, '\0');
  PlatFile f = plat_file_create_temp(path, &buf[0], buf.size());
  name->assign(buf.c_str());
  return f;
}

namespace {

void start(OutputFile* o, const char* path, uint8_t* buf) {
  o->path = path;
  o->buf = buf;
  o->have = 0;
  o->written = 0;
  o->failed = false;
  o->rename_failed = false;
  o->error = 0;
  o->direct = false;
  o->watch = -1;
}

}  // namespace

bool output_open_temp(OutputFile* o, const char* path, uint8_t* buf) {
  start(o, path, buf);
  o->file = output_create_temp(path, &o->part);
  if (o->file == kPlatNoFile) {
    o->error = plat_file_last_error();
    return false;
  }
  // Watched only once it is ours: an interrupt must never remove a file of
  // another run that happened to have the name.
  o->watch = interrupt_watch(o->part.c_str());
  return true;
}

bool output_open(OutputFile* o, const char* path, uint8_t* buf) {
  start(o, path, buf);
  if (path == nullptr) {
    plat_stdout_binary();
    o->file = plat_stdout_file();
    return true;
  }
  if (plat_path_is_special(path)) {
    o->direct = true;
    o->file = plat_file_create_write(path);
    if (o->file == kPlatNoFile) {
      o->error = plat_file_last_error();
      return false;
    }
    return true;
  }
  return output_open_temp(o, path, buf);
}

void output_write(OutputFile* o, const uint8_t* p, size_t n) {
  if (o->buf == nullptr) {
    if (!o->failed && plat_file_write_all(o->file, p, n) != 0) {
      o->failed = true;
      o->error = plat_file_last_error();
    }
    o->written += n;
    return;
  }
  while (n > 0) {
    if (o->have == kOutputBlock) flush(o);
    size_t k = kOutputBlock - o->have;
    if (k > n) k = n;
    memcpy(o->buf + o->have, p, k);
    o->have += k;
    o->written += k;
    p += k;
    n -= k;
  }
}

const char* output_target(const OutputFile* o) {
  if (o->path == nullptr) return "standard output";
  return o->direct ? o->path : o->part.c_str();
}

bool output_close(OutputFile* o) {
  flush(o);
  if (plat_file_close(o->file) != 0 && !o->failed) {
    o->failed = true;
    o->error = plat_file_last_error();
  }
  o->file = kPlatNoFile;
  return !o->failed;
}

bool output_commit(OutputFile* o) {
  if (o->path == nullptr) {
    flush(o);
    return !o->failed;
  }
  if (o->direct) {
    (void)output_close(o);
    return !o->failed;
  }
  // Durable before it gets its name: a file under the final name holds all
  // that was written, even after a power loss. A failed sync is a failed
  // write.
  flush(o);
  if (!o->failed && plat_file_sync(o->file) != 0) {
    o->failed = true;
    o->error = plat_file_last_error();
  }
  (void)output_close(o);
  if (!o->failed && plat_file_rename(o->part.c_str(), o->path) != 0) {
    o->failed = true;
    o->rename_failed = true;
    o->error = plat_file_last_error();
  }
  // And the name itself, kept by the folder.
  if (!o->failed && plat_folder_sync(o->path) != 0) {
    o->failed = true;
    o->rename_failed = true;
    o->error = plat_file_last_error();
  }
  if (o->failed) (void)plat_file_remove(o->part.c_str());
  interrupt_unwatch(o->watch);
  return !o->failed;
}

void output_abandon(OutputFile* o) {
  if (o->path == nullptr) {
    flush(o);  // what was written is a correct prefix
    return;
  }
  if (o->direct) flush(o);  // nothing to take back: keep a correct prefix
  if (o->file != kPlatNoFile) (void)plat_file_close(o->file);
  o->file = kPlatNoFile;
  if (o->direct) return;
  (void)plat_file_remove(o->part.c_str());
  interrupt_unwatch(o->watch);
}
