// chunksend's closing summary: files, bytes and records sent, how much the
// store grew and how much of the data it held already (when the store file
// can be read), time and rate; as a line on stderr or one JSON object on
// standard output.
#pragma once
#include <cstddef>
#include <cstdint>

struct SendSummary {
  size_t files;
  uint64_t bytes;       // of the files sent
  uint64_t records;
  bool store_known;     // --store was given and could be read both times
  uint64_t grew;        // store bytes appended
  uint64_t new_bytes;   // real bytes of chunks that were new
  double seconds;
};

void summary_print(const SendSummary& m, bool json);
