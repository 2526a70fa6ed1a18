#include "client/copy_command.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "chunk/chunk_index.h"
#include "client/json_out.h"
#include "client/list_reader.h"
#include "client/progress.h"
#include "client/store_copy.h"
#include "client/tool_args.h"
#include "client/tool_messages.h"
#include "common/interrupt.h"
#include "common/output_check.h"
#include "common/output_file.h"
#include "platform/plat.h"

namespace {

int refuse(const char* what, const char* arg) { return tool_usage_error("chunkcopy", what, arg); }

struct ListJob {
  const char* path;
  std::string out;     // OUTDIR/NAME
  PlatFile file = kPlatNoFile;
  uint64_t records = 0;
  uint64_t bytes = 0;  // real bytes
  OutputFile staged;
};


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
int check_target(const CopyOptions& o, const char* path, const char* what) {
  if (!path_exists(path)) return kCopyOk;
  if (plat_path_is_dir(path) || plat_path_is_special(path)) {
    fprintf(stderr, "chunkcopy: %s %s exists and is not a plain file; nothing written\n", what,
            path);
    return kCopyUsage;
  }
  if (!o.force) {
    fprintf(stderr, "chunkcopy: %s %s exists (--force replaces it); nothing written\n", what,
            path);
    return kCopyUsage;
  }
  return kCopyOk;
}

int check_outputs(const CopyOptions& o, std::vector<ListJob>* jobs) {
  if (!plat_path_is_dir(o.out_dir)) return refuse("OUTDIR is not a directory", o.out_dir);
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
        return kCopyUsage;
      }
    }
    j.out = dir + name;
    if (j.out == o.new_store) return refuse("a rewritten list would be NEWSTORE", o.new_store);
  }
  const NamedFile new_store{"new store", o.new_store};
  if (!output_not_an_input("chunkcopy", new_store, inputs.data(), inputs.size())) return kCopyUsage;
  for (const ListJob& j : *jobs) {
    const NamedFile out{"rewritten list", j.out.c_str()};
    if (!output_not_an_input("chunkcopy", out, inputs.data(), inputs.size())) return kCopyUsage;
  }
  int status = check_target(o, o.new_store, "NEWSTORE");
  if (status != kCopyOk) return status;
  if (!output_writable("chunkcopy", new_store)) return kCopyOutput;
  for (const ListJob& j : *jobs) {
    if ((status = check_target(o, j.out.c_str(), "the list")) != kCopyOk) return status;
  }
  return kCopyOk;
}

// Before anything is created: every list is read once, its records and
// bytes counted, and every record must lie inside OLDSTORE. Returns the exit
// status (kCopyOk when all lists can be copied as far as this can tell).
int prescan(std::vector<ListJob>* jobs, uint64_t store_size, uint8_t* buf) {
  for (ListJob& j : *jobs) {
    j.file = tool_open_read("chunkcopy", "list", j.path);
    if (j.file == kPlatNoFile) return kCopyUsage;
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
      say_list_fault("chunkcopy", j.path, l, step);
      return kCopyRecord;
    }
    if (outside > 0) {
      fprintf(stderr, "chunkcopy: %s: record %" PRIu64 " (ChunkOffset %" PRIu64 ", length %u) "
              "lies outside the old store (%" PRIu64 " bytes)%s", j.path, first_outside,
              first.offset, unsigned(first.real_length), store_size,
              outside > 1 ? "" : "\n");
      if (outside > 1) fprintf(stderr, "; %" PRIu64 " of its %" PRIu64 " records do\n", outside, j.records);
      return kCopyRecord;
    }
  }
  return kCopyOk;
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

// One run: the copy, its outputs under temporary names, and the lists.
struct CopyRun {
  const CopyOptions* o;
  std::vector<ListJob> jobs;
  OutputFile store;
  Progress progress;
  uint64_t total_records = 0;
};

