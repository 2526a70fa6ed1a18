// chunkcat: restores the bytes a record list names from a store file. Its
// usage and exit statuses are written once, in kUsage below (what --help
// prints); README's reference is checked against it by tests/e2e/test_docs.py.
//
// For each record of LIST, in order, it writes the record's real length in
// bytes found at ChunkOffset x 64 in STORE. Before a chunk's bytes are
// written the chunk is cut again from its place in the store with the
// server's own chunker (it ends where its content says, filler included, as
// stored) and its digest compared with the record's; --no-verify skips this.
// --check verifies every record of each list and writes no bytes.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "chunk/chunker.h"
#include "common/interrupt.h"
#include "client/list_reader.h"
#include "common/output_file.h"
#include "client/progress.h"
#include "client/ordered_check.h"
#include "client/store_window.h"
#include "client/tool_args.h"
#include "client/verify_batch.h"
#include "common/bytes.h"
#include "common/record.h"
#include "common/store_format.h"
#include "platform/plat.h"

namespace {

enum ExitStatus : int { kExitOk = 0, kExitUsage = 1, kExitOutput = 2, kExitRecord = 3 };

constexpr unsigned kMaxReports = 20;

const char kUsage[] =
    "usage: chunkcat [options] STORE LIST\n"
    "       chunkcat --check STORE LIST...\n"
    "\n"
    "Writes the bytes that the record list LIST names in the store file STORE\n"
    "(the server's \"$dump\"): for each record in order, its real length in bytes\n"
    "at ChunkOffset x 64. A list of several files gives their bytes one after\n"
    "the other; \"chunksend --per-file\" makes one list per file.\n"
    "\n"
    "options:\n"
    "  -o OUT       write to OUT instead of standard output. OUT is written under\n"
    "               a temporary name and renamed only when every record was\n"
    "               restored; after a failure it is not created (nor changed).\n"
    "               An OUT that is not a plain file (a device, a FIFO, a symbolic\n"
    "               link) is written to directly, and never replaced\n"
    "  --no-verify  do not check chunks against their records' digests\n"
    "  --check      verify every record of each LIST and write nothing: one line\n"
    "               per list on standard output, bad records on stderr\n"
    "  --progress   show progress on stderr also when it is not a terminal\n"
    "  -q           no progress on stderr\n"
    "  -h, --help   this text\n"
    "  --version    the version\n"
    "\n"
    "Every chunk is verified by default: it is cut again from its place in the\n"
    "store and its digest compared with the record's.\n"
    "\n"
    "exit statuses: 0 done; 1 usage, STORE or LIST cannot be opened, STORE is\n"
    "not a chunk store, or OUT is STORE or LIST (however spelled); 2 the output cannot be written, also when standard\n"
    "output is a pipe whose reader has gone (as with \"| head\"): one line on\n"
    "stderr says so, and what was written is a correct prefix; 3 a record\n"
    "cannot be restored (ChunkOffset 0, beyond the store's end, unreadable, digest\n"
    "mismatch, a list that ends inside a record, or a list most of whose\n"
    "records lie outside STORE); 130/143 interrupted (SIGINT/SIGTERM), nothing\n"
    "left under a temporary name. Bad records are reported with their index (from 0) and\n"
    "ChunkOffset. On standard output the bytes before the first bad record\n"
    "have been written, and the message says how many. With --check: 3 when a\n"
    "list has a bad record or is damaged, else 1 when a list cannot be opened.\n";

struct Options {
  const char* store = nullptr;
  const char* list = nullptr;
  const char* out = nullptr;
  bool verify = true;
  bool check = false;   // --check: verify the lists, write nothing
  bool progress = true;       // -q turns it off
  bool force_progress = false;  // --progress: also when stderr is no terminal
  std::vector<const char*> lists;  // only --check takes more than one
};

struct Restore {
  Options opt;
  StoreWindow store;
  Chunker chunker;
  OutputFile out;
  Progress progress;
  uint64_t bad_records = 0;
  uint64_t outside = 0;  // bad records that lie outside the store
  uint64_t first_bad = 0;
  uint64_t good_bytes = 0;    // real bytes of the records restored
  bool stop_at_bad = false;   // the restore ends at the first bad record
  bool halted = false;        // it ended there, or the output failed
  uint64_t halt_index = 0;    // at this record
  VerifyBatch* batch = nullptr;  // verified chunks waiting for their digests
};

#if defined(__GNUC__)
__attribute__((format(printf, 4, 5)))
#endif
void report_record(Restore* r, uint64_t index, const ChunkRecord& rec, const char* fmt, ...) {
  if (r->bad_records++ == 0) r->first_bad = index;
  if (r->bad_records > kMaxReports) return;
  progress_break(&r->progress);
  char what[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(what, sizeof what, fmt, ap);
  va_end(ap);
  fprintf(stderr, "chunkcat: %s: record %" PRIu64 " (ChunkOffset %" PRIu64 ", length %u): %s\n",
          r->opt.list, index, rec.offset, unsigned(rec.real_length), what);
}

void halt_at(Restore* r, uint64_t index) {
  r->halted = true;
  r->halt_index = index;
}

// A record restored: its bytes are written unless a bad record came before
// (after the first one nothing more is written; the rest is checked).
void record_done(Restore* r, uint64_t index, const uint8_t* p, const ChunkRecord& rec) {
  r->good_bytes += rec.real_length;
  if (r->bad_records == 0 && !r->opt.check) output_write(&r->out, p, rec.real_length);
  if (r->out.failed) halt_at(r, index);
}

// A record reported bad.
void record_bad(Restore* r, uint64_t index) {
  if (r->stop_at_bad) halt_at(r, index);
}

// Digests the chunks waiting in the batch and finishes their records in
// list order, as if each had been checked on its own. Returns false when the
// restore has ended (the records after that one are left unlooked at).
// A chunk of the batch judged, in list order.
bool settled(Restore* r, uint64_t index, const ChunkRecord& rec, const uint8_t* bytes,
             bool matches) {
  if (matches) {
    record_done(r, index, bytes, rec);
  } else {
    report_record(r, index, rec, "the stored chunk does not match the record's digest");
    record_bad(r, index);
  }
  return !r->halted;
}

bool settle_batch(Restore* r) {
  if (r->halted) return false;
  if (r->batch == nullptr) return true;
  return ordered_settle(r->batch, [r](uint64_t index, const ChunkRecord& rec,
                                      const uint8_t* bytes, bool matches) {
    return settled(r, index, rec, bytes, matches);
  });
}

// Reports a record that cannot be restored, after the records before it.
#if defined(__GNUC__)
__attribute__((format(printf, 5, 6)))
#endif
void report_in_order(Restore* r, uint64_t index, const ChunkRecord& rec, bool outside,
                     const char* fmt, ...) {
  if (!settle_batch(r)) return;
  if (outside) r->outside++;
  char what[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(what, sizeof what, fmt, ap);
  va_end(ap);
  report_record(r, index, rec, "%s", what);
  record_bad(r, index);
}

// Takes one record. A verified chunk waits in the batch until it is full;
// settle_batch finishes the rest. Returns false when the restore has ended.
bool restore_record(Restore* r, uint64_t index, const ChunkRecord& rec) {
  StoreWindow* w = &r->store;
  if (rec.offset == 0) {
    report_in_order(r, index, rec, true, "ChunkOffset 0 is the store header, not a chunk");
    return !r->halted;
  }
  const uint64_t pos = rec.offset << kChunkAlignShift;
  if (!chunk_in_store(rec.offset, rec.real_length, w->size)) {
    report_in_order(r, index, rec, true, "reaches byte %" PRIu64 ", past the end of the store (%" PRIu64
                    " bytes)", pos + rec.real_length, w->size);
    return !r->halted;
  }
  size_t want = r->opt.verify ? kMaxChunkLength : rec.real_length;
  size_t got = 0;
  const uint8_t* p = window_view(w, pos, want, &got);
  if (p == nullptr) {
    report_in_order(r, index, rec, false, "reading the store failed: %s", plat_error_text(w->error));
    return !r->halted;
  }
  if (got < rec.real_length) {
    report_in_order(r, index, rec, false, "the store ended while it was read");
    return !r->halted;
  }
  if (!r->opt.verify) {
    record_done(r, index, p, rec);
    return !r->halted;
  }
  OrderedTake t = ordered_take(r->batch, &r->chunker, p, got, rec, index,
                               [r](uint64_t i, const ChunkRecord& c, const uint8_t* bytes,
                                   bool matches) { return settled(r, i, c, bytes, matches); });
  if (t == kTakeCutShort) {
    report_in_order(r, index, rec, false, "the store ends before the chunk does");
    return !r->halted;
  }
  return t != kTakeStopped;
}

int parse_options(int argc, char** argv, Options* o) {
  ToolArgs args;
  args_begin(&args, "chunkcat", kUsage, argc, argv);
  int positional = 0;
  while (const char* a = args_next(&args)) {
    if (strcmp(a, "-o") == 0) {
      if (!(o->out = args_value(&args))) return args_error(&args, "-o needs a path", nullptr);
    } else if (strcmp(a, "--no-verify") == 0) {
      o->verify = false;
    } else if (strcmp(a, "--check") == 0) {
      o->check = true;
    } else if (strcmp(a, "--progress") == 0) {
      o->force_progress = true;
    } else if (strcmp(a, "-q") == 0) {
      o->progress = false;
    } else if (args_is_option(a)) {
      return args_error(&args, "unknown option", a);
    } else if (positional == 0) {
      o->store = a;
      positional++;
    } else {
      o->lists.push_back(a);
      positional++;
    }
  }
  if (positional < 2) {
    return args_error(&args, "a store file and a record list are needed", nullptr);
  }
  if (o->lists.size() > 1 && !o->check) {
    return args_error(&args, "one store and one list only (--check takes several); extra argument",
                      o->lists[1]);
  }
  if (o->check && o->out) {
    return args_error(&args, "--check writes nothing; -o cannot go with it", nullptr);
  }
  o->list = o->lists[0];
  return kExitOk;
}

// A list most of whose records lie outside the store was made for another
// store (or is no record list at all); one line says so, beside the records
// reported one by one. Returns whether it said so.
bool report_foreign_list(const char* name, uint64_t outside, uint64_t records) {
  if (records == 0 || outside * 2 <= records) return false;
  fprintf(stderr,
          "chunkcat: %s is not a record list of this store: %" PRIu64 " of its %" PRIu64
          " records lie outside it\n",
          name, outside, records);
  return true;
}

// Before anything is written: the list's records and real bytes, and
// whether it belongs to the store at all. A list that cannot be read twice
// (a pipe) is not looked at in advance; *total stays 0 then.
bool prescan_list(Restore* r, PlatFile list, uint8_t* buf, uint64_t* total) {
  *total = 0;
  if (plat_file_seek(list, 0, kSeekBegin, nullptr) != 0) return true;
  ListReader l;
  list_open(&l, list, buf);
  ChunkRecord rec;
  uint64_t outside = 0, bytes = 0;
  const uint64_t size = r->store.size;
  while (list_next(&l, &rec) == kListRecord) {
    if (!chunk_in_store(rec.offset, rec.real_length, size)) outside++;
    bytes += rec.real_length;
  }
  if (plat_file_seek(list, 0, kSeekBegin, nullptr) != 0) return true;
  if (report_foreign_list(r->opt.list, outside, l.index)) return false;
  *total = bytes;
  return true;
}

// The store header is 64 bytes of 0xCC; an empty file is a store that has
// never been written to.
bool looks_like_store(StoreWindow* w) {
  if (w->size == 0) return true;
  if (w->size < kStoreHeaderSize) return false;
  size_t got = 0;
  const uint8_t* p = window_view(w, 0, kStoreHeaderSize, &got);
  return p != nullptr && store_header_ok(p, got);
}

// --check: every record of every list is verified; nothing is written but
// one line per list on standard output.
int check_lists(Restore* r) {
  static uint8_t list_buf[kListReadBlock];
  int status = kExitOk;
  for (const char* name : r->opt.lists) {
    r->opt.list = name;
    PlatFile f = tool_open_read("chunkcat", "list", name);
    if (f == kPlatNoFile) {
      if (status == kExitOk) status = kExitUsage;
      continue;
    }
    ListReader l;
    list_open(&l, f, list_buf);
    uint64_t bad_before = r->bad_records, outside_before = r->outside;
    uint64_t bytes_before = r->good_bytes;
    ChunkRecord rec;
    ListStep step;
    while ((step = list_next(&l, &rec)) == kListRecord) (void)restore_record(r, l.index - 1, rec);
    (void)settle_batch(r);
    const uint64_t bytes = r->good_bytes - bytes_before;
    (void)plat_file_close(f);
    uint64_t bad = r->bad_records - bad_before;
    if (step == kListReadFailed) {
      fprintf(stderr, "chunkcat: reading %s failed after record %" PRIu64 ": %s\n", name,
              l.index, plat_error_text(l.error));
    } else if (l.stray != 0) {
      fprintf(stderr, "chunkcat: %s ends inside a record: %zu stray bytes after record %" PRIu64
              "\n", name, l.stray, l.index);
    }
    report_foreign_list(name, r->outside - outside_before, l.index);
    bool ok = bad == 0 && step == kListEnd && l.stray == 0;
    printf("%s: %" PRIu64 " records, %" PRIu64 " bytes: %s", name, l.index, bytes,
           ok ? "ok\n" : "");
    if (!ok) {
      printf("%" PRIu64 " bad%s\n", bad, step == kListEnd && l.stray == 0 ? "" : ", list damaged");
      status = kExitRecord;
    }
  }
  if (r->bad_records > kMaxReports) {
    fprintf(stderr, "chunkcat: %" PRIu64 " bad records in all\n", r->bad_records);
  }
  return status;
}

Restore g_restore;  // holds the chunker: static, set up once
uint8_t g_window[kStoreWindowSize];
uint8_t g_list_buf[kListReadBlock];
uint8_t g_out_buf[kOutputBlock];
VerifyBatch g_batch;

}  // namespace

int main(int argc, char** argv) {
  Restore* r = &g_restore;
  int status = parse_options(argc, argv, &r->opt);
  if (status != kExitOk) return status;
  const Options& opt = r->opt;
  if (opt.out != nullptr) {
    const NamedFile inputs[] = {{"store file", opt.store}, {"list", opt.list}};
    status = tool_check_output("chunkcat", opt.out, inputs, 2, kExitOutput);
    if (status != 0) return status;
  }
  interrupt_install("chunkcat");
  plat_broken_pipe_fails_writes();

  PlatFile store = tool_open_read("chunkcat", "store", opt.store);
  if (store == kPlatNoFile) return kExitUsage;
  if (!window_open(&r->store, store, g_window)) {
    fprintf(stderr, "chunkcat: cannot find the size of %s: %s\n", opt.store,
            plat_error_text(r->store.error));
    return kExitUsage;
  }
  if (!looks_like_store(&r->store)) {
    fprintf(stderr, "chunkcat: %s is not a chunk store: its first %u bytes are not the store "
            "header\n", opt.store, unsigned(kStoreHeaderSize));
    return kExitUsage;
  }
  batch_clear(&g_batch);
  r->batch = &g_batch;
  chunker_reset(&r->chunker);
  if (opt.check) return check_lists(r);
  PlatFile list = tool_open_read("chunkcat", "list", opt.list);
  if (list == kPlatNoFile) return kExitUsage;
  uint64_t total = 0;
  if (!prescan_list(r, list, g_list_buf, &total)) {
    fprintf(stderr, "chunkcat: nothing written\n");
    return kExitRecord;
  }

  if (!output_open(&r->out, opt.out, g_out_buf, sizeof g_out_buf)) {
    fprintf(stderr, "chunkcat: cannot create %s: %s\n", output_target(&r->out),
            plat_error_text(r->out.error));
    return kExitOutput;
  }
  // Nothing written can be taken back on standard output, nor on a device:
  // there the restore stops at the first bad record, so that what was
  // written is a correct prefix.
  const bool can_take_back = opt.out && !r->out.direct;
  r->stop_at_bad = !can_take_back;
  const char* shown = opt.out ? opt.out : opt.list;
  progress_start(&r->progress, "chunkcat", opt.progress && (opt.force_progress ||
                 plat_stderr_is_terminal()), opt.force_progress, total);

  ListReader l;
  list_open(&l, list, g_list_buf);
  ChunkRecord rec;
  ListStep step;
  while ((step = list_next(&l, &rec)) == kListRecord) {
    if (!restore_record(r, l.index - 1, rec)) break;
    progress_show(&r->progress, r->out.written, shown);
  }
  (void)settle_batch(r);
  // Ended at a bad record or a failed write: what follows in the list is
  // not looked at.
  const bool stopped = r->halted;
  const uint64_t records_seen = stopped ? r->halt_index + 1 : l.index;
  bool list_failed = false;
  if (!stopped && step == kListReadFailed) {
    progress_break(&r->progress);
    fprintf(stderr, "chunkcat: reading %s failed after record %" PRIu64 ": %s\n", opt.list,
            l.index, plat_error_text(l.error));
    list_failed = true;
  } else if (!stopped && step == kListEnd && l.stray != 0) {
    progress_break(&r->progress);
    fprintf(stderr, "chunkcat: %s ends inside a record: %zu stray bytes after record %" PRIu64
            "\n", opt.list, l.stray, l.index);
    list_failed = true;
  }
  bool records_ok = r->bad_records == 0 && !list_failed;
  if (records_ok && !r->out.failed) progress_finish(&r->progress, r->out.written, shown);
  progress_break(&r->progress);
  if (r->bad_records > kMaxReports) {
    fprintf(stderr, "chunkcat: %" PRIu64 " bad records in all\n", r->bad_records);
  }
  report_foreign_list(opt.list, r->outside, records_seen);

  if (r->out.failed || !records_ok) {
    output_abandon(&r->out);
    if (r->out.failed) {
      fprintf(stderr, "chunkcat: writing %s failed: %s%s%s\n", output_target(&r->out),
              plat_error_text(r->out.error), can_take_back ? "; not written: " : "",
              can_take_back ? opt.out : "");
      return kExitOutput;
    }
    if (can_take_back) {
      fprintf(stderr, "chunkcat: %s not written\n", opt.out);
    } else {
      fprintf(stderr, "chunkcat: %s holds only the first %" PRIu64
              " bytes: those of the records before record %" PRIu64 "\n",
              output_target(&r->out), r->out.written, r->bad_records ? r->first_bad : l.index);
    }
    return kExitRecord;
  }
  if (!output_commit(&r->out)) {
    fprintf(stderr, "chunkcat: writing %s failed: %s%s%s\n", output_target(&r->out),
            plat_error_text(r->out.error), can_take_back ? "; not written: " : "",
            can_take_back ? opt.out : "");
    return kExitOutput;
  }
  return kExitOk;
}
