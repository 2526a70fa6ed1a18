// A hint to fetch the cache line holding p before it is read.
#pragma once

// gcc emits nothing for __builtin_prefetch when the target has no prefetch
// instruction, which is the case for plain i686. prefetcht0 came with SSE
// and decodes as a no-op hint on the processors before it, so the i686
// build writes it out itself: the index lookups of a batch then overlap
// their cache misses as they do in the 64-bit build.
inline void prefetch_line(const void* p) {
#if defined(__i386__) && !defined(__SSE__)
  __asm__ volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p);
#endif
}