// Every failure after the outputs were begun ends here: the lists are
// closed and every temporary file removed, so no output exists under its
// final name (the messages were said before).
int give_up(CopyRun* r, int status) {
  progress_break(&r->progress);
  for (ListJob& j : r->jobs) {
    if (j.file != kPlatNoFile) (void)plat_file_close(j.file);
    j.file = kPlatNoFile;
    output_abandon(&j.staged);
  }
  output_abandon(&r->store);
  return status;
}

// Copies list j to its temporary file; false after a message, the run
// stopped (its status in *status).
bool copy_list(CopyRun* r, StoreCopy* c, ListJob& j, int* status) {
  if (!output_open_temp(&j.staged, j.out.c_str(), g_list_out, kListOutBlock)) {
    progress_break(&r->progress);
    fprintf(stderr, "chunkcopy: cannot create the list %s: %s; nothing written\n", j.out.c_str(),
            plat_error_text(j.staged.error));
    *status = kCopyOutput;
    return false;
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
      progress_show(&r->progress, c->real_bytes, j.path);
    }
  }
  *status = kCopyRecord;
  if (!copy_settle(c)) {
    progress_break(&r->progress);
    fprintf(stderr, "chunkcopy: %s: record %" PRIu64 " (ChunkOffset %" PRIu64 ", length %u): %s\n",
            j.path, c->bad_index, c->bad_rec.offset, unsigned(c->bad_rec.real_length),
            c->bad_what);
    return false;
  }
  if (step != kListEnd || l.stray != 0 || l.index != j.records) {
    progress_break(&r->progress);
    if (step == kListEnd && l.stray == 0) {
      fprintf(stderr, "chunkcopy: %s changed while it was copied (%" PRIu64 " records, %" PRIu64
              " before)\n", j.path, l.index, j.records);
    } else {
      say_list_fault("chunkcopy", j.path, l, step);
    }
    return false;
  }
  (void)plat_file_close(j.file);
  j.file = kPlatNoFile;
  if (!output_finish(&j.staged)) {
    progress_break(&r->progress);
    fprintf(stderr, "chunkcopy: writing %s failed: %s; nothing written\n", j.staged.part.c_str(),
            plat_error_text(j.staged.error));
    *status = kCopyOutput;
    return false;
  }
  return true;
}

// Everything is on disk under temporary names; now the names. The lists
// first, the store last: a store under its name comes with all its lists.
int publish(CopyRun* r) {
  std::vector<ListJob>& jobs = r->jobs;
  for (size_t i = 0; i < jobs.size(); i++) {
    if (!output_publish(&jobs[i].staged)) {
      const bool renamed = jobs[i].staged.part.empty();  // its folder was not synced
      fprintf(stderr, "chunkcopy: %s %s failed: %s\n", renamed ? "syncing the folder of" :
              "renaming to", jobs[i].out.c_str(), plat_error_text(jobs[i].staged.error));
      for (size_t k = 0; k < i + (renamed ? 1 : 0); k++) (void)plat_file_remove(jobs[k].out.c_str());
      fprintf(stderr, "chunkcopy: nothing written\n");
      return give_up(r, kCopyOutput);
    }
  }
  if (!output_publish(&r->store)) {
    if (r->store.part.empty()) {  // renamed; only its folder could not be synced
      fprintf(stderr, "chunkcopy: syncing the folder of %s failed: %s\n", r->o->new_store,
              plat_error_text(r->store.error));
      return kCopyOutput;
    }
    fprintf(stderr, "chunkcopy: renaming %s to %s failed: %s\n", r->store.part.c_str(),
            r->o->new_store, plat_error_text(r->store.error));
    for (ListJob& j : jobs) (void)plat_file_remove(j.out.c_str());
    fprintf(stderr, "chunkcopy: nothing written\n");
    return give_up(r, kCopyOutput);
  }
  return kCopyOk;
}

