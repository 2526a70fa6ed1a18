// The small file chores publish and pull share: a whole file written
// through the output module, a local file read whole, a digest as text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/plat.h"

// Writes path through the output module (a temporary name, synced, renamed,
// its folder synced). False, with *why, when it cannot.
bool mirror_write_file(const std::string& path, const uint8_t* p, size_t n, std::string* why);
inline bool mirror_write_file(const std::string& path, const std::string& text, std::string* why) {
  return mirror_write_file(path, reinterpret_cast<const uint8_t*>(text.data()), text.size(), why);
}

// The whole file at path into *out, when it is at most max bytes. False,
// with *why, when it cannot be read or is larger; *missing tells that
// nothing is there.
bool mirror_read_file(const std::string& path, uint64_t max, std::string* out, bool* missing,
                      std::string* why);

// The size of the file at path (0 when nothing is there); false, with *why,
// when it cannot be examined.
bool mirror_file_size(const std::string& path, uint64_t* size, std::string* why);

// SHA-256 of n bytes as 64 lowercase hex digits.
std::string mirror_sha256(const uint8_t* p, size_t n);
inline std::string mirror_sha256(const std::string& s) {
  return mirror_sha256(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// The SHA-256 (as text) of p[0, n), where n is what cut(ctx) returns after
// it has gone over p[0, total): the digest of all but the last `tail` bytes
// runs on a second thread meanwhile (both take the time of the longer).
// An n short of total - tail is digested again after the cut, from the start.
std::string mirror_sha256_beside(const uint8_t* p, size_t total, size_t tail,
                                 size_t (*cut)(void* ctx), void* ctx, size_t* n);

// Whether the record list's bytes are whole records, each inside a store of
// `size` bytes.
bool mirror_list_inside(const std::string& list, uint64_t size);

// Opens (or creates) the lock file at path and takes it exclusive, waiting
// (after a line on stderr) while another `what` holds it. kPlatNoFile, with
// *why, when it cannot be opened or locked.
PlatFile mirror_take_lock(const std::string& path, const char* what, std::string* why);

// Makes the folder path unless it is one already.
bool mirror_make_folder(const std::string& path, std::string* why);
