// The files chunksend sends, in the order given: each is opened when its
// turn comes and read in pieces; one that cannot be opened is named on
// stderr and skipped, and one that ends early is reported.
//
// Standard input ("-") has no length known in advance, and a "file" command
// states its length before its bytes. So the stream goes as consecutive
// commands of a fixed piece size, the last one shorter: each piece is read
// whole into one buffer, allocated once for the run, before its command
// goes out. An empty stream is one empty piece (its list restores to
// nothing); a stream that ends on a piece boundary sends no empty piece
// after it. The records of the pieces follow each other in the list, so
// the list restores the stream byte for byte.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client/progress.h"
#include "platform/plat.h"

struct SendInput {
  const char* path;       // for standard input, the name shown in messages
  std::string list_name;  // --per-file: where its list goes
  uint64_t size;          // when planned, for the progress total
  bool is_stdin;          // "-": read from standard input, in pieces
};

constexpr size_t kDefaultPieceSize = size_t(64) << 20;

// Standard input, taken a piece at a time. It outlives the attempts of one
// run: a server that turns the connection away as busy stores nothing, and
// the retry sends the first piece again from the buffer; standard input
// cannot be read a second time.
struct StdinStream {
  uint8_t* buf;          // piece_size bytes
  size_t piece_size;
  size_t have;           // bytes of the piece in buf
  uint64_t pieces_read;  // pieces taken from standard input so far
  uint64_t bytes_read;
  bool ended;            // standard input has reached its end
};

// Allocates the piece buffer. Returns false, after a message, when it
// cannot.
bool stream_begin(StdinStream* s, size_t piece_size);

struct InputQueue {
  const std::vector<SendInput>* inputs;
  size_t next;            // the next file to open
  bool reading;           // a file (or a piece of standard input) is being read
  PlatFile current;       // the file being read, when not standard input
  size_t current_index;
  uint64_t current_left;  // its bytes not yet read
  uint64_t current_length;
  size_t skipped;         // files that could not be opened
  bool quiet;             // an earlier attempt already named the skipped files
  Progress* progress;     // its line is ended before a message
  StdinStream* stream;    // standard input's pieces; null when "-" is not given
  bool in_stream;         // its pieces are being sent
  uint64_t piece;         // the next piece of it to send
  bool failed;            // standard input could not be read
};

void inputs_begin(InputQueue* q, const std::vector<SendInput>* inputs, bool quiet,
                  Progress* progress, StdinStream* stream);

// Opens the next file that can be opened, or takes the next piece of
// standard input; files that cannot be opened are named and skipped.
// Returns false when no file is left, or, with failed set and after a
// message, when standard input could not be read.
bool inputs_open_next(InputQueue* q);

// Reads up to room bytes of the current file into dst (a file read to its
// end is closed). Returns the bytes read, or 0, after a message, when the
// file could not be read to its end.
size_t inputs_read(InputQueue* q, uint8_t* dst, size_t room);

// Closes the current file, if any (standard input stays open).
void inputs_close(InputQueue* q);

// The path of the file being read, or "" between files.
const char* inputs_current_name(const InputQueue* q);

// --per-file: DIR/NAME.list for every file, NAME its last path component.
// Returns false, after a message, when a file has no name or two files
// would share a list.
bool inputs_plan_list_names(std::vector<SendInput>* inputs, const char* dir);
