#include "client/send_inputs.h"

#include <cinttypes>
#include <cstdio>

namespace {

constexpr const char* kListSuffix = ".list";

const char* base_name(const char* path) {
  const char* b = path;
  for (const char* p = path; *p; p++) {
    if (*p == '/' || *p == '\\') b = p + 1;
  }
  return b;
}

}  // namespace

void inputs_begin(InputQueue* q, const std::vector<SendInput>* inputs, bool quiet,
                  Progress* progress) {
  *q = InputQueue{inputs, 0, kPlatNoFile, 0, 0, 0, 0, quiet, progress};
}

bool inputs_open_next(InputQueue* q) {
  const std::vector<SendInput>& inputs = *q->inputs;
  while (q->next < inputs.size()) {
    size_t i = q->next++;
    PlatFile f = plat_file_open_read(inputs[i].path);
    uint64_t size = 0;
    if (f != kPlatNoFile && plat_file_seek(f, 0, kSeekEnd, &size) == 0 &&
        plat_file_seek(f, 0, kSeekBegin, nullptr) == 0) {
      q->current = f;
      q->current_index = i;
      q->current_left = q->current_length = size;
      return true;
    }
    int err = plat_file_last_error();
    if (f != kPlatNoFile) (void)plat_file_close(f);
    if (!q->quiet) {
      progress_break(q->progress);
      fprintf(stderr, "chunksend: cannot read %s: %s; not sent\n", inputs[i].path,
              plat_error_text(err));
    }
    q->skipped++;
  }
  return false;
}

size_t inputs_read(InputQueue* q, uint8_t* dst, size_t room) {
  size_t want = q->current_left < room ? size_t(q->current_left) : room;
  long got = want > 0 ? plat_file_read(q->current, dst, want) : 0;
  if (want > 0 && got <= 0) {
    int err = got < 0 ? plat_file_last_error() : 0;
    progress_break(q->progress);
    fprintf(stderr, "chunksend: %s: read failed after %" PRIu64 " of %" PRIu64 " bytes (%s)\n",
            (*q->inputs)[q->current_index].path, q->current_length - q->current_left,
            q->current_length, err ? plat_error_text(err) : "the file got shorter");
    return 0;
  }
  q->current_left -= uint64_t(got);
  if (q->current_left == 0) inputs_close(q);
  return size_t(got);
}

void inputs_close(InputQueue* q) {
  if (q->current == kPlatNoFile) return;
  (void)plat_file_close(q->current);  // read-only: nothing to lose
  q->current = kPlatNoFile;
}

const char* inputs_current_name(const InputQueue* q) {
  return q->current != kPlatNoFile ? (*q->inputs)[q->current_index].path : "";
}

bool inputs_plan_list_names(std::vector<SendInput>* inputs, const char* out_dir) {
  std::string dir = out_dir;
  if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += '/';
  for (size_t i = 0; i < inputs->size(); i++) {
    SendInput& in = (*inputs)[i];
    const char* base = base_name(in.path);
    if (*base == 0) {
      fprintf(stderr, "chunksend: no file name in: %s\n(chunksend --help shows the usage)\n",
              in.path);
      return false;
    }
    in.list_name = dir + base + kListSuffix;
    for (size_t k = 0; k < i; k++) {
      if ((*inputs)[k].list_name == in.list_name) {
        fprintf(stderr, "chunksend: %s and %s would both be listed in %s\n",
                (*inputs)[k].path, in.path, in.list_name.c_str());
        return false;
      }
    }
  }
  return true;
}
