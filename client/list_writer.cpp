#include "client/list_writer.h"

#include <cstdio>

#include "common/record.h"

namespace {

void say_cannot_write(const std::string& name, int err) {
  fprintf(stderr, "chunksend: cannot write the list %s: %s\n", name.c_str(),
          err ? plat_error_text(err) : "short write");
}

// Copies `bytes` bytes of the reply (open for reading as `whole`) into the
// list `name`. Returns false after a message.
bool write_one_list(ListWriter* w, PlatFile whole, const std::string& name, uint64_t bytes,
                    uint8_t* buf, size_t n) {
  OutputFile list;
  if (!output_open_temp(&list, name.c_str(), nullptr, 0)) {
    say_cannot_write(list.part.empty() ? name : list.part, list.error);
    return false;
  }
  while (bytes > 0) {
    size_t k = bytes < n ? size_t(bytes) : n;
    long got = plat_file_read_full(whole, buf, k);
    if (got != long(k)) {
      say_cannot_write(w->reply.part, got < 0 ? plat_file_last_error() : 0);
      output_abandon(&list);
      return false;
    }
    output_write(&list, buf, k);
    if (list.failed) {
      say_cannot_write(list.part, list.error);
      output_abandon(&list);
      return false;
    }
    bytes -= k;
  }
  if (!output_commit(&list)) {
    say_cannot_write(list.rename_failed ? name : list.part, list.error);
    return false;
  }
  return true;
}

}  // namespace

void list_begin(ListWriter* w, const char* beside) {
  w->beside = beside;
  w->reply = OutputFile();
  w->opened = false;
  w->failed = false;
}

bool list_put(ListWriter* w, const uint8_t* p, size_t n) {
  if (w->failed) return false;
  if (!w->opened) {
    if (!output_open_temp(&w->reply, w->beside, nullptr, 0)) {
      w->failed = true;
      return false;
    }
    w->opened = true;
  }
  if (n > 0) output_write(&w->reply, p, n);
  w->failed = w->reply.failed;
  return !w->failed;
}

void list_drop(ListWriter* w) {
  if (!w->opened) return;
  output_abandon(&w->reply);
  w->opened = false;
}

void list_report_failure(ListWriter* w) {
  list_drop(w);
  say_cannot_write(w->reply.part.empty() ? std::string(w->beside) : w->reply.part,
                   w->reply.error);
}

bool list_commit(ListWriter* w, const char* out) {
  w->reply.path = out;
  w->opened = false;
  if (output_commit(&w->reply)) return true;
  say_cannot_write(w->reply.rename_failed ? std::string(out) : w->reply.part, w->reply.error);
  return false;
}

bool list_commit_split(ListWriter* w, const std::vector<const std::string*>& names,
                       const std::vector<uint64_t>& counts, uint8_t* buf, size_t n) {
  w->opened = false;
  if (!output_close(&w->reply)) {
    say_cannot_write(w->reply.part, w->reply.error);
    output_abandon(&w->reply);
    return false;
  }
  PlatFile whole = plat_file_open_read(w->reply.part.c_str());
  if (whole == kPlatNoFile) {
    say_cannot_write(w->reply.part, plat_file_last_error());
    return false;
  }
  bool ok = true;
  for (size_t k = 0; k < names.size() && ok; k++) {
    ok = write_one_list(w, whole, *names[k], counts[k] * kChunkRecordSize, buf, n);
  }
  (void)plat_file_close(whole);
  output_abandon(&w->reply);  // the whole reply, split now
  return ok;
}
