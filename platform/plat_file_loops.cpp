// Whole-buffer reads and writes, built on the backends' single calls.
#include "platform/plat.h"
#include "platform/plat_internal.h"

int plat_file_write_all(PlatFile f, const void* buf, size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    long w = plat_file_write(f, p, n);
    if (w < 0) return -1;
    if (w == 0) {
      plat_file_note_disk_full();
      return -1;
    }
    p += w;
    n -= size_t(w);
  }
  return 0;
}

long plat_file_read_full(PlatFile f, void* buf, size_t n) {
  char* p = static_cast<char*>(buf);
  size_t got = 0;
  while (got < n) {
    long r = plat_file_read(f, p + got, n - got);
    if (r < 0) return -1;
    if (r == 0) break;
    got += size_t(r);
  }
  return long(got);
}
