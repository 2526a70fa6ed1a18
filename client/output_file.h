// The output of a restoring tool: standard output, or a file that is
// written under OUT.part and renamed to OUT only when all went well, so that
// a failed run never leaves a partial file under the final name. An OUT that
// is not a plain file (a device, a FIFO, a symbolic link) is written to
// directly instead: a rename would replace it with a plain file. OUT.part is
// removed also when the user interrupts the program (client/interrupt.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/plat.h"

constexpr size_t kOutputBlock = 1 << 20;

struct OutputFile {
  const char* path;      // null: standard output
  std::string part;      // path + ".part"
  bool direct;           // path is written itself, without OUT.part
  int watch;             // interrupt slot of OUT.part
  PlatFile file;
  uint8_t* buf;          // kOutputBlock bytes
  size_t have;
  uint64_t written;      // bytes handed to output_write
  bool failed;
  int error;
};

// Creates path.part, or opens path itself when it is not a plain file (or
// takes standard output, in binary mode, when path is null). Returns false,
// with error set, when it cannot be created.
bool output_open(OutputFile* o, const char* path, uint8_t* buf);

void output_write(OutputFile* o, const uint8_t* p, size_t n);

// What the output is written to, for messages: path.part, path itself when
// written directly, or "standard output".
const char* output_target(const OutputFile* o);

// Writes what is buffered; for a file also closes it and renames it into
// place. Returns false, with error set, when writing, closing or renaming
// failed (then path.part is removed).
bool output_commit(OutputFile* o);

// After a failure: closes and removes path.part. Standard output and a path
// written directly keep what was written.
void output_abandon(OutputFile* o);
