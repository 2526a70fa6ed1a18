// The record lists chunksend writes. The whole reply goes to a temporary
// file of our own first, created when the first reply bytes come (a run
// turned away as busy creates, and so removes, nothing); only once the
// reply has been checked does that file become the list, or is it split
// into one list per file, each written under a temporary name and renamed.
// A failed or interrupted run leaves no list and no temporary file.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/output_file.h"

struct ListWriter {
  const char* beside;  // the reply's temporary name is made from it
  OutputFile reply;
  bool opened;         // the reply's temporary file exists
  bool failed;         // it could not be created or written
};

void list_begin(ListWriter* w, const char* beside);

// Takes reply bytes: creates the temporary file the first time, then writes
// the n bytes of whole records at p (n may be 0). Returns false once the
// reply cannot be kept.
bool list_put(ListWriter* w, const uint8_t* p, size_t n);

// Removes the reply's temporary file, if one was made.
void list_drop(ListWriter* w);

// After a failed list_put: removes what was made and says which file could
// not be written.
void list_report_failure(ListWriter* w);

// The reply becomes the list `out`. Returns false, after a message, when it
// cannot; nothing is left then.
bool list_commit(ListWriter* w, const char* out);

// --per-file: file k's counts[k] records, in the reply's order, become the
// list names[k]. buf (n bytes, a multiple of the record size) carries them.
// Returns false, after a message, when a list cannot be written; the lists
// before it are in place then.
bool list_commit_split(ListWriter* w, const std::vector<const std::string*>& names,
                       const std::vector<uint64_t>& counts, uint8_t* buf, size_t n);
