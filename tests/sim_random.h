// The seeded random numbers of the simulation tests: one schedule per seed,
// the same on every machine and every run.
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

class SimRandom {
 public:
  explicit SimRandom(uint64_t seed) : state_(seed) {}

  uint64_t next() {  // splitmix64
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // 0..n-1 (0 when n is 0).
  size_t below(size_t n) { return n ? size_t(next() % n) : 0; }
  // lo..hi, both included.
  size_t between(size_t lo, size_t hi) { return lo + below(hi - lo + 1); }
  // True with odds 1 in n (never when n is 0).
  bool one_in(size_t n) { return n != 0 && below(n) == 0; }
  template <class T>
  T pick(std::initializer_list<T> choices) {
    return choices.begin()[below(choices.size())];
  }
  // n bytes of a kind that cuts into chunks of every length: random bytes,
  // runs of one value (which cut at the longest length), or text-like bytes
  // of a small alphabet.
  std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> out(n);
    size_t kind = below(4);
    uint8_t run = uint8_t(next());
    for (size_t i = 0; i < n; i++) {
      switch (kind) {
        case 0: out[i] = run; break;
        case 1: out[i] = uint8_t('a' + below(6)); break;
        default: out[i] = uint8_t(next()); break;
      }
    }
    return out;
  }

 private:
  uint64_t state_;
};