void print_summary(const CopyRun& r, const StoreCopy* c) {
  const CopyOptions& o = *r.o;
  const size_t lists = r.jobs.size();
  if (o.json) {
    printf("{\"lists\": %zu, \"records\": %" PRIu64 ", \"bytes\": %" PRIu64
           ", \"chunks_copied\": %" PRIu64 ", \"new_store\": %s, \"store_bytes_before\": %" PRIu64
           ", \"store_bytes_after\": %" PRIu64 "}\n", lists, r.total_records, c->real_bytes,
           c->chunks_copied, json_string(o.new_store).c_str(), c->old.size, c->new_size);
    fflush(stdout);
  }
  if (!o.quiet) {
    fprintf(stderr,
            "chunkcopy: %zu list%s, %" PRIu64 " records, %" PRIu64 " bytes; %" PRIu64
            " chunks copied; store %" PRIu64 " bytes before, %" PRIu64 " bytes after (%.1f%%)\n",
            lists, lists == 1 ? "" : "s", r.total_records, c->real_bytes, c->chunks_copied,
            c->old.size, c->new_size,
            c->old.size ? 100.0 * double(c->new_size) / double(c->old.size) : 0.0);
  }
}

}  // namespace

int copy_command(const CopyOptions& opt) {
  static CopyRun run;
  CopyRun* r = &run;
  r->o = &opt;
  r->jobs.resize(opt.lists.size());
  for (size_t i = 0; i < r->jobs.size(); i++) r->jobs[i].path = opt.lists[i];
  int status = check_outputs(opt, &r->jobs);
  if (status != kCopyOk) return status;
  interrupt_install("chunkcopy");

  StoreCopy* c = &g_copy;
  if (!tool_open_store("chunkcopy", "store", opt.old_store, &c->old, g_window, true)) {
    return kCopyUsage;
  }
  status = prescan(&r->jobs, c->old.size, g_list_buf);
  if (status != kCopyOk) {
    fprintf(stderr, "chunkcopy: nothing written\n");
    return status;
  }
  uint64_t total = 0;
  for (const ListJob& j : r->jobs) {
    total += j.bytes;
    r->total_records += j.records;
  }
  // The new store's index: the server's own table, so that the chunks kept
  // are those a fresh server keeps. Untouched pages cost nothing.
  uint8_t* table = static_cast<uint8_t*>(plat_big_alloc_zeroed(kIndexTableBytes));
  if (table == nullptr) {
    fprintf(stderr, "chunkcopy: cannot allocate the %zu-byte index table; nothing written\n",
            size_t(kIndexTableBytes));
    return kCopyOutput;
  }
  if (!output_open_temp(&r->store, opt.new_store, g_store_out, kStoreOutBlock)) {
    fprintf(stderr, "chunkcopy: cannot create %s: %s; nothing written\n", opt.new_store,
            plat_error_text(r->store.error));
    return kCopyOutput;
  }
  copy_begin(c, table, &r->store);
  progress_start(&r->progress, "chunkcopy",
                 !opt.quiet && (opt.force_progress || plat_stderr_is_terminal()),
                 opt.force_progress, total);
  for (ListJob& j : r->jobs) {
    if (copy_list(r, c, j, &status)) continue;
    if (status == kCopyRecord) {
      fprintf(stderr, "chunkcopy: nothing written: neither %s nor any list in %s\n",
              opt.new_store, opt.out_dir);
    }
    return give_up(r, status);
  }
  progress_finish(&r->progress, c->real_bytes, opt.new_store);
  progress_break(&r->progress);
  if (!output_finish(&r->store)) {
    fprintf(stderr, "chunkcopy: writing %s failed: %s; nothing written\n", r->store.part.c_str(),
            plat_error_text(r->store.error));
    return give_up(r, kCopyOutput);
  }
  if ((status = publish(r)) != kCopyOk) return status;
  print_summary(*r, c);
  plat_big_free(table, kIndexTableBytes);
  return kCopyOk;
}
