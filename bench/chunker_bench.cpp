// Chunker, digest, index and pass throughput, single-threaded, as ratios to
// MD5 measured in the same run.
//
// Every figure is measured three times and the median reported; each round
// first runs `openssl speed -evp md5 -bytes 8192 -seconds 3 -mr` (one MD5
// core on this machine) and the ratios of that round are taken against it.
// Per vector width this machine has (forced with simd_set_width):
//   - cut: chunker_cut alone over 256 MiB of pseudo-random bytes;
//   - digest: chunk_digest_batch alone over the chunks that cut gives,
//     copied into an arena a batch at a time as the pass does;
//   - chunk+digest+index unique / known: the store pass in-process (records
//     to a discarded 32 KiB output buffer, input in 64 KiB spans) over the
//     256 MiB into an empty index, then the same bytes again, with
//     /dev/null as its store;
//   - store unique / store known: the same with a real store file in
//     $CHUNK_BENCH_DIR (default /dev/shm), its new pages included;
//   - rebuild: the rebuild pass over that store into an emptied index.
// CHUNK_BENCH_WIDTH=scalar|avx2|avx512|avx512gfni measures that width only.
// Beside them: the chunk-at-a-time path (chunker_scan + chunker_finish),
// md5_compress alone, and at the end the index alone on its own table.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "chunk/chunk_digest.h"
#include "chunk/chunker.h"
#include "chunk/md5.h"
#include "chunk/simd_width.h"
#include "common/bytes.h"
#include "common/coroutine.h"
#include "platform/plat.h"
#include "chunk/chunk_index.h"
#include "server/store.h"
#include "tests/fold_chunker.h"
#include "tests/pass_stand_in.h"

