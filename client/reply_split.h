// Splits the reply of one connection (the records of several "file"
// commands, back to back and unframed) into the records of each file, and
// checks that the reply is whole.
//
// A file's records end where their real lengths add up to its length. A
// file that ends exactly on a chunk boundary gets one more record of real
// length 0 (a chunk of filler only); an empty file gets exactly one record
// of real length 0; the first record of a non-empty file has real length 1
// or more. So after a non-empty file X is covered, the z records of length 0
// that follow belong to X and to the e empty files sent right after X: X
// owns z - e of them, which must be 0 or 1. z is known only once a record of
// non-zero length (the next non-empty file's first) or the end of the reply
// arrives; by then every file it concerns has been announced, because the
// server answers a file only after its command.
//
// Used while the reply streams in: announce each file before its command is
// sent, push every record as it arrives, then finish once the server has
// closed the connection.
#pragma once
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <vector>

struct ReplySplit {
  std::vector<uint64_t> lengths;  // of the files announced, in order
  std::vector<const char*> names;  // for messages; outlive the split
  std::vector<uint64_t> counts;   // records that belong to each file
  // Invariant: files [0, file) are complete and counted.
  size_t file = 0;
  uint64_t covered = 0;       // real bytes of `file` seen so far
  uint64_t records = 0;       // records of `file` seen so far
  uint64_t zeros = 0;         // 0-length records after `file` was covered
  bool covered_whole = false;  // `file` (non-empty) is covered; counting zeros
  uint64_t total_records = 0;
  uint64_t acknowledged = 0;  // real bytes of all records pushed
  bool failed = false;
  char error[200] = {0};
};

inline void reply_split_announce(ReplySplit* s, const char* name, uint64_t length) {
  s->lengths.push_back(length);
  s->names.push_back(name);
  s->counts.push_back(0);
}

namespace reply_split_detail {

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
inline bool fail(ReplySplit* s, const char* fmt, ...) {
  if (!s->failed) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(s->error, sizeof s->error, fmt, ap);
    va_end(ap);
    s->failed = true;
  }
  return false;
}

// Hands the pending 0-length records out between the covered file and the
// empty files that follow it. at_end: no further record will come, so every
// announced file is known.
inline bool settle(ReplySplit* s, bool at_end) {
  size_t k = s->file;
  uint64_t empties = 0;
  size_t next = k + 1;
  while (next < s->lengths.size() && s->lengths[next] == 0) {
    empties++;
    next++;
  }
  if (!at_end && next >= s->lengths.size()) {
    return fail(s, "record %" PRIu64 " has real bytes, but no non-empty file follows %s",
                s->total_records, s->names[k]);
  }
  if (s->zeros < empties || s->zeros > empties + 1) {
    return fail(s,
                "%s is followed by %" PRIu64 " records of real length 0 and %" PRIu64
                " empty files; they cannot be shared out",
                s->names[k], s->zeros, empties);
  }
  s->counts[k] = s->records + (s->zeros - empties);
  for (size_t i = k + 1; i < next; i++) s->counts[i] = 1;
  s->file = next;
  s->covered = 0;
  s->records = 0;
  s->zeros = 0;
  s->covered_whole = false;
  return true;
}

}  // namespace reply_split_detail

// Takes the next record's real length. Returns false (and keeps the first
// error) when the record cannot belong to the files announced.
inline bool reply_split_push(ReplySplit* s, uint16_t real_length) {
  using reply_split_detail::fail;
  if (s->failed) return false;
  s->total_records++;
  s->acknowledged += real_length;
  if (s->covered_whole) {
    if (real_length == 0) {
      s->zeros++;
      return true;
    }
    if (!reply_split_detail::settle(s, false)) return false;
  }
  const uint64_t index = s->total_records;  // 1-based, for messages
  if (s->file >= s->lengths.size()) {
    return fail(s, "record %" PRIu64 " comes after every file sent is complete", index);
  }
  const uint64_t length = s->lengths[s->file];
  if (length == 0) {
    if (real_length != 0) {
      return fail(s, "record %" PRIu64 " has real length %u, but %s is empty", index,
                  unsigned(real_length), s->names[s->file]);
    }
    s->counts[s->file] = 1;
    s->file++;
    return true;
  }
  if (s->records == 0 && real_length == 0) {
    return fail(s, "record %" PRIu64 ", the first of %s, has real length 0", index,
                s->names[s->file]);
  }
  s->records++;
  s->covered += real_length;
  if (s->covered > length) {
    return fail(s, "the records of %s cover %" PRIu64 " bytes, more than its %" PRIu64,
                s->names[s->file], s->covered, length);
  }
  if (s->covered == length) s->covered_whole = true;
  return true;
}

// After the last record. Returns true when every announced file got all of
// its records; otherwise the error says what is missing.
inline bool reply_split_finish(ReplySplit* s) {
  using reply_split_detail::fail;
  if (s->failed) return false;
  if (s->covered_whole && !reply_split_detail::settle(s, true)) return false;
  if (s->file < s->lengths.size()) {
    if (s->lengths[s->file] == 0) {
      return fail(s, "the reply ends before the record of %s (empty)", s->names[s->file]);
    }
    return fail(s,
                "the reply ends in %s: its records cover %" PRIu64 " of its %" PRIu64 " bytes",
                s->names[s->file], s->covered, s->lengths[s->file]);
  }
  return true;
}
