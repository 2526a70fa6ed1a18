// memcpy throughput on this machine: a 64 MiB buffer copied to another,
// both warm, several times; prints the median as "memcpy: N MB/s".
// It is the ceiling for every path that moves bytes once through memory
// (the pack's literal copy, chunkcat --no-verify, the socket's receive copy).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  const size_t n = size_t(64) << 20;
  int rounds = argc > 1 ? atoi(argv[1]) : 9;
  if (rounds < 1) rounds = 1;
  std::vector<unsigned char> a(n), b(n);
  for (size_t i = 0; i < n; i++) a[i] = static_cast<unsigned char>(i * 131 + (i >> 12));
  memcpy(b.data(), a.data(), n);  // fault both in
  std::vector<double> mbs;
  unsigned sum = 0;
  for (int r = 0; r < rounds; r++) {
    auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < 4; k++) {
      memcpy(b.data(), a.data(), n);
      sum += b[(size_t(r) * 4097 + size_t(k)) % n];
      std::swap(a, b);
    }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    mbs.push_back(4.0 * double(n) / 1e6 / s);
  }
  std::sort(mbs.begin(), mbs.end());
  printf("memcpy: %.1f MB/s (median of %d, check %u)\n", mbs[mbs.size() / 2], rounds, sum);
  return 0;
}
