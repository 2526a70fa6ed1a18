// chunkcopy: a new store holding only the chunks that the given record lists
// need, and the lists rewritten for it.
//
//   chunkcopy [options] OLDSTORE NEWSTORE -o OUTDIR LIST...
//
// The usage text below says what it does and lists its exit statuses.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/interrupt.h"
#include "client/json_out.h"
#include "client/list_reader.h"
#include "client/progress.h"
#include "common/output_check.h"
#include "common/output_file.h"
#include "client/store_copy.h"
#include "common/record.h"
#include "common/usage.h"
#include "platform/plat.h"
#include "chunk/chunk_index.h"

namespace {

enum ExitStatus : int {
  kExitOk = 0,
  kExitUsage = 1,
  kExitOutput = 2,
  kExitRecord = 3,
};

const char kUsage[] =
    "usage: chunkcopy [options] OLDSTORE NEWSTORE -o OUTDIR LIST...\n"
    "\n"
    "Writes the store file NEWSTORE holding exactly the chunks that the record\n"
    "lists LIST need, taken from the store file OLDSTORE, and for each LIST a\n"
    "rewritten list OUTDIR/NAME (NAME: the last part of LIST's path) whose\n"
    "records name those chunks in NEWSTORE (same digests and real lengths, new\n"
    "ChunkOffsets). NEWSTORE is byte for byte the store a fresh server would\n"
    "hold after being sent the lists' files, list by list in the order given.\n"
    "Every chunk is cut again from OLDSTORE and checked against its record's\n"
    "digest while it is copied. OLDSTORE is only read; the server may run on it.\n"
    "Lists not given are not copied: their chunks are not in NEWSTORE.\n"
    "\n"
    "NEWSTORE and the lists are written under temporary names (NAME.PID-N.part),\n"
    "synced, and renamed only when every record was copied: after a failure\n"
    "none of them exists under its final name.\n"
    "\n"
    "options:\n"
    "  -o OUTDIR    the directory (it must exist) for the rewritten lists\n"
    "  --force      replace a NEWSTORE or OUTDIR/NAME that exists\n"
    "  --progress   a progress line on stderr also when it is not a terminal\n"
    "  -q           no progress line and no summary on stderr\n"
    "  --json       print the summary as one JSON object on standard output\n"
    "  -h, --help   this text\n"
    "  --version    the version\n"
    "\n"
    "exit statuses: 0 NEWSTORE and every list written; 1 usage error, OLDSTORE\n"
    "or a LIST cannot be opened, OLDSTORE is not a chunk store, NEWSTORE or an\n"
    "OUTDIR/NAME exists (without --force) or is not a plain file, OUTDIR is no\n"
    "directory, two lists have the same NAME, or NEWSTORE or a rewritten list is\n"
    "one of the inputs (however spelled); 2\n"
    "NEWSTORE or a list cannot be created, written, synced or renamed (or the\n"
    "index cannot be allocated); 3 a record cannot be copied (ChunkOffset 0,\n"
    "beyond the end of OLDSTORE, unreadable, digest mismatch) or a list cannot\n"
    "be read or ends inside a record: the first such record is named with its\n"
    "list, index (from 0) and ChunkOffset, and nothing is written; 130/143\n"
    "interrupted (SIGINT/SIGTERM), the temporary files are removed.\n";

struct Options {
  const char* old_store = nullptr;
  const char* new_store = nullptr;
  const char* out_dir = nullptr;
  std::vector<const char*> lists;
  bool force = false;
  bool quiet = false;
  bool json = false;
  bool force_progress = false;
};

struct ListJob {
  const char* path;
  std::string out;     // OUTDIR/NAME
  PlatFile file = kPlatNoFile;
  uint64_t records = 0;
  uint64_t bytes = 0;  // real bytes
  OutputFile staged;
};

int usage_error(const char* what, const char* arg) {
  fprintf(stderr, "chunkcopy: %s%s%s\n(chunkcopy --help shows the usage)\n", what,
          arg ? ": " : "", arg ? arg : "");
  return kExitUsage;
}

int parse_options(int argc, char** argv, Options* o) {
  std::vector<const char*> positional;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    usage_answer("chunkcopy", kUsage, a);
    if (strcmp(a, "-o") == 0) {
      if (i + 1 >= argc) return usage_error("-o needs a directory", nullptr);
      o->out_dir = argv[++i];
    } else if (strcmp(a, "--force") == 0) {
      o->force = true;
    } else if (strcmp(a, "--progress") == 0) {
      o->force_progress = true;
    } else if (strcmp(a, "-q") == 0) {
      o->quiet = true;
    } else if (strcmp(a, "--json") == 0) {
      o->json = true;
    } else if (a[0] == '-' && a[1] != 0) {
      return usage_error("unknown option", a);
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() < 3) {
    return usage_error("an old store, a new store and at least one record list are needed",
                       nullptr);
  }
  if (o->out_dir == nullptr) return usage_error("-o OUTDIR is needed for the rewritten lists", nullptr);
  o->old_store = positional[0];
  o->new_store = positional[1];
  o->lists.assign(positional.begin() + 2, positional.end());
  return kExitOk;
}

// Whether something of that name exists (a file, a directory, a link).
bool path_exists(const char* path) {
  if (plat_path_is_dir(path) || plat_path_is_special(path)) return true;
  PlatFile f = plat_file_open_read(path);
  if (f == kPlatNoFile) return false;
  (void)plat_file_close(f);
  return true;
}

// A file the run will create: refused when it exists, unless --force and
// it is a plain file (a rename replaces what is there).
int check_target(const Options& o, const char* path, const char* what) {
  if (!path_exists(path)) return kExitOk;
  if (plat_path_is_dir(path) || plat_path_is_special(path)) {
    fprintf(stderr, "chunkcopy: %s %s exists and is not a plain file; nothing written\n", what,
            path);
    return kExitUsage;
  }
  if (!o.force) {
    fprintf(stderr, "chunkcopy: %s %s exists (--force replaces it); nothing written\n", what,
            path);
    return kExitUsage;
  }
  return kExitOk;
}

int check_outputs(const Options& o, std::vector<ListJob>* jobs) {
  if (!plat_path_is_dir(o.out_dir)) return usage_error("OUTDIR is not a directory", o.out_dir);
  // No output may be an input, however spelled: a NEWSTORE that is OLDSTORE
  // through a link or "./" would be replaced while it is read.
  std::vector<NamedFile> inputs{{"old store", o.old_store}};
  for (const ListJob& j : *jobs) inputs.push_back({"list", j.path});
  std::string dir = o.out_dir;
  if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += '/';
  for (size_t i = 0; i < jobs->size(); i++) {
    ListJob& j = (*jobs)[i];
    const char* name = plat_path_name(j.path);
    for (size_t k = 0; k < i; k++) {
      if (strcmp(plat_path_name((*jobs)[k].path), name) == 0) {
        fprintf(stderr, "chunkcopy: %s and %s would both be written to %s%s; nothing written\n",
                (*jobs)[k].path, j.path, dir.c_str(), name);
        return kExitUsage;
      }
    }
    j.out = dir + name;
    if (j.out == o.new_store) return usage_error("a rewritten list would be NEWSTORE", o.new_store);
  }
  const NamedFile new_store{"new store", o.new_store};
  if (!output_not_an_input("chunkcopy", new_store, inputs.data(), inputs.size())) return kExitUsage;
  for (const ListJob& j : *jobs) {
    const NamedFile out{"rewritten list", j.out.c_str()};
    if (!output_not_an_input("chunkcopy", out, inputs.data(), inputs.size())) return kExitUsage;
  }
  int status = check_target(o, o.new_store, "NEWSTORE");
  if (status != kExitOk) return status;
  if (!output_writable("chunkcopy", new_store)) return kExitOutput;
  for (const ListJob& j : *jobs) {
    if ((status = check_target(o, j.out.c_str(), "the list")) != kExitOk) return status;
  }
  return kExitOk;
}

void report_list_fault(const char* path, const ListReader& l, ListStep step) {
  if (step == kListReadFailed) {
    fprintf(stderr, "chunkcopy: reading %s failed after record %" PRIu64 ": %s\n", path, l.index,
            plat_error_text(l.error));
  } else {
    fprintf(stderr, "chunkcopy: %s ends inside a record: %zu stray bytes after record %" PRIu64
            "\n", path, l.stray, l.index);
  }
}

// Before anything is created: every list is read once, its records and
// bytes counted, and every record must lie inside OLDSTORE. Returns the exit
// status (kExitOk when all lists can be copied as far as this can tell).
int prescan(std::vector<ListJob>* jobs, uint64_t store_size, uint8_t* buf) {
  for (ListJob& j : *jobs) {
    j.file = plat_file_open_read(j.path);
    if (j.file == kPlatNoFile) {
      fprintf(stderr, "chunkcopy: cannot open the list %s: %s\n", j.path,
              plat_error_text(plat_file_last_error()));
      return kExitUsage;
    }
    ListReader l;
    list_open(&l, j.file, buf);
    ChunkRecord rec;
    ListStep step;
    uint64_t outside = 0, first_outside = 0;
    ChunkRecord first{};
    while ((step = list_next(&l, &rec)) == kListRecord) {
      j.bytes += rec.real_length;
      if (!record_inside_store(rec, store_size)) {
        if (outside++ == 0) {
          first_outside = l.index - 1;
          first = rec;
        }
      }
    }
    j.records = l.index;
    if (step != kListEnd || l.stray != 0) {
      report_list_fault(j.path, l, step);
      return kExitRecord;
    }
    if (outside > 0) {
      fprintf(stderr, "chunkcopy: %s: record %" PRIu64 " (ChunkOffset %" PRIu64 ", length %u) "
              "lies outside the old store (%" PRIu64 " bytes)%s", j.path, first_outside,
              first.offset, unsigned(first.real_length), store_size,
              outside > 1 ? "" : "\n");
      if (outside > 1) fprintf(stderr, "; %" PRIu64 " of its %" PRIu64 " records do\n", outside, j.records);
      return kExitRecord;
    }
  }
  return kExitOk;
}

StoreCopy g_copy;
uint8_t g_window[kStoreWindowSize];
uint8_t g_list_buf[kListReadBlock];
// The new store is handed to the system 256 KiB at a time: faster than
// 4 MiB blocks in the benchmark (bench/README.md).
constexpr size_t kStoreOutBlock = 256 << 10;
constexpr size_t kListOutBlock = 1 << 20;
uint8_t g_store_out[kStoreOutBlock];
uint8_t g_list_out[kListOutBlock];

void discard_all(OutputFile* store, std::vector<ListJob>* jobs) {
  output_abandon(store);
  for (ListJob& j : *jobs) output_abandon(&j.staged);
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  int status = parse_options(argc, argv, &opt);
  if (status != kExitOk) return status;
  std::vector<ListJob> jobs(opt.lists.size());
  for (size_t i = 0; i < jobs.size(); i++) jobs[i].path = opt.lists[i];
  status = check_outputs(opt, &jobs);
  if (status != kExitOk) return status;
  interrupt_install("chunkcopy");

  StoreCopy* c = &g_copy;
  PlatFile old = plat_file_open_read(opt.old_store);
  if (old == kPlatNoFile) {
    fprintf(stderr, "chunkcopy: cannot open the store %s: %s\n", opt.old_store,
            plat_error_text(plat_file_last_error()));
    return kExitUsage;
  }
  if (!window_open(&c->old, old, g_window)) {
    fprintf(stderr, "chunkcopy: cannot find the size of %s: %s\n", opt.old_store,
            plat_error_text(c->old.error));
    return kExitUsage;
  }
  if (!window_holds_store(&c->old)) {
    fprintf(stderr, "chunkcopy: %s is not a chunk store: its first %u bytes are not the store "
            "header\n", opt.old_store, unsigned(kStoreHeaderSize));
    return kExitUsage;
  }
  status = prescan(&jobs, c->old.size, g_list_buf);
  if (status != kExitOk) {
    fprintf(stderr, "chunkcopy: nothing written\n");
    return status;
  }
  uint64_t total = 0, total_records = 0;
  for (const ListJob& j : jobs) {
    total += j.bytes;
    total_records += j.records;
  }

  // The new store's index: the server's own table, so that the chunks kept
  // are those a fresh server keeps. Untouched pages cost nothing.
  uint8_t* table = static_cast<uint8_t*>(plat_big_alloc_zeroed(kIndexTableBytes));
  if (table == nullptr) {
    fprintf(stderr, "chunkcopy: cannot allocate the %zu-byte index table; nothing written\n",
            size_t(kIndexTableBytes));
    return kExitOutput;
  }
  OutputFile store;
  if (!output_open_temp(&store, opt.new_store, g_store_out, kStoreOutBlock)) {
    fprintf(stderr, "chunkcopy: cannot create %s: %s; nothing written\n", opt.new_store,
            plat_error_text(store.error));
    return kExitOutput;
  }
  copy_begin(c, table, &store);
  Progress progress;
  progress_start(&progress, "chunkcopy",
                 !opt.quiet && (opt.force_progress || plat_stderr_is_terminal()),
                 opt.force_progress, total);

  bool copied = true;
  for (ListJob& j : jobs) {
    if (!output_open_temp(&j.staged, j.out.c_str(), g_list_out, kListOutBlock)) {
      progress_break(&progress);
      fprintf(stderr, "chunkcopy: cannot create the list %s: %s; nothing written\n",
              j.out.c_str(), plat_error_text(j.staged.error));
      discard_all(&store, &jobs);
      return kExitOutput;
    }
    copy_list_begin(c, &j.staged);
    ListReader l;
    ListStep step = kListEnd;
    if (plat_file_seek(j.file, 0, kSeekBegin, nullptr) != 0) {
      l.index = 0;
      l.error = plat_file_last_error();
      step = kListReadFailed;
    } else {
      list_open(&l, j.file, g_list_buf);
      ChunkRecord rec;
      while ((step = list_next(&l, &rec)) == kListRecord) {
        if (!copy_record(c, l.index - 1, rec)) break;
        progress_show(&progress, c->real_bytes, j.path);
      }
    }
    if (!copy_settle(c)) {
      progress_break(&progress);
      fprintf(stderr, "chunkcopy: %s: record %" PRIu64 " (ChunkOffset %" PRIu64 ", length %u): %s\n",
              j.path, c->bad_index, c->bad_rec.offset, unsigned(c->bad_rec.real_length),
              c->bad_what);
      copied = false;
    } else if (step != kListEnd || l.stray != 0 || l.index != j.records) {
      progress_break(&progress);
      if (step == kListEnd && l.stray == 0) {
        fprintf(stderr, "chunkcopy: %s changed while it was copied (%" PRIu64 " records, %" PRIu64
                " before)\n", j.path, l.index, j.records);
      } else {
        report_list_fault(j.path, l, step);
      }
      copied = false;
    }
    (void)plat_file_close(j.file);
    j.file = kPlatNoFile;
    if (!copied) break;
    if (!output_finish(&j.staged)) {
      progress_break(&progress);
      fprintf(stderr, "chunkcopy: writing %s failed: %s; nothing written\n",
              j.staged.part.c_str(), plat_error_text(j.staged.error));
      discard_all(&store, &jobs);
      return kExitOutput;
    }
  }
  if (!copied) {
    for (ListJob& j : jobs) {
      if (j.file != kPlatNoFile) (void)plat_file_close(j.file);
    }
    discard_all(&store, &jobs);
    fprintf(stderr, "chunkcopy: nothing written: neither %s nor any list in %s\n", opt.new_store,
            opt.out_dir);
    return kExitRecord;
  }
  progress_finish(&progress, c->real_bytes, opt.new_store);
  progress_break(&progress);
  if (!output_finish(&store)) {
    fprintf(stderr, "chunkcopy: writing %s failed: %s; nothing written\n", store.part.c_str(),
            plat_error_text(store.error));
    discard_all(&store, &jobs);
    return kExitOutput;
  }
  // Everything is on disk under temporary names; now the names. The lists
  // first, the store last: a store under its name comes with all its lists.
  for (size_t i = 0; i < jobs.size(); i++) {
    if (!output_publish(&jobs[i].staged)) {
      const bool renamed = jobs[i].staged.part.empty();  // its folder was not synced
      fprintf(stderr, "chunkcopy: %s %s failed: %s\n", renamed ? "syncing the folder of" :
              "renaming to", jobs[i].out.c_str(), plat_error_text(jobs[i].staged.error));
      for (size_t k = 0; k < i + (renamed ? 1 : 0); k++) (void)plat_file_remove(jobs[k].out.c_str());
      discard_all(&store, &jobs);
      fprintf(stderr, "chunkcopy: nothing written\n");
      return kExitOutput;
    }
  }
  if (!output_publish(&store)) {
    if (store.part.empty()) {  // renamed; only its folder could not be synced
      fprintf(stderr, "chunkcopy: syncing the folder of %s failed: %s\n", opt.new_store,
              plat_error_text(store.error));
      return kExitOutput;
    }
    fprintf(stderr, "chunkcopy: renaming %s to %s failed: %s\n", store.part.c_str(),
            opt.new_store, plat_error_text(store.error));
    for (ListJob& j : jobs) (void)plat_file_remove(j.out.c_str());
    discard_all(&store, &jobs);
    fprintf(stderr, "chunkcopy: nothing written\n");
    return kExitOutput;
  }
  if (opt.json) {
    printf("{\"lists\": %zu, \"records\": %" PRIu64 ", \"bytes\": %" PRIu64
           ", \"chunks_copied\": %" PRIu64 ", \"new_store\": %s, \"store_bytes_before\": %" PRIu64
           ", \"store_bytes_after\": %" PRIu64 "}\n", jobs.size(), total_records, c->real_bytes,
           c->chunks_copied, json_string(opt.new_store).c_str(), c->old.size, c->new_size);
    fflush(stdout);
  }
  if (!opt.quiet) {
    fprintf(stderr,
            "chunkcopy: %zu list%s, %" PRIu64 " records, %" PRIu64 " bytes; %" PRIu64
            " chunks copied; store %" PRIu64 " bytes before, %" PRIu64 " bytes after (%.1f%%)\n",
            jobs.size(), jobs.size() == 1 ? "" : "s", total_records, c->real_bytes,
            c->chunks_copied, c->old.size, c->new_size,
            c->old.size ? 100.0 * double(c->new_size) / double(c->old.size) : 0.0);
  }
  plat_big_free(table, kIndexTableBytes);
  return kExitOk;
}
