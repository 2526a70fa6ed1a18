// Restoring a record list from a store file, and checking one: the engine
// of chunkcat, which chunkversions shares for the versions' lists.
//
// For each record of a list, in order, the record's real length in bytes
// found at ChunkOffset x 64 in the store. Before a chunk's bytes are used
// the chunk is cut again from its place in the store with the server's own
// chunker (it ends where its content says, filler included, as stored) and
// its digest compared with the record's, many chunks at a time
// (client/ordered_check.h); without verify this is skipped. Bad records are
// reported on stderr as "TOOL: LIST: record N (ChunkOffset O, length L):
// why", the first 20 of them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "chunk/chunker.h"
#include "client/progress.h"
#include "client/store_window.h"
#include "client/verify_batch.h"
#include "common/output_file.h"
#include "common/record.h"
#include "platform/plat.h"

// The statuses of a restore, as chunkcat exits with them.
enum RestoreStatus : int {
  kRestoreOk = 0,
  kRestoreUsage = 1,   // the store or a list cannot be opened, or the store is none
  kRestoreOutput = 2,  // the output cannot be written
  kRestoreRecord = 3,  // a record cannot be restored, or a list is damaged
};

struct Restore {
  const char* tool = "chunkcat";  // names the program in messages
  const char* list = nullptr;     // the list being read, for messages
  bool verify = true;
  bool check = false;             // only verify: nothing is written
  bool progress = true;           // may show a progress line on stderr
  bool force_progress = false;    // also when stderr is no terminal
  StoreWindow store;
  Chunker chunker;
  OutputFile out;
  Progress progress_line;
  uint64_t bad_records = 0;
  uint64_t outside = 0;  // bad records that lie outside the store
  uint64_t first_bad = 0;
  uint64_t good_bytes = 0;    // real bytes of the records restored
  bool stop_at_bad = false;   // the restore ends at the first bad record
  bool halted = false;        // it ended there, or the output failed
  uint64_t halt_index = 0;    // at this record
  VerifyBatch* batch = nullptr;  // verified chunks waiting for their digests
};

// Opens the store file path in the window (buf: kStoreWindowSize bytes)
// and sets the checks up with batch. Returns kRestoreOk, or kRestoreUsage
// after a message when it cannot be opened or is not a chunk store.
int restore_open_store(Restore* r, const char* path, uint8_t* window, VerifyBatch* batch);

// Takes record `index` (from 0) of the current list; a verified chunk may
// wait in the batch. Returns false when the restore has ended.
bool restore_record(Restore* r, uint64_t index, const ChunkRecord& rec);

// Finishes the records that wait in the batch, in list order. Returns false
// when the restore has ended.
bool restore_settle(Restore* r);

// One list checked to its end: its records, the real bytes of the good
// ones, the bad ones, and whether the list itself is whole.
struct ListCheck {
  uint64_t records = 0;
  uint64_t bytes = 0;
  uint64_t bad = 0;
  bool damaged = false;  // a read error, or it ends inside a record
  bool ok() const { return bad == 0 && !damaged; }
};

// Verifies every record of the open list f, named name in messages (the
// faults of the list itself are said on stderr too).
ListCheck restore_check_list(Restore* r, const char* name, PlatFile f, uint8_t* list_buf);

// After the last list: says how many bad records there were in all, when
// more than were named.
void restore_report_total(const Restore* r);

// Restores the open list f (named r->list) to out (null: standard output).
// list_buf holds kListReadBlock bytes, out_buf kOutputBlock. Returns the
// status to exit with, after messages.
int restore_list(Restore* r, PlatFile f, const char* out, uint8_t* list_buf, uint8_t* out_buf);

// A list to read: the file `list`, or, in the store folder `folder` (not
// null), the list of the version named `list`, opened and its digest
// checked. Returns the file and its path, or kPlatNoFile after a message
// with *status set (kRestoreRecord for a damaged list, else kRestoreUsage).
PlatFile restore_open_list(const Restore* r, const char* folder, const char* list,
                           std::string* path, int* status);

// chunkcat --check: every record of every list verified, one line per list
// on standard output, nothing written. Returns the status to exit with: 3
// when a list has a bad record or is damaged, else 1 when one cannot be
// opened.
int restore_check_lists(Restore* r, const char* folder, const std::vector<const char*>& lists);
