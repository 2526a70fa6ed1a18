#include "client/restore.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "client/catalog.h"
#include "client/list_reader.h"
#include "client/ordered_check.h"
#include "client/tool_args.h"
#include "client/tool_messages.h"
#include "common/store_format.h"

namespace {

constexpr unsigned kMaxReports = 20;

#if defined(__GNUC__)
__attribute__((format(printf, 4, 5)))
#endif
void report_record(Restore* r, uint64_t index, const ChunkRecord& rec, const char* fmt, ...) {
  if (r->bad_records++ == 0) r->first_bad = index;
  if (r->bad_records > kMaxReports) return;
  progress_break(&r->progress_line);
  char what[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(what, sizeof what, fmt, ap);
  va_end(ap);
  fprintf(stderr, "%s: %s: record %" PRIu64 " (ChunkOffset %" PRIu64 ", length %u): %s\n",
          r->tool, r->list, index, rec.offset, unsigned(rec.real_length), what);
}

void halt_at(Restore* r, uint64_t index) {
  r->halted = true;
  r->halt_index = index;
}

// A record restored: its bytes are written unless a bad record came before
// (after the first one nothing more is written; the rest is checked).
void record_done(Restore* r, uint64_t index, const uint8_t* p, const ChunkRecord& rec) {
  r->good_bytes += rec.real_length;
  if (r->bad_records == 0 && !r->check) output_write(&r->out, p, rec.real_length);
  if (r->out.failed) halt_at(r, index);
}

// A record reported bad.
void record_bad(Restore* r, uint64_t index) {
  if (r->stop_at_bad) halt_at(r, index);
}

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

}  // namespace

bool restore_settle(Restore* r) {
  if (r->halted) return false;
  if (r->batch == nullptr) return true;
  return ordered_settle(r->batch, [r](uint64_t index, const ChunkRecord& rec,
                                      const uint8_t* bytes, bool matches) {
    return settled(r, index, rec, bytes, matches);
  });
}

namespace {

// Reports a record that cannot be restored, after the records before it.
#if defined(__GNUC__)
__attribute__((format(printf, 5, 6)))
#endif
void report_in_order(Restore* r, uint64_t index, const ChunkRecord& rec, bool outside,
                     const char* fmt, ...) {
  if (!restore_settle(r)) return;
  if (outside) r->outside++;
  char what[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(what, sizeof what, fmt, ap);
  va_end(ap);
  report_record(r, index, rec, "%s", what);
  record_bad(r, index);
}

}  // namespace

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
  size_t want = r->verify ? kMaxChunkLength : rec.real_length;
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
  if (!r->verify) {
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

namespace {

// A list most of whose records lie outside the store was made for another
// store (or is no record list at all); one line says so, beside the records
// reported one by one. Returns whether it said so.
bool report_foreign_list(const char* tool, const char* name, uint64_t outside, uint64_t records) {
  if (records == 0 || outside * 2 <= records) return false;
  fprintf(stderr,
          "%s: %s is not a record list of this store: %" PRIu64 " of its %" PRIu64
          " records lie outside it\n",
          tool, name, outside, records);
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
  if (report_foreign_list(r->tool, r->list, outside, l.index)) return false;
  *total = bytes;
  return true;
}

}  // namespace

int restore_open_store(Restore* r, const char* path, uint8_t* window, VerifyBatch* batch) {
  if (!tool_open_store(r->tool, "store", path, &r->store, window, true)) return kRestoreUsage;
  batch_clear(batch);
  r->batch = batch;
  chunker_reset(&r->chunker);
  return kRestoreOk;
}

ListCheck restore_check_list(Restore* r, const char* name, PlatFile f, uint8_t* list_buf) {
  r->list = name;
  ListReader l;
  list_open(&l, f, list_buf);
  const uint64_t bad_before = r->bad_records, outside_before = r->outside;
  const uint64_t bytes_before = r->good_bytes;
  ChunkRecord rec;
  ListStep step;
  while ((step = list_next(&l, &rec)) == kListRecord) (void)restore_record(r, l.index - 1, rec);
  (void)restore_settle(r);
  ListCheck c;
  c.records = l.index;
  c.bytes = r->good_bytes - bytes_before;
  c.bad = r->bad_records - bad_before;
  if (step == kListReadFailed || l.stray != 0) say_list_fault(r->tool, name, l, step);
  report_foreign_list(r->tool, name, r->outside - outside_before, l.index);
  c.damaged = step != kListEnd || l.stray != 0;
  return c;
}

void restore_report_total(const Restore* r) {
  if (r->bad_records > kMaxReports) {
    fprintf(stderr, "%s: %" PRIu64 " bad records in all\n", r->tool, r->bad_records);
  }
}

int restore_list(Restore* r, PlatFile list, const char* out, uint8_t* list_buf, uint8_t* out_buf) {
  const char* tool = r->tool;
  uint64_t total = 0;
  if (!prescan_list(r, list, list_buf, &total)) {
    fprintf(stderr, "%s: nothing written\n", tool);
    return kRestoreRecord;
  }
  if (!output_open(&r->out, out, out_buf, kOutputBlock)) {
    say_cannot_create(tool, r->out);
    return kRestoreOutput;
  }
  // Nothing written can be taken back on standard output, nor on a device:
  // there the restore stops at the first bad record, so that what was
  // written is a correct prefix.
  const bool can_take_back = out && !r->out.direct;
  r->stop_at_bad = !can_take_back;
  const char* shown = out ? out : r->list;
  progress_start(&r->progress_line, tool, r->progress && (r->force_progress ||
                 plat_stderr_is_terminal()), r->force_progress, total);

  ListReader l;
  list_open(&l, list, list_buf);
  ChunkRecord rec;
  ListStep step;
  while ((step = list_next(&l, &rec)) == kListRecord) {
    if (!restore_record(r, l.index - 1, rec)) break;
    progress_show(&r->progress_line, r->out.written, shown);
  }
  (void)restore_settle(r);
  // Ended at a bad record or a failed write: what follows in the list is
  // not looked at.
  const bool stopped = r->halted;
  const uint64_t records_seen = stopped ? r->halt_index + 1 : l.index;
  bool list_failed = false;
  if (!stopped && (step == kListReadFailed || (step == kListEnd && l.stray != 0))) {
    progress_break(&r->progress_line);
    say_list_fault(tool, r->list, l, step);
    list_failed = true;
  }
  bool records_ok = r->bad_records == 0 && !list_failed;
  if (records_ok && !r->out.failed) progress_finish(&r->progress_line, r->out.written, shown);
  progress_break(&r->progress_line);
  restore_report_total(r);
  report_foreign_list(tool, r->list, r->outside, records_seen);

  if (r->out.failed || !records_ok) {
    output_abandon(&r->out);
    if (r->out.failed) {
      say_write_failed(tool, r->out, can_take_back ? out : nullptr);
      return kRestoreOutput;
    }
    if (can_take_back) {
      fprintf(stderr, "%s: %s not written\n", tool, out);
    } else {
      fprintf(stderr, "%s: %s holds only the first %" PRIu64
              " bytes: those of the records before record %" PRIu64 "\n",
              tool, output_target(&r->out), r->out.written, r->bad_records ? r->first_bad : l.index);
    }
    return kRestoreRecord;
  }
  if (!output_commit(&r->out)) {
    say_write_failed(tool, r->out, can_take_back ? out : nullptr);
    return kRestoreOutput;
  }
  return kRestoreOk;
}

PlatFile restore_open_list(const Restore* r, const char* folder, const char* list,
                           std::string* path, int* status) {
  if (folder == nullptr) {
    *path = list;
    PlatFile f = tool_open_read(r->tool, "list", list);
    if (f == kPlatNoFile) *status = kRestoreUsage;
    return f;
  }
  VersionInfo v;
  PlatFile f = kPlatNoFile;
  std::string why;
  switch (catalog_open_list(folder, list, &v, &f, &why)) {
    case kListReady:
      *path = catalog_file_path(folder, v.list);
      return f;
    case kListNoVersion:
    case kListUnreadable:
      fprintf(stderr, "%s: the version %s: %s\n", r->tool, list, why.c_str());
      *status = kRestoreUsage;
      break;
    case kListDamaged:
      fprintf(stderr, "%s: the list of version %s is damaged: %s\n", r->tool, list, why.c_str());
      *status = kRestoreRecord;
      break;
  }
  return kPlatNoFile;
}

int restore_check_lists(Restore* r, const char* folder, const std::vector<const char*>& lists) {
  static uint8_t list_buf[kListReadBlock];
  int status = kRestoreOk;
  for (const char* name : lists) {
    std::string path;
    int failed = kRestoreOk;
    PlatFile f = restore_open_list(r, folder, name, &path, &failed);
    if (f == kPlatNoFile) {
      if (failed == kRestoreRecord || status == kRestoreOk) status = failed;
      continue;
    }
    ListCheck c = restore_check_list(r, name, f, list_buf);
    (void)plat_file_close(f);
    printf("%s: %" PRIu64 " records, %" PRIu64 " bytes: %s", name, c.records, c.bytes,
           c.ok() ? "ok\n" : "");
    if (!c.ok()) {
      printf("%" PRIu64 " bad%s\n", c.bad, c.damaged ? ", list damaged" : "");
      status = kRestoreRecord;
    }
  }
  restore_report_total(r);
  return status;
}
