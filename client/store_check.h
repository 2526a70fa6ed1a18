// A whole store file checked offline, as chunkcheck does: its chunks cut
// again with the server's own chunker, exactly as the server does when it
// rebuilds its index at start-up (client/store_scan.h), with the header,
// the padding, chunks stored more than once, the index fill and a torn tail
// (bytes after the last whole chunk, as a failed append leaves them).
//
// The store is only read, and shared: the server may run and append while
// it is checked. What was appended after the check began is not checked,
// except for the rest of a chunk that was being written then.
#pragma once
#include <cstdint>

#include "client/store_scan.h"
#include "platform/plat.h"

struct StoreCheck {
  const char* tool;       // names the program in messages
  const char* path;
  uint64_t size;          // when the check began
  bool header_ok;         // false also for an empty store (which is clean)
  bool read_failed;
  int read_error;
  uint64_t grown_to;      // the size it grew to while the last chunk was waited for
  bool clean;
  StoreScan* scan;        // the figures; its keys stay when keep_keys was asked for
};

// Checks the open store file f (named path) with the scan s and a read
// buffer of block_size bytes; a progress line on stderr when progress.
// With keep_keys, s->keys holds every chunk's key by ChunkOffset after.
void store_check_run(StoreCheck* c, const char* tool, const char* path, PlatFile f, StoreScan* s,
                     uint8_t* block, size_t block_size, bool progress, bool keep_keys);

// What chunkcheck prints: the lines on standard output, the examples of
// each fault (and the index warning) on stderr; or, as JSON, the members
// of one object (without its braces) on standard output, the stderr lines
// as they are.
// verdict: the last line, "clean" or "not clean", too.
void store_check_print(const StoreCheck& c, bool verdict = true);
void store_check_print_json(const StoreCheck& c);
