// The run encoder: reads a list of ChunkRecords and, in pass 1, writes the
// pack stream. Runs as the body of PackState's file-driven coroutine.
//
// Pack stream: runs back to back, no header or trailer. Each run is a 40-bit
// big-endian run offset and a 16-bit big-endian run count (1..65535). A
// reference run (offset != 0) stands for `count` chunks lying back to back in
// the store from that ChunkOffset; a literal run (offset 0) is followed by
// each chunk's real-length bytes, copied out of the store file.
#pragma once
#include <cstdint>

#include "common/bytes.h"
#include "common/coroutine.h"
#include "pack/pack_state.h"
#include "platform/plat.h"

// Writes the kRunHeaderSize-byte header of a run into h.
inline void encode_run_header(uint8_t* h, uint64_t run_offset, uint16_t count) {
  store_be40(h, run_offset);
  store_be16(h + 5, count);
}

// Coroutine body. Pass 0 (ps->pass == 0) finds the largest ChunkOffset of
// the list; pass 1 classifies every record as reference (offset <= largest
// older offset) or literal, gathers back-to-back records of one kind into
// runs and writes them. Yields 1 for input, 2 when the output buffer is
// full, and 0 once at the end; on a fault it records it in ps->fault and
// yields 0 without reading further.
void run_encoder(Coroutine* co);

// Runs both passes over already opened files: pass 0 over `older` (no
// output), then pass 1 over `newer` into `pack`. in_buf and out_buf are
// kFileBlockSize bytes each. Returns 0 on success, 3 when ps->fault tells
// what went wrong (the pack file then holds a cut-off stream). The lists are
// read and the pack written through io.
int pack_run(PackState* ps, PlatFile store, PlatFile older, PlatFile newer,
             PlatFile pack, uint8_t* in_buf, uint8_t* out_buf, FileIo io = plat_file_io());
