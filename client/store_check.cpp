#include "client/store_check.h"

#include <cinttypes>
#include <cstdio>

#include "chunk/index_fill.h"
#include "client/json_out.h"
#include "common/store_format.h"

namespace {

constexpr uint64_t kProgressAfterMs = 1000;
constexpr uint64_t kProgressEveryMs = 500;
constexpr int kGrowthChecks = 4;
constexpr unsigned kGrowthWaitMs = 50;

struct CheckProgress {
  const char* tool;
  bool on;
  bool shown;
  uint64_t started_ms;
  uint64_t shown_ms;
};

void show_progress(CheckProgress* pr, uint64_t done, uint64_t total) {
  if (!pr->on) return;
  uint64_t now = plat_monotonic_ms();
  if (now - pr->started_ms < kProgressAfterMs || now - pr->shown_ms < kProgressEveryMs) return;
  pr->shown_ms = now;
  pr->shown = true;
  double s = double(now - pr->started_ms) / 1000.0;
  fprintf(stderr, "\r%s: %" PRIu64 " of %" PRIu64 " MB checked (%3.0f%%), %.0f MB/s ", pr->tool,
          done >> 20, total >> 20, total ? 100.0 * double(done) / double(total) : 100.0,
          double(done) / 1e6 / s);
}

uint64_t file_size(PlatFile f) {
  uint64_t size = 0;
  if (plat_file_seek(f, 0, kSeekEnd, &size) != 0) return 0;
  return size;
}

// The examples of each fault, and the index warning, on stderr.
void report_bad_padding(const StoreCheck& c) {
  const StoreScan* s = c.scan;
  for (uint64_t i = 0; i < s->bad_padding && i < kScanExamples; i++) {
    fprintf(stderr, "%s: the chunk at ChunkOffset %" PRIu64
            " has padding that is not a copy of its last byte\n", c.tool, s->bad_padding_at[i]);
  }
}

void report_duplicates(const StoreCheck& c) {
  const StoreScan* s = c.scan;
  for (unsigned i = 0; i < s->duplicate_examples; i++) {
    fprintf(stderr, "%s: the chunk at ChunkOffset %" PRIu64 " is stored again at ChunkOffset %"
            PRIu64 "\n", c.tool, s->duplicate_at[i].first, s->duplicate_at[i].again);
  }
}

void report_index_fill(const StoreCheck& c) {
  const uint64_t distinct = c.scan->chunks - c.scan->duplicates;
  if (index_fill_warns(distinct)) {
    char text[320];
    fprintf(stderr, "%s: %s\n", c.tool, index_fill_warning(text, sizeof text, distinct));
  }
}

void report_examples(const StoreCheck& c) {
  report_bad_padding(c);
  report_duplicates(c);
  report_index_fill(c);
}

bool torn_in_padding(const StoreScan* s) {
  return s->pad_left > 0 && s->chunker.chunk_length == 0;
}

}  // namespace

void store_check_run(StoreCheck* c, const char* tool, const char* path, PlatFile f, StoreScan* s,
                     uint8_t* block, size_t block_size, bool progress, bool keep_keys) {
  *c = StoreCheck{tool, path, file_size(f), false, false, 0, 0, false, s};
  const uint64_t size = c->size;
  c->grown_to = size;
  scan_begin(s, kStoreHeaderSize);
  s->keep_keys = keep_keys;
  // Room for the keys of a store of chunks of some 256 bytes with their
  // padding (random data), up to what a full index holds: growing the
  // vector by doubling copies it and touches its pages twice.
  constexpr uint64_t kKeysReserved = uint64_t(40) << 20;
  const uint64_t guess = size / 256;
  s->keys.reserve(size_t(guess < kKeysReserved ? guess : kKeysReserved));
  if (size == 0) {
    // What a server that never stored a chunk leaves behind.
    scan_end(s);
    c->clean = true;
    return;
  }
  uint8_t header[kStoreHeaderSize];
  long got = 0;
  if (plat_file_seek(f, 0, kSeekBegin, nullptr) == 0) {
    got = plat_file_read_full(f, header, sizeof header);
  }
  c->header_ok = store_header_ok(header, uint64_t(got < 0 ? 0 : got));
  if (!c->header_ok) {
    scan_end(s);
    return;
  }
  CheckProgress pr{tool, progress, false, plat_monotonic_ms(), 0};
  // The bytes that were there when the check began; then, when that ends
  // inside a chunk the server is still writing, on to its end.
  uint64_t limit = size;
  for (;;) {
    while (s->pos < limit) {
      uint64_t left = limit - s->pos;
      size_t want = left < block_size ? size_t(left) : block_size;
      long n = plat_file_read_full(f, block, want);
      if (n < 0) {
        c->read_failed = true;
        c->read_error = plat_file_last_error();
        break;
      }
      if (n == 0) break;  // the file shrank: what remains is the tail
      scan_feed(s, block, size_t(n));
      show_progress(&pr, s->pos, size);
      if (limit > size && scan_at_boundary(s)) break;
    }
    if (c->read_failed || scan_at_boundary(s) || s->pos < limit) break;
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
      c->read_failed = true;
      c->read_error = plat_file_last_error();
      break;
    }
    c->grown_to = now_size;
    limit = now_size;
  }
  if (pr.shown) fputc('\n', stderr);
  scan_end(s);
  c->clean = s->bad_padding == 0 && !c->read_failed && s->whole_end == s->pos;
}

