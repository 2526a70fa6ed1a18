// The output of a restoring tool: standard output, or a file that is
// written under OUT.part and renamed to OUT only when all went well, so that
// a failed run never leaves a partial file under the final name.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/plat.h"

constexpr size_t kOutputBlock = 1 << 20;

struct OutputFile {
  const char* path;      // null: standard output
  std::string part;      // path + ".part"
  PlatFile file;
  uint8_t* buf;          // kOutputBlock bytes
  size_t have;
  uint64_t written;      // bytes handed to output_write
  bool failed;
  int error;
};

// Creates path.part (or takes standard output, in binary mode, when path is
// null). Returns false, with error set, when it cannot be created.
bool output_open(OutputFile* o, const char* path, uint8_t* buf);

void output_write(OutputFile* o, const uint8_t* p, size_t n);

// Writes what is buffered; for a file also closes it and renames it into
// place. Returns false, with error set, when writing, closing or renaming
// failed (then path.part is removed).
bool output_commit(OutputFile* o);

// After a failure: closes and removes path.part. Standard output stays as
// it is.
void output_abandon(OutputFile* o);
