#include "client/unpack.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "chunk/chunker.h"
#include "client/list_reader.h"
#include "client/ordered_check.h"
#include "client/store_window.h"
#include "client/tool_args.h"
#include "client/tool_messages.h"
#include "client/verify_batch.h"
#include "common/interrupt.h"
#include "common/output_file.h"
#include "common/pack_format.h"
#include "common/record.h"
#include "common/store_format.h"
#include "platform/plat.h"

namespace {

constexpr size_t kPackBlock = 1 << 20;
static_assert(kPackBlock >= kMaxChunkLength + kRunHeaderSize, "a chunk fits the pack buffer");

// The pack, read in blocks; a view of up to kPackBlock - 7 bytes is always
// contiguous.
struct PackReader {
  PlatFile file;
  uint8_t* buf;
  size_t have;
  size_t at;
  uint64_t pos;  // pack position of buf[at]
  bool failed;
  int error;
};

// Makes n more bytes available at r->buf + r->at; returns how many are
// (fewer only at the pack's end or after a failed read).
size_t pack_fill(PackReader* r, size_t n) {
  while (r->have - r->at < n && !r->failed) {
    const long got = refill_block(r->file, r->buf, kPackBlock, &r->have, &r->at);
    if (got < 0) {
      r->failed = true;
      r->error = plat_file_last_error();
    }
    if (got <= 0) break;
  }
  size_t avail = r->have - r->at;
  return avail < n ? avail : n;
}

void pack_take(PackReader* r, size_t n) {
  r->at += n;
  r->pos += n;
}

struct Unpack {
  UnpackOptions opt;
  StoreWindow store;
  PackReader pack;
  ListReader list;
  OutputFile out;
  Chunker chunker;
  uint8_t last_byte;  // of the last chunk restored: the filler of a 0-length literal follows it
  uint8_t* chunk_buf;
  // Chunks of reference runs, cut from the store copy and waiting to be
  // digested together; their bytes are written once they are judged. Every
  // literal chunk, every fault and the end settle them first, so the output
  // and the fault reported are those of checking record by record.
  VerifyBatch* batch;
};

int settle_batch(Unpack* u);

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
int fail(Unpack* u, const char* fmt, ...) {
  // A chunk still waiting in the batch comes before this fault: its own
  // fault, if it has one, is the first.
  int st = settle_batch(u);
  if (st != kUnpackOk) return st;
  char what[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(what, sizeof what, fmt, ap);
  va_end(ap);
  fprintf(stderr, "chunkunpack: %s\n", what);
  return kUnpackMismatch;
}

int vfail_record_at(Unpack* u, uint64_t index, const ChunkRecord& rec, const char* fmt,
                    va_list ap) {
  char what[384];
  vsnprintf(what, sizeof what, fmt, ap);
  return fail(u, "%s: record %" PRIu64 " (ChunkOffset %" PRIu64 ", length %u): %s",
              u->opt.newer, index, rec.offset, unsigned(rec.real_length), what);
}

// A fault of record `index` (from 0) of NEWER.
#if defined(__GNUC__)
__attribute__((format(printf, 4, 5)))
#endif
int fail_record_at(Unpack* u, uint64_t index, const ChunkRecord& rec, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int st = vfail_record_at(u, index, rec, fmt, ap);
  va_end(ap);
  return st;
}

// A fault of the record taken last.
#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
int fail_record(Unpack* u, const ChunkRecord& rec, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int st = vfail_record_at(u, u->list.index - 1, rec, fmt, ap);
  va_end(ap);
  return st;
}

// A chunk of the batch judged, in list order: its bytes are written, or its
// fault is the first. Returns kUnpackOk or the status of the fault.
int settled(Unpack* u, uint64_t index, const ChunkRecord& rec, const uint8_t* bytes,
            bool matches) {
  if (!matches) {
    return fail_record_at(u, index, rec,
                          "the chunk in the store copy does not match the record's digest");
  }
  output_write(&u->out, bytes, rec.real_length);
  if (rec.real_length > 0) u->last_byte = bytes[rec.real_length - 1];
  // A failed write (a full disk, a reader of the pipe that has gone) ends
  // the restore here: nothing after it could reach the output.
  return u->out.failed ? int(kUnpackOutput) : int(kUnpackOk);
}

// The same for every chunk of the batch, up to the first fault.
struct Settle {
  Unpack* u;
  int* status;
  bool operator()(uint64_t index, const ChunkRecord& rec, const uint8_t* bytes, bool matches) {
    *status = settled(u, index, rec, bytes, matches);
    return *status == kUnpackOk;
  }
};

// Digests the chunks waiting in the batch and writes the bytes of each in
// turn, up to the first that does not match its record.
int settle_batch(Unpack* u) {
  int status = kUnpackOk;
  (void)ordered_settle(u->batch, Settle{u, &status});
  return status;
}

// A record of a reference run: its bytes from the store copy, once the
// batch it waits in is settled.
int restore_reference(Unpack* u, const ChunkRecord& rec) {
  StoreWindow* w = &u->store;
  if (!chunk_in_store(rec.offset, rec.real_length, w->size)) {
    return fail_record(u, rec, "a reference beyond the end of the store copy %s (%" PRIu64
                       " bytes)", u->opt.store, w->size);
  }
  size_t got = 0;
  const uint8_t* p = window_view(w, rec.offset << kChunkAlignShift, kMaxChunkLength, &got);
  if (p == nullptr) {
    return fail_record(u, rec, "reading %s failed: %s", u->opt.store, plat_error_text(w->error));
  }
  int status = kUnpackOk;
  if (ordered_take(u->batch, &u->chunker, p, got, rec, u->list.index - 1, Settle{u, &status}) ==
      kTakeCutShort) {
    return fail_record(u, rec, "the store copy ends before the chunk does");
  }
  return status;
}

// A record of a literal run: its bytes from the pack.
int restore_literal(Unpack* u, const ChunkRecord& rec) {
  // The chunks before it are written first, and its filler follows their
  // last byte.
  int st = settle_batch(u);
  if (st != kUnpackOk) return st;
  PackReader* r = &u->pack;
  size_t n = rec.real_length;
  if (pack_fill(r, n) < n) {
    if (r->failed) return fail(u, "reading %s failed: %s", u->opt.pack, plat_error_text(r->error));
    return fail_record(u, rec, "%s ends inside the literal bytes of this record (%u of %u "
                       "bytes there)", u->opt.pack, unsigned(r->have - r->at), unsigned(n));
  }
  const uint8_t* p = r->buf + r->at;
  ChunkMatch m = real_bytes_match(&u->chunker, p, n, u->last_byte, u->chunk_buf, rec);
  // A chunk of filler only follows the last byte of its file's previous
  // chunk, or, for an empty file, nothing (filler 1, 2, ...).
  if (m != kChunkMatches && n == 0 && u->last_byte != 0) {
    m = real_bytes_match(&u->chunker, p, 0, 0, u->chunk_buf, rec);
  }
  if (m != kChunkMatches) {
    return fail_record(u, rec, "the literal bytes at byte %" PRIu64 " of %s do not match the "
                       "record's digest", r->pos, u->opt.pack);
  }
  output_write(&u->out, p, n);
  if (n > 0) u->last_byte = p[n - 1];
  pack_take(r, n);
  return u->out.failed ? int(kUnpackOutput) : int(kUnpackOk);
}

int unpack(Unpack* u) {
  PackReader* r = &u->pack;
  ListReader* l = &u->list;
  uint64_t runs = 0;
  for (;;) {
    uint64_t run_at = r->pos;
    size_t h = pack_fill(r, kRunHeaderSize);
    if (r->failed) return fail(u, "reading %s failed: %s", u->opt.pack, plat_error_text(r->error));
    ChunkRecord rec;
    if (h == 0) {
      // The pack has ended: so must the list.
      ListStep step = list_next(l, &rec);
      if (step == kListRecord) {
        return fail(u, "%s ends after %" PRIu64 " runs, but %s has more records: record %" PRIu64
                    " and on are in no run", u->opt.pack, runs, u->opt.newer, l->index - 1);
      }
      break;
    }
    if (h < kRunHeaderSize) {
      return fail(u, "%s ends inside a run header (%u stray bytes at byte %" PRIu64 ")",
                  u->opt.pack, unsigned(h), run_at);
    }
    const RunHeader run = decode_run_header(r->buf + r->at);
    const uint64_t run_offset = run.offset;
    const unsigned count = run.count;
    pack_take(r, kRunHeaderSize);
    runs++;
    const bool reference = run_offset != 0;
    if (count == 0) return fail(u, "the run at byte %" PRIu64 " of %s has 0 records", run_at,
                                u->opt.pack);
    uint64_t next = run_offset;
    for (unsigned i = 0; i < count; i++) {
      ListStep step = list_next(l, &rec);
      if (step != kListRecord) {
        if (step == kListReadFailed) {
          return fail(u, "reading %s failed: %s", u->opt.newer, plat_error_text(l->error));
        }
        return fail(u, "the %s run at byte %" PRIu64 " of %s holds %u records, but %s ends "
                    "after record %" PRIu64 " (%u of them)", reference ? "reference" : "literal",
                    run_at, u->opt.pack, count, u->opt.newer, l->index, i);
      }
      // The records of a run lie back to back: each starts where the one
      // before ends. A literal run's first offset is not in the pack.
      if ((reference || i > 0) && rec.offset != next) {
        return fail_record(u, rec, "the %s run at byte %" PRIu64 " of %s (%u records) expects "
                           "ChunkOffset %" PRIu64 " here: the pack does not match the list",
                           reference ? "reference" : "literal", run_at, u->opt.pack, count, next);
      }
      int st = reference ? restore_reference(u, rec) : restore_literal(u, rec);
      if (st != kUnpackOk) return st;
      next = chunk_offset_after(rec.offset, rec.real_length);
    }
  }
  int st = settle_batch(u);
  if (st != kUnpackOk) return st;
  if (l->stray != 0) {
    return fail(u, "%s ends inside a record: %u stray bytes after record %" PRIu64, u->opt.newer,
                unsigned(l->stray), l->index);
  }
  return kUnpackOk;
}

Unpack g_unpack;
VerifyBatch g_batch;
uint8_t g_window[kStoreWindowSize];
uint8_t g_pack_buf[kPackBlock];
uint8_t g_list_buf[kListReadBlock];
uint8_t g_out_buf[kOutputBlock];
alignas(64) uint8_t g_chunk_buf[kChunkBufferSize];

}  // namespace

int unpack_command(const UnpackOptions& options) {
  Unpack* u = &g_unpack;
  u->opt = options;
  const UnpackOptions& opt = u->opt;
  int status = kUnpackOk;
  if (opt.out != nullptr) {
    const NamedFile inputs[] = {
        {"store copy", opt.store}, {"list", opt.newer}, {"pack", opt.pack}};
    status = tool_check_output("chunkunpack", opt.out, inputs, 3, kUnpackOutput);
    if (status != 0) return status;
  }
  interrupt_install("chunkunpack");
  plat_broken_pipe_fails_writes();
  if (!tool_open_store("chunkunpack", "store copy", opt.store, &u->store, g_window, false)) {
    return kUnpackUsage;
  }
  PlatFile list = tool_open_read("chunkunpack", "list", opt.newer);
  if (list == kPlatNoFile) return kUnpackUsage;
  PlatFile pack = tool_open_read("chunkunpack", "pack", opt.pack);
  if (pack == kPlatNoFile) return kUnpackUsage;
  u->pack = PackReader{pack, g_pack_buf, 0, 0, 0, false, 0};
  list_open(&u->list, list, g_list_buf);
  u->chunk_buf = g_chunk_buf;
  u->batch = &g_batch;
  batch_clear(u->batch);
  u->last_byte = 0;
  chunker_reset(&u->chunker);
  if (!output_open(&u->out, opt.out, g_out_buf, sizeof g_out_buf)) {
    say_cannot_create("chunkunpack", u->out);
    return kUnpackOutput;
  }

  status = unpack(u);
  const bool renamed_away = opt.out && !u->out.direct;
  if (status == kUnpackOutput) {
    output_abandon(&u->out);
    say_write_failed("chunkunpack", u->out, renamed_away ? opt.out : nullptr);
    return status;
  }
  if (status != kUnpackOk) {
    output_abandon(&u->out);
    if (renamed_away) {
      fprintf(stderr, "chunkunpack: %s not written\n", opt.out);
    } else {
      fprintf(stderr, "chunkunpack: %s holds only the first %" PRIu64
              " bytes, those of the records before the fault\n", output_target(&u->out),
              u->out.written);
    }
    return status;
  }
  if (!output_commit(&u->out)) {
    say_write_failed("chunkunpack", u->out, renamed_away ? opt.out : nullptr);
    return kUnpackOutput;
  }
  return kUnpackOk;
}
