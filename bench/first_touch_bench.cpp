// The first touch of the index table's 704 MB: what the first writes into a
// freshly allocated table cost (one write per 4 KiB page, in a scattered
// order as keys land), the same writes on pages already present, and what
// faulting the whole table in at once (plat_big_populate) costs instead.
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "platform/plat.h"
#include "chunk/chunk_index.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Writes one byte in every 4 KiB page, visiting the pages in a scattered
// order (a stride coprime with the page count).
double touch_pages(uint8_t* p, size_t n) {
  size_t pages = n >> 12;
  auto t0 = std::chrono::steady_clock::now();
  size_t at = 0;
  for (size_t i = 0; i < pages; i++) {
    p[at << 12] += 1;
    at = (at + 40503) % pages;
  }
  return seconds_since(t0);
}

}  // namespace

int main() {
  const size_t n = kIndexTableBytes;
  uint8_t* a = static_cast<uint8_t*>(plat_big_alloc_zeroed(n));
  uint8_t* b = static_cast<uint8_t*>(plat_big_alloc_zeroed(n));
  if (!a || !b) {
    printf("first touch: allocation failed\n");
    return 1;
  }
  double cold = touch_pages(a, n);
  double warm = touch_pages(a, n);
  auto t0 = std::chrono::steady_clock::now();
  bool ok = plat_big_populate(b, n);
  double pop = seconds_since(t0);
  double after = touch_pages(b, n);
  printf("first touch of %zu bytes: %.3f s; again, pages present: %.3f s\n", n, cold, warm);
  if (ok)
    printf("populate at once: %.3f s, then the same writes: %.3f s\n", pop, after);
  else
    printf("populate at once: not available here\n");
  return 0;
}
