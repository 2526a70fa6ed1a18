// What every program checks of an output before it reads or writes
// anything: that it is none of the program's inputs (the same file,
// however the paths are spelled: links, "./", "//"), and that it can be
// written at all (not a directory; its folder exists and takes files).
// Each refusal is one line on stderr naming the files.
#pragma once
#include <cstddef>

#include "platform/plat.h"

// A file a program reads or writes, with what it is to the program, for
// messages ("store file", "list", "output").
struct NamedFile {
  const char* role;
  const char* path;
};

enum OutputCheck : int {
  kOutputUsable = 0,
  kOutputIsInput,        // the output is one of the inputs: a usage error
  kOutputNotWritable,    // a directory, or a folder that is missing or refuses files
};

// Checks out against each of the n inputs, then that it can be written.
// Says why on stderr, as "TOOL: ...; nothing was read or written", when it
// returns anything but kOutputUsable. A device or FIFO is usable: it is
// written directly.
OutputCheck output_check(const char* tool, NamedFile out, const NamedFile* inputs, size_t n);

// The two halves of output_check, for a program that checks more between
// them: whether out is none of the inputs, and whether it can be written.
bool output_not_an_input(const char* tool, NamedFile out, const NamedFile* inputs, size_t n);
bool output_writable(const char* tool, NamedFile out);

// Whether out is the file whose identity is id (false when out does not
// exist).
bool output_is_file(const char* out, const PlatFileId& id);
