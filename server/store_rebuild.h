// The rebuild at start-up: the index refilled from the store file by the
// one walk of the store layout (chunk/store_walk.h), on a file-driven
// coroutine that reads the store in 64 KiB blocks.
#pragma once
#include <cstdint>

#include "common/coroutine.h"
#include "common/store_format.h"
#include "platform/plat.h"

// Refills the index from the store file at start-up (when it is not empty)
// and leaves the file position at its end. Shows progress on stderr when it
// takes more than a second (store_set_progress_interval_ms). Returns false,
// after a message on stderr, when the store cannot be read to its end: an
// index missing the chunks beyond would have them stored again, so the
// caller does not serve.
//
// A store can end in a torn chunk (an append cut short by a crash, or stray
// bytes). Cut from that chunk's start, every chunk appended after it would
// be cut out of step, never found again and stored anew at every restart.
// So tail->resync_at receives where the first new chunk must go instead (0
// when the store ends cleanly): the end, padded to 64, of the chunk that the
// torn bytes followed by zeros make; a store pass fills up to it with zeros.
// A store that ends inside the padding of a whole chunk gets that padding
// completed with copies of the chunk's last byte (tail->fill).
//
// The store is read through io (plat_file_io() but in the tests that read it
// in pieces of random sizes).
bool store_rebuild_index(PlatFile store, uint8_t* index_table, StoreTail* tail,
                         FileIo io = plat_file_io());

// The file-driven coroutine the rebuild runs on, for the tests that watch
// its wake-ups from their reads.
const FileCoroutine* store_rebuild_coroutine();

// How long a rebuild runs before it reports its progress, and how often it
// reports then (1000 ms unless set): tests set it to see the reports, or to
// be sure of none, whatever the machine's speed.
void store_set_progress_interval_ms(uint64_t ms);