void store_check_print(const StoreCheck& c, bool verdict) {
  const StoreScan* s = c.scan;
  printf("store: %s (%" PRIu64 " bytes)\n", c.path, c.size);
  if (c.size == 0) {
    printf("header: none yet (the server writes it with the first chunk)\nchunks: 0\n");
    if (verdict) printf("clean\n");
    return;
  }
  if (!c.header_ok) {
    printf("header: bad: the first 64 bytes are not the store header (64 bytes of 0xCC)\n");
    if (verdict) printf("not clean: not a chunk store\n");
    return;
  }
  printf("header: ok\n");
  printf("chunks: %" PRIu64 " (%" PRIu64 " bytes, filler included)\n", s->chunks, s->chunk_bytes);
  printf("padding: %" PRIu64 " bytes\n", s->padding_bytes);
  printf("padding not a copy of the last byte: %" PRIu64 " chunks\n", s->bad_padding);
  report_bad_padding(c);
  printf("stored more than once: %" PRIu64 " chunks (%" PRIu64 " bytes)\n", s->duplicates,
         s->duplicate_bytes);
  report_duplicates(c);
  // The index of a server started on this store holds each distinct chunk once.
  const uint64_t distinct = s->chunks - s->duplicates;
  printf("index: %" PRIu64 " distinct chunks of %u slots (%.2f%%)\n", distinct,
         unsigned(kIndexSlots), index_fill_percent(distinct));
  report_index_fill(c);
  if (c.read_failed) {
    printf("tail: not checked: reading failed at byte %" PRIu64 ": %s\n", s->pos,
           plat_error_text(c.read_error));
  } else if (s->whole_end == s->pos) {
    printf("tail: none\n");
  } else if (torn_in_padding(s)) {
    printf("tail: torn: the store ends %u bytes short inside the padding of its last chunk"
           " (byte %" PRIu64 " on)\n", unsigned(s->pad_left), s->whole_end);
  } else {
    printf("tail: torn: %" PRIu64 " bytes after the last whole chunk (byte %" PRIu64
           " on) are no whole chunk\n", s->pos - s->whole_end, s->whole_end);
  }
  if (c.grown_to > c.size) {
    printf("checked: the first %" PRIu64 " bytes; the store grew to %" PRIu64
           " bytes meanwhile\n", s->pos, c.grown_to);
  }
  if (verdict) puts(c.clean ? "clean" : "not clean");
}

void store_check_print_json(const StoreCheck& c) {
  const StoreScan* s = c.scan;
  printf("\"store\": %s, \"bytes\": %" PRIu64 ", \"header\": \"%s\"", json_string(c.path).c_str(),
         c.size, c.size == 0 ? "none" : c.header_ok ? "ok" : "bad");
  if (c.header_ok) {
    report_examples(c);
    const uint64_t distinct = s->chunks - s->duplicates;
    printf(", \"chunks\": %" PRIu64 ", \"chunk_bytes\": %" PRIu64 ", \"padding_bytes\": %" PRIu64
           ", \"bad_padding_chunks\": %" PRIu64 ", \"duplicate_chunks\": %" PRIu64
           ", \"duplicate_bytes\": %" PRIu64 ", \"distinct_chunks\": %" PRIu64
           ", \"index_slots\": %u, \"index_fill_percent\": %.2f", s->chunks, s->chunk_bytes,
           s->padding_bytes, s->bad_padding, s->duplicates, s->duplicate_bytes, distinct,
           unsigned(kIndexSlots), index_fill_percent(distinct));
    const char* tail = c.read_failed ? "not checked" : s->whole_end == s->pos ? "none" : "torn";
    printf(", \"tail\": \"%s\", \"tail_bytes\": %" PRIu64 ", \"checked_bytes\": %" PRIu64, tail,
           c.read_failed ? 0 : s->pos - s->whole_end, s->pos);
    if (c.read_failed) printf(", \"read_error\": %s", json_string(plat_error_text(c.read_error)).c_str());
  }
  printf(", \"clean\": %s", c.clean ? "true" : "false");
}
