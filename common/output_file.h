// Every file a program writes: lists, restored files, packs, copied stores.
//
// A file is written under a temporary name of its own beside its final name
// (NAME.PID-N.part, shortened to fit the folder's name limit), synced,
// renamed into place and its folder synced, so that a name, once there,
// holds everything written, also after a power loss; a run that fails or is
// interrupted (common/interrupt.h) leaves neither the name nor the
// temporary file. Standard output, and a final name that is not a plain
// file (a device, a FIFO, a symbolic link, which a rename would replace),
// are written directly.
//
// Before any of this, common/output_check.h refuses an output that is one
// of the program's inputs or cannot be written at all.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/plat.h"

// The buffer size that suits most outputs.
constexpr size_t kOutputBlock = size_t(1) << 20;

struct OutputFile {
  const char* path = nullptr;  // the final name; null: standard output
  std::string part;            // the temporary file's name; empty when there is none
  bool part_live = false;      // it exists and is ours (not yet renamed or removed)
  bool direct = false;         // path itself is written
  int watch = -1;              // interrupt slot of the temporary file
  PlatFile file = kPlatNoFile;
  uint8_t* buf = nullptr;      // cap bytes; null: every write goes straight out
  size_t cap = 0;
  size_t have = 0;
  uint64_t written = 0;         // bytes handed to output_write and output_fill
  uint64_t handed = 0;          // bytes handed to the system
  uint64_t writeback_from = 0;  // where the system was last asked to write back
  bool failed = false;
  bool rename_failed = false;  // the failure was the rename into place (or the folder sync)
  int error = 0;               // of the first failure; 0: a write that moved nothing
};

// The temporary name for path: path's last component shortened (at a
// character boundary) so that, with ".PID-N.part" after it, it takes at most
// name_max bytes.
std::string output_temp_name(const char* path, uint32_t pid, uint32_t n, size_t name_max);

// Creates a temporary file of our own beside path, passing over names that
// exist: two runs writing one path never share (or remove) a temporary file.
// kPlatNoFile, with the file error set, when none can be created.
PlatFile output_create_temp(const char* path, std::string* name);

// Opens the output: standard output (path null, in binary mode), path itself
// when it is not a plain file, or a temporary file. buf may be null. Returns
// false, with error set, when it cannot be created.
bool output_open(OutputFile* o, const char* path, uint8_t* buf, size_t cap);

// Always a temporary file beside path, whatever path is: a file that is to
// be renamed to path later, or read back and removed.
bool output_open_temp(OutputFile* o, const char* path, uint8_t* buf, size_t cap);

void output_write(OutputFile* o, const uint8_t* p, size_t n);
// Writes n copies of one byte.
void output_fill(OutputFile* o, uint8_t byte, size_t n);

// What the output is written to, for messages: the temporary file (also once
// removed), path itself when written directly or once renamed, or
// "standard output".
const char* output_target(const OutputFile* o);

// Writes what is buffered, syncs and closes the temporary file, which keeps
// its name (output_publish gives it its final one). False, with error set,
// when a write, the sync or the close failed.
bool output_finish(OutputFile* o);

// Renames the finished temporary file into place and syncs the folder.
// False, with error and rename_failed set, when either failed (a folder that
// could not be synced leaves the file renamed).
bool output_publish(OutputFile* o);

// output_finish and output_publish; for standard output and a path written
// directly, writes what is buffered (and closes the file). On failure the
// temporary file is removed.
bool output_commit(OutputFile* o);

// Writes what is buffered and closes the file, not synced, keeping the
// temporary file (to be read back; output_abandon removes it).
bool output_close(OutputFile* o);

// After a failure: closes and removes the temporary file. Standard output
// and a path written directly keep what was written, a correct prefix.
// Safe to call twice, and after a failed open.
void output_abandon(OutputFile* o);
