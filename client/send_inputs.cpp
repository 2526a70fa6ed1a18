#include "client/send_inputs.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

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

bool stream_begin(StdinStream* s, size_t piece_size) {
  *s = StdinStream{nullptr, piece_size, 0, 0, 0, false};
  s->buf = static_cast<uint8_t*>(plat_big_alloc_zeroed(piece_size));
  if (s->buf == nullptr) {
    fprintf(stderr, "chunksend: cannot set aside %zu MiB for the pieces of standard input\n",
            piece_size >> 20);
    return false;
  }
  return true;
}

void inputs_begin(InputQueue* q, const std::vector<SendInput>* inputs, bool quiet,
                  Progress* progress, StdinStream* stream) {
  *q = InputQueue{inputs, 0, false, kPlatNoFile, 0, 0, 0, 0, quiet, progress,
                  stream, false, 0, false};
}

namespace {

// Reads the next piece of standard input into the stream's buffer: until
// it is full or the input ends. Returns false, after a message, on a read
// error.
bool read_piece(InputQueue* q) {
  StdinStream* s = q->stream;
  s->have = 0;
  while (s->have < s->piece_size) {
    long got = plat_file_read(plat_stdin_file(), s->buf + s->have, s->piece_size - s->have);
    if (got < 0) {
      int err = plat_file_last_error();
      progress_break(q->progress);
      fprintf(stderr, "chunksend: reading standard input failed after %" PRIu64 " bytes: %s\n",
              s->bytes_read, plat_error_text(err));
      return false;
    }
    if (got == 0) {
      s->ended = true;
      break;
    }
    s->have += size_t(got);
    s->bytes_read += uint64_t(got);
  }
  return true;
}

// Takes the next piece of standard input for its command. Returns false
// when the stream has no piece left, or, with failed set, when it could not
// be read.
bool next_piece(InputQueue* q) {
  StdinStream* s = q->stream;
  // A retry starts again from the first piece, which is still in the
  // buffer (chunksend does not retry once a second piece has been read).
  if (q->piece >= s->pieces_read) {
    if (s->ended) return false;
    if (!read_piece(q)) {
      q->failed = true;
      return false;
    }
    // A stream that ends on a piece boundary ends with its last full
    // piece; only an empty stream is sent as one empty piece.
    if (s->have == 0 && s->pieces_read > 0) return false;
    s->pieces_read++;
  }
  q->piece++;
  q->reading = true;
  q->current = kPlatNoFile;
  q->current_left = q->current_length = s->have;
  return true;
}

const char* kind_text(PlatPathKind kind) {
  switch (kind) {
    case kPathRegular: return "a file without a size (as in /proc)";
    case kPathCharDevice: return "a character device";
    case kPathBlockDevice: return "a block device";
    case kPathFifo: return "a FIFO";
    case kPathSocket: return "a socket";
    default: return "not a regular file";
  }
}

}  // namespace

bool inputs_open_next(InputQueue* q) {
  const std::vector<SendInput>& inputs = *q->inputs;
  if (q->in_stream) {
    if (next_piece(q)) return true;
    q->in_stream = false;
    if (q->failed) return false;
  }
  while (q->next < inputs.size()) {
    size_t i = q->next++;
    if (inputs[i].is_stdin) {
      q->in_stream = true;
      q->current_index = i;
      q->piece = 0;
      if (next_piece(q)) return true;
      return false;  // a first piece, even an empty one, always exists: it failed
    }
    // A "file" command states its length first: only a regular file has one
    // to tell. Anything else is not even opened (opening a FIFO waits for
    // its writer).
    const char* path = inputs[i].path;
    const PlatPathKind kind = plat_path_kind(path);
    PlatFile f = kind == kPathRegular ? plat_file_open_read(path) : kPlatNoFile;
    uint64_t size = 0;
    if (f != kPlatNoFile && plat_file_length(f, &size)) {
      q->reading = true;
      q->current = f;
      q->current_index = i;
      q->current_left = q->current_length = size;
      return true;
    }
    int err = plat_file_last_error();
    const bool opened = f != kPlatNoFile;
    if (opened) (void)plat_file_close(f);
    if (!q->quiet) {
      progress_break(q->progress);
      if (kind == kPathMissing || (kind == kPathRegular && !opened)) {
        fprintf(stderr, "chunksend: cannot read %s: %s; not sent\n", path, plat_error_text(err));
      } else if (kind == kPathDirectory) {
        fprintf(stderr, "chunksend: cannot read %s: it is a directory; not sent\n", path);
      } else {
        // Its length cannot be known in advance: a device, a FIFO, or a
        // regular file without a size (/proc). Standard input takes those.
        fprintf(stderr,
                "chunksend: %s is %s, whose length cannot be known before it is read; not "
                "sent (send it through standard input: chunksend -o LIST - < %s)\n",
                path, kind_text(kind), path);
      }
    }
    q->skipped++;
  }
  return false;
}

size_t inputs_read(InputQueue* q, uint8_t* dst, size_t room) {
  size_t want = q->current_left < room ? size_t(q->current_left) : room;
  if (q->in_stream) {
    StdinStream* s = q->stream;
    memcpy(dst, s->buf + (s->have - q->current_left), want);
    q->current_left -= want;
    if (q->current_left == 0) inputs_close(q);
    return want;
  }
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
  q->reading = false;
  if (q->current == kPlatNoFile) return;
  (void)plat_file_close(q->current);  // read-only: nothing to lose
  q->current = kPlatNoFile;
}

const char* inputs_current_name(const InputQueue* q) {
  return q->reading ? (*q->inputs)[q->current_index].path : "";
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
