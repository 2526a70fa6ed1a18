// The files chunksend sends, in the order given: each is opened when its
// turn comes and read in pieces; one that cannot be opened is named on
// stderr and skipped, and one that ends early is reported.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client/progress.h"
#include "platform/plat.h"

struct SendInput {
  const char* path;
  std::string list_name;  // --per-file: where its list goes
  uint64_t size;          // when planned, for the progress total
};

struct InputQueue {
  const std::vector<SendInput>* inputs;
  size_t next;            // the next file to open
  PlatFile current;       // the file being read, or kPlatNoFile
  size_t current_index;
  uint64_t current_left;  // its bytes not yet read
  uint64_t current_length;
  size_t skipped;         // files that could not be opened
  bool quiet;             // an earlier attempt already named the skipped files
  Progress* progress;     // its line is ended before a message
};

void inputs_begin(InputQueue* q, const std::vector<SendInput>* inputs, bool quiet,
                  Progress* progress);

// Opens the next file that can be opened; those that cannot are named and
// skipped. Returns false when no file is left.
bool inputs_open_next(InputQueue* q);

// Reads up to room bytes of the current file into dst (a file read to its
// end is closed). Returns the bytes read, or 0, after a message, when the
// file could not be read to its end.
size_t inputs_read(InputQueue* q, uint8_t* dst, size_t room);

// Closes the current file, if any.
void inputs_close(InputQueue* q);

// The path of the file being read, or "" between files.
const char* inputs_current_name(const InputQueue* q);

// --per-file: DIR/NAME.list for every file, NAME its last path component.
// Returns false, after a message, when a file has no name or two files
// would share a list.
bool inputs_plan_list_names(std::vector<SendInput>* inputs, const char* dir);
