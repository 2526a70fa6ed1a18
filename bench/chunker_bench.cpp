// Chunker and index throughput, single-threaded.
//
// 1. chunker_scan + chunker_finish over 256 MiB of pseudo-random bytes, fed
//    in 64 KiB spans as the passes receive them.
// 2. md5_compress alone over the same bytes, and `openssl speed -evp md5`
//    beside it as the reference for what one MD5 core does on this machine.
// 3. ChunkIndex::lookup_or_insert: inserts of fresh keys, then lookups of the
//    same keys, on the full 2^25-slot table.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common/bytes.h"
#include "platform/plat.h"
#include "server/chunk_index.h"
#include "server/chunker.h"

namespace {

constexpr size_t kDataBytes = size_t(256) << 20;
constexpr size_t kSpan = 64 * 1024;
constexpr size_t kIndexKeys = 8u << 20;

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

uint64_t splitmix(uint64_t* s) {
  uint64_t z = (*s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void fill_random(uint8_t* p, size_t n, uint64_t seed) {
  for (size_t i = 0; i + 8 <= n; i += 8) store_le64(p + i, splitmix(&seed));
}

void bench_chunker(const uint8_t* data, size_t n) {
  std::unique_ptr<Chunker> c(new Chunker);
  std::vector<uint8_t> buf(kChunkBufferSize);
  uint8_t key[kChunkKeySize];
  uint64_t chunks = 0, key_mix = 0;

  auto t0 = std::chrono::steady_clock::now();
  chunker_reset(c.get());
  for (size_t pos = 0; pos < n; pos += kSpan) {
    const uint8_t* p = data + pos;
    size_t left = n - pos < kSpan ? n - pos : kSpan;
    while (left > 0) {
      bool ended;
      size_t used = chunker_scan(c.get(), p, left, buf.data(), &ended);
      p += used;
      left -= used;
      if (ended) {
        chunker_finish(c.get(), key);
        key_mix ^= load_le64(key);
        chunks++;
      }
    }
  }
  double s = seconds_since(t0);
  double mb = double(n) / 1e6;
  printf("chunker+digest: %.0f MiB in %.3f s = %.1f MB/s\n", double(n) / (1 << 20), s, mb / s);
  printf("  chunks %llu (mean %.1f bytes), MD5 compressions %llu (%.2f per KB), key mix %016llx\n",
         (unsigned long long)chunks, double(n) / double(chunks ? chunks : 1),
         (unsigned long long)c->compressions, double(c->compressions) * 1000.0 / double(n),
         (unsigned long long)key_mix);

  uint32_t h[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};
  t0 = std::chrono::steady_clock::now();
  for (size_t i = 0; i + 64 <= n; i += 64) md5_compress(h, data + i);
  s = seconds_since(t0);
  printf("md5_compress alone: %.1f MB/s (state %08x)\n", mb / s, h[0]);
}

// Runs `openssl speed -evp md5` and prints its line for 8192-byte blocks.
void bench_openssl() {
  const char* out = "chunker_bench_openssl.txt";
  char cmd[256];
  snprintf(cmd, sizeof cmd, "openssl speed -seconds 2 -bytes 8192 -evp md5 > %s 2>&1", out);
  int rc = std::system(cmd);
  FILE* f = fopen(out, "r");
  bool shown = false;
  if (rc == 0 && f) {
    char line[512];
    while (fgets(line, sizeof line, f)) {
      if (strncmp(line, "md5", 3) == 0) {
        // "md5   <k bytes per second>k": thousands of bytes per second.
        double kbps = 0;
        const char* q = line + 3;
        while (*q == ' ') q++;
        if (sscanf(q, "%lf", &kbps) == 1) {
          printf("openssl speed -evp md5 (8192-byte blocks): %.1f MB/s\n", kbps / 1000.0);
          shown = true;
        }
      }
    }
  }
  if (f) fclose(f);
  std::remove(out);
  if (!shown) printf("openssl speed -evp md5: not available here (openssl missing or failed), no reference figure\n");
}

void bench_index() {
  uint8_t* table = static_cast<uint8_t*>(plat_big_alloc_zeroed(kIndexTableBytes));
  if (!table) {
    printf("index: table allocation failed\n");
    return;
  }
  std::unique_ptr<IndexContext> ctx(new IndexContext);
  ctx->table = table;
  std::vector<uint8_t> keys(2 * kIndexKeys * kChunkKeySize);
  fill_random(keys.data(), keys.size(), 99);
  for (size_t i = 0; i < 2 * kIndexKeys; i++) store_le16(&keys[i * 16 + 14], uint16_t(100 + i % 400));

  // Round 1 faults the table's pages in as it goes, as the first passes of
  // a server do; round 2 runs on pages already present, at twice the load.
  for (int round = 0; round < 2; round++) {
    const uint8_t* k = &keys[size_t(round) * kIndexKeys * 16];
    auto t0 = std::chrono::steady_clock::now();
    size_t hits = 0;
    for (size_t i = 0; i < kIndexKeys; i++)
      hits += ChunkIndex::lookup_or_insert(ctx.get(), k + i * 16, round * kIndexKeys + i + 1);
    double s = seconds_since(t0);
    printf("index: %zu fresh keys inserted at %.2f M/s (%s pages, %zu hits)\n", kIndexKeys,
           double(kIndexKeys) / s / 1e6, round == 0 ? "cold" : "warm", hits);
  }
  auto t0 = std::chrono::steady_clock::now();
  size_t found = 0;
  for (size_t i = 0; i < 2 * kIndexKeys; i++)
    found += ChunkIndex::lookup_or_insert(ctx.get(), &keys[i * 16], 0);
  double s = seconds_since(t0);
  printf("index: %zu lookups at %.2f M/s (%zu found, table %.0f%% full)\n", 2 * kIndexKeys,
         double(2 * kIndexKeys) / s / 1e6, found, 100.0 * double(2 * kIndexKeys) / kIndexSlots);
}

}  // namespace

int main() {
  std::vector<uint8_t> data(kDataBytes);
  fill_random(data.data(), data.size(), 1);
  bench_chunker(data.data(), data.size());
  bench_openssl();
  bench_index();
  return 0;
}
