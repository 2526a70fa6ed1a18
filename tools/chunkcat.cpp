// chunkcat: restores the bytes a record list names from a store file.
//
//   chunkcat [options] STORE LIST
//   chunkcat --check STORE LIST...
//
// For each record of LIST, in order, it writes the record's real length in
// bytes found at ChunkOffset x 64 in STORE. Before a chunk's bytes are
// written the chunk is cut again from its place in the store with the
// server's own chunker (it ends where its content says, filler included, as
// stored) and its digest compared with the record's; --no-verify skips this.
// --check verifies every record of each list and writes no bytes.
//
// Exit statuses:
//   0  every record was restored (and verified)
//   1  usage error, or STORE or LIST cannot be opened
//   2  OUT cannot be created or written, or standard output cannot be written
//   3  a record cannot be restored: ChunkOffset 0, a chunk beyond the store's
//      end, a failed read, a chunk that does not match its digest, or a list
//      that cannot be read or ends inside a record. Each is reported on
//      stderr with the record's index (from 0) and ChunkOffset.
// With --check: 3 when a list has a bad record or is damaged, else 1 when a
// list cannot be opened (the others are still checked), else 0.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/list_reader.h"
#include "client/store_window.h"
#include "common/bytes.h"
#include "common/record.h"
#include "common/usage.h"
#include "platform/plat.h"
#include "server/chunker.h"

