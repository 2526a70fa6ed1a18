// The output of a restoring tool: standard output, or a file that is
// written under a temporary name of its own (OUT.PID-N.part) and renamed to
// OUT only when all went well, so that a failed run never leaves a partial
// file under the final name, and two runs writing the same OUT never touch
// each other's temporary file. An OUT that is not a plain file (a device, a
// FIFO, a symbolic link) is written to directly instead: a rename would
// replace it with a plain file. The temporary file is removed also when the
// user interrupts the program (common/interrupt.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/plat.h"

constexpr size_t kOutputBlock = 1 << 20;

struct OutputFile {
  const char* path;      // null: standard output
  std::string part;      // the temporary file: path + ".PID-N.part"
  bool direct;           // path is written itself, without a temporary file
  int watch;             // interrupt slot of the temporary file
  PlatFile file;
  uint8_t* buf;          // kOutputBlock bytes; null: every write goes straight out
  size_t have;
  uint64_t written;      // bytes handed to output_write
  bool failed;
  bool rename_failed;    // the failure was the rename into place
  int error;
};

// Creates a temporary file of our own beside path (plat_file_create_temp);
// its name goes to *name. kPlatNoFile, with the file error set, on failure.
PlatFile output_create_temp(const char* path, std::string* name);

// Creates the temporary file, or opens path itself when it is not a plain file (or
// takes standard output, in binary mode, when path is null). Returns false,
// with error set, when it cannot be created.
bool output_open(OutputFile* o, const char* path, uint8_t* buf);

// Always a temporary file of our own beside path, whatever path is (an
// output that is to be renamed to path, or read back and removed). Returns
// false, with error set and part naming the attempt, when it cannot be
// created.
bool output_open_temp(OutputFile* o, const char* path, uint8_t* buf);

void output_write(OutputFile* o, const uint8_t* p, size_t n);

// What the output is written to, for messages: the temporary file, path
// itself when written directly, or "standard output".
const char* output_target(const OutputFile* o);

// Writes what is buffered; for a file also syncs it, closes it, renames it
// into place and syncs the folder, so that the name, once there, survives a
// power loss with everything written. Returns false, with error set, when
// writing, syncing, closing or renaming failed (then the temporary file is
// removed; a folder that cannot be synced leaves the file renamed).
bool output_commit(OutputFile* o);

// Writes what is buffered and closes the file, keeping the temporary file
// (output_abandon removes it). Returns false, with error set, on failure.
bool output_close(OutputFile* o);

// After a failure: closes and removes the temporary file. Standard output and a path
// written directly keep what was written.
void output_abandon(OutputFile* o);