namespace {

constexpr size_t kDataBytes = size_t(256) << 20;
constexpr size_t kSpan = 64 * 1024;
constexpr size_t kOutSize = 32 * 1024;
constexpr int kRounds = 3;

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

// MB/s of one MD5 core: `openssl speed -mr` prints "+F:<n>:md5:<bytes/s>...".
double openssl_md5() {
  const char* out = "chunker_bench_openssl.txt";
  char cmd[256];
  snprintf(cmd, sizeof cmd, "openssl speed -evp md5 -bytes 8192 -seconds 3 -mr > %s 2>/dev/null",
           out);
  int rc = std::system(cmd);
  double mbs = 0;
  if (FILE* f = fopen(out, "r")) {
    char line[512];
    while (fgets(line, sizeof line, f)) {
      if (strncmp(line, "+F:", 3) != 0) continue;
      const char* q = strstr(line, ":md5:");
      double bps = 0;
      if (q && sscanf(q + 5, "%lf", &bps) == 1) mbs = bps / 1e6;
    }
    fclose(f);
  }
  std::remove(out);
  return rc == 0 ? mbs : 0;
}

struct Figures {
  std::vector<std::string> names;
  std::vector<std::vector<double>> mbs;  // per figure, per round
  void add(const std::string& name, int round, double v) {
    size_t i = std::find(names.begin(), names.end(), name) - names.begin();
    if (i == names.size()) {
      names.push_back(name);
      mbs.emplace_back();
    }
    (void)round;
    mbs[i].push_back(v);
  }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

uint64_t g_sink = 0;

double per_chunk_path(const uint8_t* data, size_t n) {
  std::unique_ptr<FoldChunker> c(new FoldChunker);
  std::vector<uint8_t> buf(kChunkBufferSize);
  uint8_t key[kChunkKeySize];
  auto t0 = std::chrono::steady_clock::now();
  chunker_reset(c.get());
  for (size_t pos = 0; pos < n;) {
    bool ended;
    pos += chunker_scan(c.get(), data + pos, std::min(kSpan, n - pos), buf.data(), &ended);
    if (ended) {
      chunker_finish(c.get(), key);
      g_sink ^= load_le64(key);
    }
  }
  return double(n) / 1e6 / seconds_since(t0);
}

// Cuts everything into an array of spans (the chunks stay in data).
double cut_only(const uint8_t* data, size_t n, std::vector<ChunkSpan>* spans) {
  std::unique_ptr<Chunker> c(new Chunker);
  std::vector<uint8_t> buf(kChunkBufferSize);
  spans->clear();
  auto t0 = std::chrono::steady_clock::now();
  chunker_reset(c.get());
  size_t start = 0;
  for (size_t pos = 0; pos < n;) {
    bool ended;
    pos += chunker_cut(c.get(), data + pos, std::min(kSpan, n - pos), buf.data(), &ended);
    if (ended) {
      spans->push_back(ChunkSpan{data + start, uint32_t(pos - start)});
      start = pos;
      chunker_next_chunk(c.get());
    }
  }
  return double(n) / 1e6 / seconds_since(t0);
}

// The digest of chunks in the cache, as a pass digests the chunks it has
// just copied into its batch: every chunk of the data, copied a batch of
// kBatchChunks at a time into an arena and digested there; only the digests
// are timed. (Digesting the same few thousand chunks over and over would let
// the branch predictor learn their lengths, which it never can in a pass.)
double digest_only(const std::vector<ChunkSpan>& spans) {
  std::vector<uint8_t> arena(kBatchChunks * kChunkBufferSize);
  std::vector<ChunkSpan> batch(kBatchChunks);
  std::vector<uint8_t> keys(kBatchChunks * kChunkKeySize);
  size_t bytes = 0;
  double seconds = 0;
  for (size_t i = 0; i < spans.size(); i += kBatchChunks) {
    size_t m = std::min(kBatchChunks, spans.size() - i), fill = 0;
    for (size_t k = 0; k < m; k++) {
      memcpy(&arena[fill], spans[i + k].bytes, spans[i + k].length);
      batch[k] = ChunkSpan{&arena[fill], spans[i + k].length};
      fill += padded_chunk_size(spans[i + k].length);
      bytes += spans[i + k].length;
    }
    auto t0 = std::chrono::steady_clock::now();
    chunk_digest_batch(batch.data(), m, keys.data());
    seconds += seconds_since(t0);
    g_sink ^= load_le64(keys.data());
  }
  return double(bytes) / 1e6 / seconds;
}

using PassRun = PassStandIn<kOutSize + 32>;

double store_pass(PassRun* r, PlatFile f, uint8_t* table, uint8_t* data, size_t n) {
  r->prepare(f, table);
  r->length = n;
  r->closed = 0;
  size_t fed = 0;
  r->in_cur = r->in_end = data;
  r->out_cur = r->out;
  r->out_end = r->out + kOutSize;
  auto t0 = std::chrono::steady_clock::now();
  for (;;) {
    coro_resume(&r->co);
    if (r->co.yield_code == kCoReturned) break;
    if (r->co.yield_code == kCoWaitOutput) r->out_cur = r->out;
    if (r->co.yield_code == kCoWaitInput) {
      size_t k = std::min(kSpan, n - fed);
      r->in_cur = data + fed;
      r->in_end = r->in_cur + k;
      fed += k;
      if (fed == n) r->closed = 1;
    }
  }
  return double(n) / 1e6 / seconds_since(t0);
}

constexpr size_t kIndexKeys = 8u << 20;

// ChunkIndex::lookup_or_insert alone: inserts of fresh keys, first on cold
// pages, then on warm ones, then lookups of all keys.
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

// With the argument "quick": one round of cut and digest, no MD5 reference.
// With "widths": prints the vector widths this build has on this machine.
int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "widths") == 0) {
    for (SimdWidth w : kAllSimdWidths) {
      if (simd_width_available(w)) printf("%s\n", simd_width_name(w));
    }
    return 0;
  }
  const bool quick = argc > 1 && strcmp(argv[1], "quick") == 0;
  const int rounds = quick ? 1 : kRounds;
  std::vector<uint8_t> data(kDataBytes);
  fill_random(data.data(), data.size(), 1);
  uint8_t* table = static_cast<uint8_t*>(plat_big_alloc_zeroed(kIndexTableBytes));
  if (!table) {
    printf("index: table allocation failed\n");
    return 1;
  }
  const char* dir = std::getenv("CHUNK_BENCH_DIR");
  std::string path = std::string(dir ? dir : "/dev/shm") + "/chunker_bench_" +
                     std::to_string(plat_process_id()) + ".dump";
  std::unique_ptr<PassRun> run(new PassRun);
  std::vector<ChunkSpan> spans;
  Figures fig;
  std::vector<double> md5;
  const SimdWidth was = simd_width();
  for (int round = 0; round < rounds; round++) {
    md5.push_back(quick ? 0 : openssl_md5());
    {
      uint32_t h[4] = {kMd5Init[0], kMd5Init[1], kMd5Init[2], kMd5Init[3]};
      auto t0 = std::chrono::steady_clock::now();
      for (size_t i = 0; i + 64 <= data.size(); i += 64) md5_compress(h, data.data() + i);
      fig.add("md5_compress alone", round, double(data.size()) / 1e6 / seconds_since(t0));
      g_sink ^= h[0];
    }
    fig.add("chunk-at-a-time scan+digest", round, per_chunk_path(data.data(), data.size()));
    for (SimdWidth w : kAllSimdWidths) {
      const char* only = std::getenv("CHUNK_BENCH_WIDTH");  // one width only
      if (only && strcmp(only, simd_width_name(w)) != 0) continue;
      if (!simd_set_width(w)) continue;
      std::string name = simd_width_name(w);
      fig.add(name + ": cut", round, cut_only(data.data(), data.size(), &spans));
      fig.add(name + ": digest", round, digest_only(spans));
      if (quick) continue;
      // Chunk, digest and index alone: the store is /dev/null, so appends
      // cost a system call and nothing else.
      memset(table, 0, kIndexTableBytes);
      PlatFile null_store = plat_file_open_always_rw("/dev/null");
      fig.add(name + ": chunk+digest+index unique", round,
              store_pass(run.get(), null_store, table, data.data(), data.size()));
      fig.add(name + ": chunk+digest+index known", round,
              store_pass(run.get(), null_store, table, data.data(), data.size()));
      plat_file_close(null_store);
      memset(table, 0, kIndexTableBytes);
      (void)plat_file_remove(path.c_str());
      PlatFile f = plat_file_open_always_rw(path.c_str());
      fig.add(name + ": store unique", round, store_pass(run.get(), f, table, data.data(), data.size()));
      (void)plat_file_seek(f, 0, kSeekEnd, nullptr);
      fig.add(name + ": store known", round, store_pass(run.get(), f, table, data.data(), data.size()));
      uint64_t size = 0;
      (void)plat_file_seek(f, 0, kSeekEnd, &size);
      memset(table, 0, kIndexTableBytes);
      StoreTail tail;
      auto t0 = std::chrono::steady_clock::now();
      (void)store_rebuild_index(f, table, &tail);
      fig.add(name + ": rebuild", round, double(size) / 1e6 / seconds_since(t0));
      plat_file_close(f);
      (void)plat_file_remove(path.c_str());
    }
    simd_set_width(was);
  }
  double m = median(md5);
  printf("openssl speed -evp md5 -bytes 8192: median %.1f MB/s (rounds:", m);
  for (double v : md5) printf(" %.1f", v);
  printf(")\n");
  printf("%-32s %10s %8s   %s\n", "figure", "MB/s", "x MD5", "ratios of the rounds");
  for (size_t i = 0; i < fig.names.size(); i++) {
    std::vector<double> ratios;
    for (size_t r = 0; r < fig.mbs[i].size(); r++) {
      ratios.push_back(md5[r] > 0 ? fig.mbs[i][r] / md5[r] : 0);
    }
    printf("%-32s %10.1f %8.2f  ", fig.names[i].c_str(), median(fig.mbs[i]), median(ratios));
    for (double x : ratios) printf(" %.2f", x);
    printf("\n");
  }
  printf("(checksum %016llx)\n", (unsigned long long)g_sink);
  if (!quick) bench_index();
  return 0;
}
