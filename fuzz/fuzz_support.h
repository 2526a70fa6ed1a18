// Pieces every fuzz target shares: a failed invariant aborts with a message
// (libFuzzer then keeps the input), scratch files through the platform
// layer, and a reader of the fuzz input.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/plat.h"

namespace fuzz {

using Bytes = std::vector<uint8_t>;

[[noreturn]] inline void fail(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fprintf(stderr, "fuzz invariant broken: ");
  vfprintf(stderr, fmt, ap);
  fprintf(stderr, "\n");
  va_end(ap);
  abort();
}

#define FUZZ_CHECK(cond, ...) \
  do {                        \
    if (!(cond)) ::fuzz::fail(__VA_ARGS__); \
  } while (0)

// Where two byte strings first differ (the shorter one's length when one
// is a prefix of the other), for messages.
inline size_t first_difference(const Bytes& a, const Bytes& b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) i++;
  return i;
}

inline std::vector<std::string>& scratch_files() {
  static std::vector<std::string> files;
  return files;
}

inline void remove_scratch_files() {
  for (const std::string& f : scratch_files()) (void)plat_file_remove(f.c_str());
}

// A scratch file of this process, $TMPDIR/chunkfuzz-<pid>-<name>, removed
// when the process exits.
inline std::string scratch_path(const char* name) {
  const char* dir = getenv("TMPDIR");
  if (dir == nullptr || *dir == 0) dir = "/tmp";
  if (scratch_files().empty()) atexit(remove_scratch_files);
  std::string path = std::string(dir) + "/chunkfuzz-" + std::to_string(plat_process_id()) + "-" + name;
  scratch_files().push_back(path);
  return path;
}

inline void write_file(const std::string& path, const Bytes& b) {
  PlatFile f = plat_file_create_write(path.c_str());
  FUZZ_CHECK(f != kPlatNoFile, "cannot create %s", path.c_str());
  FUZZ_CHECK(plat_file_write_all(f, b.data(), b.size()) == 0, "cannot write %s", path.c_str());
  (void)plat_file_close(f);
}

inline Bytes read_file(const std::string& path) {
  PlatFile f = plat_file_open_read(path.c_str());
  FUZZ_CHECK(f != kPlatNoFile, "cannot open %s", path.c_str());
  Bytes out;
  uint8_t buf[65536];
  for (;;) {
    long n = plat_file_read(f, buf, sizeof buf);
    FUZZ_CHECK(n >= 0, "cannot read %s", path.c_str());
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  (void)plat_file_close(f);
  return out;
}

// Takes fields from the front of the fuzz input; past its end every field
// reads as 0 and every span as empty.
struct Reader {
  const uint8_t* p;
  size_t n;
  uint32_t u8() { return n ? (n--, *p++) : 0; }
  uint32_t u16() { return u8() | u8() << 8; }
  uint32_t u32() { return u16() | u16() << 16; }
  Bytes take(size_t k) {
    if (k > n) k = n;
    Bytes b(p, p + k);
    p += k;
    n -= k;
    return b;
  }
  Bytes rest() { return take(n); }
};

}  // namespace fuzz
