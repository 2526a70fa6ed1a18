// How many keys the ChunkIndex loses as it fills: inserts random 16-byte
// keys into the real 2^25-slot table (the server's own lookup_or_insert),
// and at every step of the fill looks up every key entered so far. A key
// not found was evicted: the server would store that chunk again. Prints,
// per fill level, the keys entered, the share of slots that is, the keys
// lost and the occupied slots.
//
//   index_fill_bench [STEP_PERCENT [UP_TO_PERCENT [SEED]]]   default 5 100 1
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/plat.h"
#include "chunk/chunk_index.h"
#include "chunk/index_fill.h"

namespace {

// splitmix64: the key of entry i is a function of (seed, i), so lookups
// regenerate keys instead of keeping 16 bytes per key.
uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

void make_key(uint64_t seed, uint64_t i, uint8_t* key) {
  uint64_t a = mix(seed * 0x100000001B3ull + 2 * i);
  uint64_t b = mix(seed * 0x100000001B3ull + 2 * i + 1);
  memcpy(key, &a, 8);
  memcpy(key + 8, &b, 8);
}

IndexContext g_ctx;

}  // namespace

int main(int argc, char** argv) {
  const uint64_t step = argc > 1 ? strtoull(argv[1], nullptr, 10) : 5;
  const uint64_t up_to = argc > 2 ? strtoull(argv[2], nullptr, 10) : 100;
  const uint64_t seed = argc > 3 ? strtoull(argv[3], nullptr, 10) : 1;
  if (step == 0 || up_to == 0) {
    fprintf(stderr, "index_fill_bench: steps and the end are percentages above 0\n");
    return 1;
  }
  uint8_t* table = static_cast<uint8_t*>(plat_big_alloc_zeroed(kIndexTableBytes));
  if (table == nullptr) {
    fprintf(stderr, "index_fill_bench: cannot allocate the table\n");
    return 1;
  }
  g_ctx.table = table;
  printf("%% of slots | keys entered | keys lost | lost share | occupied slots\n");
  uint64_t entered = 0;
  uint8_t key[16];
  auto t0 = std::chrono::steady_clock::now();
  for (uint64_t pct = step; pct <= up_to; pct += step) {
    const uint64_t target = uint64_t(kIndexSlots) * pct / 100;
    for (; entered < target; entered++) {
      make_key(seed, entered, key);
      (void)ChunkIndex::lookup_or_insert(&g_ctx, key, entered + 1);
    }
    uint64_t lost = 0;
    for (uint64_t i = 0; i < entered; i++) {
      make_key(seed, i, key);
      if (!ChunkIndex::lookup_or_insert(&g_ctx, key, 0) || g_ctx.found_offset != i + 1) lost++;
    }
    printf("%9u%% | %12llu | %9llu | %9.5f%% | %llu\n", unsigned(pct),
           (unsigned long long)entered, (unsigned long long)lost,
           100.0 * double(lost) / double(entered),
           (unsigned long long)index_count_entries(table));
    fflush(stdout);
  }
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  printf("(%.1f s; warning threshold now %u%%)\n", s, unsigned(kIndexFillWarnPercent));
  plat_big_free(table, kIndexTableBytes);
  return 0;
}
