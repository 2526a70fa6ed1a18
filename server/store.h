// The store file "$dump" and the chunking pass that fills it (store mode,
// one run per "file" command) or re-reads it at start-up (rebuild mode).
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/coroutine.h"
#include "platform/plat.h"

// Where a pass takes its input bytes from and puts its records: the fields
// of the coroutine that runs it (a client Connection or the file-driven
// rebuild coroutine).
struct PassIo {
  Coroutine* co;
  uint8_t** in_cur;
  uint8_t** in_end;
  int32_t* end_of_input;
  uint8_t** out_cur;
  uint8_t** out_end;
  int32_t wait_input_code;
  int32_t wait_output_code;
};

struct PassContext {
  PlatFile store;
  PassIo io;
};

// Size of the chunk index table the passes share: 2^25 slots of 21 bytes.
constexpr size_t kStoreIndexBytes = (size_t(1) << 25) * 21;

// Refills the index from the store file at start-up and leaves the file
// position at its end. Returns 0, or nonzero after a message on stderr.
int store_rebuild_index(PlatFile store, uint8_t* index_table);

// Sets a client's pass context up for store mode.
void pass_prepare_store_mode(PassContext* p, PlatFile store, uint8_t* index_table);

// Runs the StorePass over the next `length` input bytes.
void store_pass(PassContext* p, uint64_t length);
