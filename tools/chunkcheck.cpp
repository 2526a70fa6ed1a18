// chunkcheck: checks a whole store file offline.
//
//   chunkcheck [options] STORE
//
// Cuts the stored chunks again with the server's own chunker, exactly as the
// server does when it rebuilds its index at start-up, and reports on
// standard output: the header, the number of chunks and their bytes, the
// padding, chunks whose padding is not a copy of their last byte, chunks
// stored more than once (after index evictions), and a torn tail (bytes
// after the last whole chunk, as a failed append leaves them).
//
// The store is only read, and shared: the server may run and append while
// it is checked. What was appended after the check began is not checked,
// except for the rest of a chunk that was being written then.
//
// Exit statuses:
//   0  the store is clean (chunks stored more than once are not a fault:
//      they only take room)
//   1  usage error, or STORE cannot be opened
//   3  the store is not clean: no store header, padding that is not a copy,
//      a torn tail, or a read error
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/store_scan.h"
#include "client/tool_args.h"
#include "common/store_format.h"
#include "platform/plat.h"

namespace {

enum ExitStatus : int { kExitOk = 0, kExitUsage = 1, kExitNotClean = 3 };

constexpr size_t kReadBlock = 1 << 20;
constexpr uint64_t kProgressAfterMs = 1000;
constexpr uint64_t kProgressEveryMs = 500;
constexpr int kGrowthChecks = 4;
constexpr unsigned kGrowthWaitMs = 50;

const char kUsage[] =
    "usage: chunkcheck [options] STORE\n"
    "\n"
    "Checks the store file STORE (the server's \"$dump\") as a whole: cuts its\n"
    "chunks again with the server's chunker, as the server does at start-up,\n"
    "and reports the header, the number of chunks, the bytes of padding, chunks\n"
    "whose padding is not a copy of their last byte, chunks stored more than\n"
    "once, and a torn tail. The store is only read; the server may be running.\n"
    "\n"
    "options:\n"
    "  -q            no progress line\n"
    "  --progress    a progress line on stderr even when it is not a terminal\n"
    "  -h, --help    this text\n"
    "  --version     the version\n"
    "\n"
    "exit statuses: 0 clean; 1 usage, or STORE cannot be opened; 3 not clean\n"
    "(no store header, bad padding, torn tail, or a read error).\n";

struct Options {
  const char* store = nullptr;
  int progress = -1;  // -1: when stderr is a terminal
};

struct Progress {
  bool on;
  bool shown;
  uint64_t started_ms;
  uint64_t shown_ms;
};

void show_progress(Progress* pr, uint64_t done, uint64_t total) {
  if (!pr->on) return;
  uint64_t now = plat_monotonic_ms();
  if (now - pr->started_ms < kProgressAfterMs || now - pr->shown_ms < kProgressEveryMs) return;
  pr->shown_ms = now;
  pr->shown = true;
  double s = double(now - pr->started_ms) / 1000.0;
  fprintf(stderr, "\rchunkcheck: %" PRIu64 " of %" PRIu64 " MB checked (%3.0f%%), %.0f MB/s ",
          done >> 20, total >> 20, total ? 100.0 * double(done) / double(total) : 100.0,
          double(done) / 1e6 / s);
}

int parse_options(int argc, char** argv, Options* o) {
  ToolArgs args;
  args_begin(&args, "chunkcheck", kUsage, argc, argv);
  while (const char* a = args_next(&args)) {
    if (strcmp(a, "-q") == 0) {
      o->progress = 0;
    } else if (strcmp(a, "--progress") == 0) {
      o->progress = 1;
    } else if (args_is_option(a)) {
      return args_error(&args, "unknown option", a);
    } else if (o->store == nullptr) {
      o->store = a;
    } else {
      return args_error(&args, "one store only; extra argument", a);
    }
  }
  if (o->store == nullptr) return args_error(&args, "a store file is needed", nullptr);
  return kExitOk;
}

StoreScan g_scan;
uint8_t g_block[kReadBlock];

uint64_t file_size(PlatFile f) {
  uint64_t size = 0;
  if (plat_file_seek(f, 0, kSeekEnd, &size) != 0) return 0;
  return size;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  int status = parse_options(argc, argv, &opt);
  if (status != kExitOk) return status;
  PlatFile f = tool_open_read("chunkcheck", "store", opt.store);
  if (f == kPlatNoFile) return kExitUsage;
  const uint64_t size = file_size(f);
  printf("store: %s (%" PRIu64 " bytes)\n", opt.store, size);
  if (size == 0) {
    // What a server that never stored a chunk leaves behind.
    printf("header: none yet (the server writes it with the first chunk)\nchunks: 0\nclean\n");
    return kExitOk;
  }
  uint8_t header[kStoreHeaderSize];
  long got = 0;
  if (plat_file_seek(f, 0, kSeekBegin, nullptr) == 0) {
    got = plat_file_read_full(f, header, sizeof header);
  }
  if (!store_header_ok(header, uint64_t(got < 0 ? 0 : got))) {
    printf("header: bad: the first 64 bytes are not the store header (64 bytes of 0xCC)\n"
           "not clean: not a chunk store\n");
    return kExitNotClean;
  }
  printf("header: ok\n");

  StoreScan* s = &g_scan;
  scan_begin(s, kStoreHeaderSize);
  Progress pr{opt.progress == 1 || (opt.progress == -1 && plat_stderr_is_terminal()), false,
              plat_monotonic_ms(), 0};
  // The bytes that were there when the check began; then, when that ends
  // inside a chunk the server is still writing, on to its end.
  uint64_t limit = size, grown_to = size;
  bool read_failed = false;
  int read_error = 0;
  for (;;) {
    while (s->pos < limit) {
      uint64_t left = limit - s->pos;
      size_t want = left < kReadBlock ? size_t(left) : kReadBlock;
      long n = plat_file_read_full(f, g_block, want);
      if (n < 0) {
        read_failed = true;
        read_error = plat_file_last_error();
        break;
      }
      if (n == 0) break;  // the file shrank: what remains is the tail
      scan_feed(s, g_block, size_t(n));
      show_progress(&pr, s->pos, size);
      if (limit > size && scan_at_boundary(s)) break;
    }
    if (read_failed || scan_at_boundary(s) || s->pos < limit) break;
    // Ending inside a chunk may be an append in progress: give the server
    // a moment to finish it before calling the tail torn.
    uint64_t now_size = file_size(f);
    for (int i = 0; i < kGrowthChecks && now_size <= limit; i++) {
      plat_sleep_ms(kGrowthWaitMs);
      now_size = file_size(f);
    }
    if (now_size <= limit) break;
    // Finding the size moved the file position: back to where reading goes on.
    if (plat_file_seek(f, int64_t(s->pos), kSeekBegin, nullptr) != 0) {
      read_failed = true;
      read_error = plat_file_last_error();
      break;
    }
    grown_to = now_size;
    limit = now_size;
  }
  if (pr.shown) fputc('\n', stderr);
  scan_end(s);

  printf("chunks: %" PRIu64 " (%" PRIu64 " bytes, filler included)\n", s->chunks, s->chunk_bytes);
  printf("padding: %" PRIu64 " bytes\n", s->padding_bytes);
  printf("padding not a copy of the last byte: %" PRIu64 " chunks\n", s->bad_padding);
  for (uint64_t i = 0; i < s->bad_padding && i < kScanExamples; i++) {
    fprintf(stderr, "chunkcheck: the chunk at ChunkOffset %" PRIu64
            " has padding that is not a copy of its last byte\n", s->bad_padding_at[i]);
  }
  printf("stored more than once: %" PRIu64 " chunks (%" PRIu64 " bytes)\n", s->duplicates,
         s->duplicate_bytes);
  for (unsigned i = 0; i < s->duplicate_examples; i++) {
    fprintf(stderr, "chunkcheck: the chunk at ChunkOffset %" PRIu64
            " is stored again at ChunkOffset %" PRIu64 "\n", s->duplicate_at[i].first,
            s->duplicate_at[i].again);
  }
  bool clean = s->bad_padding == 0 && !read_failed;
  if (read_failed) {
    printf("tail: not checked: reading failed at byte %" PRIu64 ": %s\n", s->pos,
           plat_error_text(read_error));
  } else if (s->whole_end == s->pos) {
    printf("tail: none\n");
  } else {
    clean = false;
    if (s->pad_left > 0 && s->chunker.chunk_length == 0) {
      printf("tail: torn: the store ends %u bytes short inside the padding of its last chunk"
             " (byte %" PRIu64 " on)\n", unsigned(s->pad_left), s->whole_end);
    } else {
      printf("tail: torn: %" PRIu64 " bytes after the last whole chunk (byte %" PRIu64
             " on) are no whole chunk\n", s->pos - s->whole_end, s->whole_end);
    }
  }
  if (grown_to > size) {
    printf("checked: the first %" PRIu64 " bytes; the store grew to %" PRIu64
           " bytes meanwhile\n", s->pos, grown_to);
  }
  puts(clean ? "clean" : "not clean");
  return clean ? kExitOk : kExitNotClean;
}
