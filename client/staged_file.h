// A file that is written whole under a temporary name of its own
// (PATH.PID-N.part, client/output_file.h), synced, and given its final name
// only later, together with the other files of the same run: a run that
// fails or is interrupted leaves none of them under its final name.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/plat.h"

struct StagedFile {
  const char* path = nullptr;  // the final name
  std::string part;            // the temporary file; empty when there is none
  int watch = -1;              // interrupt slot of the temporary file
  PlatFile file = kPlatNoFile;  // open until staged_finish
  uint8_t* buf = nullptr;
  size_t cap = 0;
  size_t have = 0;
  uint64_t written = 0;  // bytes handed to staged_write and staged_fill
  uint64_t handed = 0;   // bytes handed to the system (written - have)
  uint64_t writeback_from = 0;  // where the system was last asked to write back
  bool failed = false;
  int error = 0;  // of the first failure
};

// Creates the temporary file beside path; buf (cap bytes) buffers the
// writes. Returns false, with error set, when it cannot be created.
bool staged_create(StagedFile* f, const char* path, uint8_t* buf, size_t cap);

void staged_write(StagedFile* f, const uint8_t* p, size_t n);
// Writes n copies of one byte.
void staged_fill(StagedFile* f, uint8_t byte, size_t n);

// Writes what is buffered, syncs and closes the temporary file; it keeps
// its temporary name. Returns false, with error set, when any write, the
// sync or the close failed.
bool staged_finish(StagedFile* f);

// Renames the finished temporary file to its final name (replacing a file
// of that name). Returns false, with error set, when the rename failed.
bool staged_publish(StagedFile* f);

// Closes and removes the temporary file, if any (safe to call twice, and
// after a failed create).
void staged_discard(StagedFile* f);

// The last component of a path.
const char* path_last_component(const char* path);