namespace {

enum ExitStatus : int { kExitOk = 0, kExitUsage = 1, kExitOutput = 2, kExitRecord = 3 };

constexpr size_t kListBlock = kChunkRecordSize * 8192;
constexpr size_t kOutBlock = 1 << 20;
constexpr unsigned kMaxReports = 20;
constexpr const char* kPartSuffix = ".part";

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
    "               restored; after a failure it is not created (nor changed)\n"
    "  --no-verify  do not check chunks against their records' digests\n"
    "  --check      verify every record of each LIST and write nothing: one line\n"
    "               per list on standard output, bad records on stderr\n"
    "  -h, --help   this text\n"
    "  --version    the version\n"
    "\n"
    "Every chunk is verified by default: it is cut again from its place in the\n"
    "store and its digest compared with the record's.\n"
    "\n"
    "exit statuses: 0 done; 1 usage, or STORE or LIST cannot be opened; 2 the\n"
    "output cannot be written; 3 a record cannot be restored (ChunkOffset 0,\n"
    "beyond the store's end, unreadable, digest mismatch, or a list that ends\n"
    "inside a record). Bad records are reported with their index (from 0) and\n"
    "ChunkOffset. On standard output the bytes before the first bad record\n"
    "have been written, and the message says how many. With --check: 3 when a\n"
    "list has a bad record or is damaged, else 1 when a list cannot be opened.\n";

struct Options {
  const char* store = nullptr;
  const char* list = nullptr;
  const char* out = nullptr;
  bool verify = true;
  bool check = false;   // --check: verify the lists, write nothing
  std::vector<const char*> lists;  // only --check takes more than one
};

struct Restore {
  Options opt;
  StoreWindow store;
  Chunker chunker;
  PlatFile out = kPlatNoFile;
  std::string out_part;
  uint8_t* out_buf = nullptr;
  size_t out_have = 0;
  uint64_t bytes_written = 0;  // handed to the output
  bool out_failed = false;
  int out_error = 0;
  uint64_t bad_records = 0;
  uint64_t first_bad = 0;
  uint8_t* chunk_buf = nullptr;
};

#if defined(__GNUC__)
__attribute__((format(printf, 4, 5)))
#endif
void report_record(Restore* r, uint64_t index, const ChunkRecord& rec, const char* fmt, ...) {
  if (r->bad_records++ == 0) r->first_bad = index;
  if (r->bad_records > kMaxReports) return;
  char what[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(what, sizeof what, fmt, ap);
  va_end(ap);
  fprintf(stderr, "chunkcat: %s: record %" PRIu64 " (ChunkOffset %" PRIu64 ", length %u): %s\n",
          r->opt.list, index, rec.offset, unsigned(rec.real_length), what);
}

void flush_output(Restore* r) {
  if (r->out_have == 0 || r->out_failed) return;
  if (plat_file_write_all(r->out, r->out_buf, r->out_have) != 0) {
    r->out_failed = true;
    r->out_error = plat_file_last_error();
  }
  r->out_have = 0;
}

void emit(Restore* r, const uint8_t* p, size_t n) {
  if (r->out_have + n > kOutBlock) flush_output(r);
  memcpy(r->out_buf + r->out_have, p, n);
  r->out_have += n;
  r->bytes_written += n;
}

// Restores one record. Returns false (after reporting it) when it cannot.
bool restore_record(Restore* r, uint64_t index, const ChunkRecord& rec) {
  StoreWindow* w = &r->store;
  if (rec.offset == 0) {
    report_record(r, index, rec, "ChunkOffset 0 is the store header, not a chunk");
    return false;
  }
  const uint64_t pos = rec.offset << kChunkAlignShift;
  if (pos >= w->size || rec.real_length > w->size - pos) {
    report_record(r, index, rec, "reaches byte %" PRIu64 ", past the end of the store (%" PRIu64
                  " bytes)", pos + rec.real_length, w->size);
    return false;
  }
  size_t want = r->opt.verify ? kMaxChunkLength : rec.real_length;
  size_t got = 0;
  const uint8_t* p = window_view(w, pos, want, &got);
  if (p == nullptr) {
    report_record(r, index, rec, "reading the store failed: %s", plat_error_text(w->error));
    return false;
  }
  if (got < rec.real_length) {
    report_record(r, index, rec, "the store ended while it was read");
    return false;
  }
  if (r->opt.verify) {
    ChunkMatch m = stored_chunk_matches(&r->chunker, p, got, r->chunk_buf, rec);
    if (m == kChunkCutShort) {
      report_record(r, index, rec, "the store ends before the chunk does");
      return false;
    }
    if (m != kChunkMatches) {
      report_record(r, index, rec, "the stored chunk does not match the record's digest");
      return false;
    }
  }
  // After the first bad record nothing more is written; the rest is checked.
  if (r->bad_records == 0 && !r->opt.check) emit(r, p, rec.real_length);
  return true;
}

int usage_error(const char* what, const char* arg) {
  fprintf(stderr, "chunkcat: %s%s%s\n(chunkcat --help shows the usage)\n", what, arg ? ": " : "",
          arg ? arg : "");
  return kExitUsage;
}

int parse_options(int argc, char** argv, Options* o) {
  int positional = 0;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    usage_answer("chunkcat", kUsage, a);
    if (strcmp(a, "-o") == 0) {
      if (i + 1 >= argc) return usage_error("-o needs a path", nullptr);
      o->out = argv[++i];
    } else if (strcmp(a, "--no-verify") == 0) {
      o->verify = false;
    } else if (strcmp(a, "--check") == 0) {
      o->check = true;
    } else if (a[0] == '-' && a[1] != 0) {
      return usage_error("unknown option", a);
    } else if (positional == 0) {
      o->store = a;
      positional++;
    } else {
      o->lists.push_back(a);
      positional++;
    }
  }
  if (positional < 2) return usage_error("a store file and a record list are needed", nullptr);
  if (o->lists.size() > 1 && !o->check) {
    return usage_error("one store and one list only (--check takes several); extra argument",
                       o->lists[1]);
  }
  if (o->check && o->out) {
    return usage_error("--check writes nothing; -o cannot go with it", nullptr);
  }
  o->list = o->lists[0];
  return kExitOk;
}

// --check: every record of every list is verified; nothing is written but
// one line per list on standard output.
int check_lists(Restore* r) {
  static uint8_t list_buf[kListReadBlock];
  int status = kExitOk;
  for (const char* name : r->opt.lists) {
    r->opt.list = name;
    PlatFile f = plat_file_open_read(name);
    if (f == kPlatNoFile) {
      fprintf(stderr, "chunkcat: cannot open the list %s: %s\n", name,
              plat_error_text(plat_file_last_error()));
      if (status == kExitOk) status = kExitUsage;
      continue;
    }
    ListReader l;
    list_open(&l, f, list_buf);
    uint64_t bad_before = r->bad_records, bytes = 0;
    ChunkRecord rec;
    ListStep step;
    while ((step = list_next(&l, &rec)) == kListRecord) {
      if (restore_record(r, l.index - 1, rec)) bytes += rec.real_length;
    }
    (void)plat_file_close(f);
    uint64_t bad = r->bad_records - bad_before;
    if (step == kListReadFailed) {
      fprintf(stderr, "chunkcat: reading %s failed after record %" PRIu64 ": %s\n", name,
              l.index, plat_error_text(l.error));
    } else if (l.stray != 0) {
      fprintf(stderr, "chunkcat: %s ends inside a record: %zu stray bytes after record %" PRIu64
              "\n", name, l.stray, l.index);
    }
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
uint8_t g_list_buf[kListBlock];
uint8_t g_out_buf[kOutBlock];
alignas(64) uint8_t g_chunk_buf[kChunkBufferSize];

}  // namespace

int main(int argc, char** argv) {
  Restore* r = &g_restore;
  int status = parse_options(argc, argv, &r->opt);
  if (status != kExitOk) return status;
  const Options& opt = r->opt;

  PlatFile store = plat_file_open_read(opt.store);
  if (store == kPlatNoFile) {
    fprintf(stderr, "chunkcat: cannot open the store %s: %s\n", opt.store,
            plat_error_text(plat_file_last_error()));
    return kExitUsage;
  }
  if (!window_open(&r->store, store, g_window)) {
    fprintf(stderr, "chunkcat: cannot find the size of %s: %s\n", opt.store,
            plat_error_text(r->store.error));
    return kExitUsage;
  }
  r->out_buf = g_out_buf;
  r->chunk_buf = g_chunk_buf;
  chunker_reset(&r->chunker);
  if (opt.check) return check_lists(r);
  PlatFile list = plat_file_open_read(opt.list);
  if (list == kPlatNoFile) {
    fprintf(stderr, "chunkcat: cannot open the list %s: %s\n", opt.list,
            plat_error_text(plat_file_last_error()));
    return kExitUsage;
  }

  if (opt.out) {
    r->out_part = std::string(opt.out) + kPartSuffix;
    r->out = plat_file_create_new(r->out_part.c_str());
    if (r->out == kPlatNoFile) {
      (void)plat_file_remove(r->out_part.c_str());  // one a broken run left
      r->out = plat_file_create_new(r->out_part.c_str());
    }
    if (r->out == kPlatNoFile) {
      fprintf(stderr, "chunkcat: cannot create %s: %s\n", r->out_part.c_str(),
              plat_error_text(plat_file_last_error()));
      return kExitOutput;
    }
  } else {
    plat_stdout_binary();
    r->out = plat_stdout_file();
  }

  // Records in list order; a partial one is kept at the front of the buffer.
  uint64_t index = 0;
  size_t have = 0;
  bool list_failed = false;
  for (;;) {
    long n = plat_file_read(list, g_list_buf + have, kListBlock - have);
    if (n < 0) {
      fprintf(stderr, "chunkcat: reading %s failed after record %" PRIu64 ": %s\n", opt.list,
              index, plat_error_text(plat_file_last_error()));
      list_failed = true;
      break;
    }
    if (n == 0) break;
    have += size_t(n);
    size_t whole = have - have % kChunkRecordSize;
    for (size_t i = 0; i < whole; i += kChunkRecordSize) {
      ChunkRecord rec = decode_chunk_record(g_list_buf + i);
      // On standard output nothing can be taken back: stop at the first bad
      // record, so that what was written is a correct prefix.
      if (!restore_record(r, index++, rec) && !opt.out) break;
    }
    if (r->out_failed || (r->bad_records > 0 && !opt.out)) break;
    memmove(g_list_buf, g_list_buf + whole, have - whole);
    have -= whole;
  }
  if (!list_failed && have % kChunkRecordSize != 0 && (r->bad_records == 0 || opt.out)) {
    fprintf(stderr, "chunkcat: %s ends inside a record: %zu stray bytes after record %" PRIu64 "\n",
            opt.list, have % kChunkRecordSize, index);
    list_failed = true;
  }
  flush_output(r);

  bool records_ok = r->bad_records == 0 && !list_failed;
  if (r->bad_records > kMaxReports) {
    fprintf(stderr, "chunkcat: %" PRIu64 " bad records in all\n", r->bad_records);
  }
  if (opt.out) {
    if (plat_file_close(r->out) != 0 && !r->out_failed) {
      r->out_failed = true;
      r->out_error = plat_file_last_error();
    }
    if (r->out_failed) {
      fprintf(stderr, "chunkcat: writing %s failed: %s; %s not written\n", r->out_part.c_str(),
              plat_error_text(r->out_error), opt.out);
      (void)plat_file_remove(r->out_part.c_str());
      return kExitOutput;
    }
    if (!records_ok) {
      (void)plat_file_remove(r->out_part.c_str());
      fprintf(stderr, "chunkcat: %s not written\n", opt.out);
      return kExitRecord;
    }
    if (plat_file_rename(r->out_part.c_str(), opt.out) != 0) {
      fprintf(stderr, "chunkcat: cannot rename %s to %s: %s\n", r->out_part.c_str(), opt.out,
              plat_error_text(plat_file_last_error()));
      (void)plat_file_remove(r->out_part.c_str());
      return kExitOutput;
    }
    return kExitOk;
  }
  if (r->out_failed) {
    fprintf(stderr, "chunkcat: writing standard output failed: %s\n",
            plat_error_text(r->out_error));
    return kExitOutput;
  }
  if (!records_ok) {
    fprintf(stderr, "chunkcat: standard output holds only the first %" PRIu64
            " bytes: those of the records before record %" PRIu64 "\n",
            r->bytes_written, r->bad_records ? r->first_bad : index);
    return kExitRecord;
  }
  return kExitOk;
}
