// chunkunpack's work: restores files from a pack.
//
// PACK was made by chunkpack from an older and a newer record list; STORE is
// a copy of the store file as it was when the older list was made (or any
// later copy), NEWER the newer list. For each record of NEWER in order it
// writes the record's real bytes: for a reference run, read from STORE at
// the record's ChunkOffset; for a literal run, taken from the pack. Every
// chunk is checked against its record's digest: a stored chunk is cut again
// from STORE; a literal chunk is completed with the filler the server added
// (the last byte + 1, + 2, ... until the chunker ends the chunk).
//
// The pack must match NEWER run for run: a reference run starts at its
// record's ChunkOffset, the records of a run lie back to back in the store,
// its literal bytes are all there, and pack and list end together. The
// first fault is reported; with -o, OUT is neither created nor changed.
#pragma once

enum UnpackStatus : int { kUnpackOk = 0, kUnpackUsage = 1, kUnpackOutput = 2, kUnpackMismatch = 3 };

struct UnpackOptions {
  const char* store = nullptr;
  const char* newer = nullptr;
  const char* pack = nullptr;
  const char* out = nullptr;  // null: standard output
};

// Runs the restore; returns the status to exit with, after messages.
int unpack_command(const UnpackOptions& o);
