// chunkcopy's work: the outputs checked before anything is read, every list
// read once to see that it fits the old store, then the copy (client/
// store_copy.h) to temporary files that are renamed into place, the lists
// first and the store last, only when every record was copied.
#pragma once
#include <vector>

enum CopyStatus : int {
  kCopyOk = 0,
  kCopyUsage = 1,   // refused before anything was written
  kCopyOutput = 2,  // an output cannot be created, written, synced or renamed
  kCopyRecord = 3,  // a record cannot be copied, or a list cannot be read
};

struct CopyOptions {
  const char* old_store = nullptr;
  const char* new_store = nullptr;
  const char* out_dir = nullptr;
  std::vector<const char*> lists;
  bool force = false;
  bool quiet = false;
  bool json = false;
  bool force_progress = false;
};

// Runs the copy; returns the status to exit with, after messages on stderr
// (the summary there too unless quiet; as JSON on standard output with json).
int copy_command(const CopyOptions& o);
