// The run encoder: reads a list of ChunkRecords and, in pass 1, writes the
// pack stream (common/pack_format.h). Runs as the body of PackState's
// file-driven coroutine.
#pragma once
#include <cstdint>

#include "common/coroutine.h"
#include "common/pack_format.h"
#include "pack/pack_state.h"
#include "platform/plat.h"

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
