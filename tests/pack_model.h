// A plain model of chunkpack's two passes: the pack stream of a newer list
// against an older one and a store, written from the record and run rules
// alone, and where it stops when a record cannot be packed.
#pragma once
#include <cstdint>
#include <vector>

namespace pack_model {

using Bytes = std::vector<uint8_t>;

enum Stop { kPacked, kOutsideStore, kHeaderOffset };

struct Result {
  Bytes stream;      // the pack bytes written, up to the stop
  Stop stop = kPacked;
  uint64_t record = 0;  // index in the newer list of the record that stopped it
};

struct Rec {
  uint32_t length;
  uint64_t offset;
};

inline std::vector<Rec> records_of(const Bytes& list) {
  std::vector<Rec> out;
  for (size_t i = 0; i + 21 <= list.size(); i += 21) {
    const uint8_t* r = list.data() + i;
    Rec x;
    x.length = uint32_t(r[14]) | uint32_t(r[15]) << 8;
    x.offset = 0;
    for (int k = 4; k >= 0; k--) x.offset = x.offset << 8 | r[16 + k];
    out.push_back(x);
  }
  return out;
}

inline Result pack(const Bytes& store, const Bytes& older, const Bytes& newer) {
  uint64_t largest = 0;
  for (const Rec& r : records_of(older)) largest = r.offset > largest ? r.offset : largest;

  Result res;
  std::vector<Rec> list = records_of(newer);
  // The open run: [first, first + count) of list, all of one kind.
  size_t first = 0, count = 0;
  bool reference = false;
  auto put_be = [&](uint64_t v, int bytes) {
    for (int k = bytes - 1; k >= 0; k--) res.stream.push_back(uint8_t(v >> (8 * k)));
  };
  auto flush = [&]() -> bool {
    if (count == 0) return true;
    if (reference) {
      put_be(list[first].offset, 5);
      put_be(count, 2);
      return true;
    }
    for (size_t i = first; i < first + count; i++) {
      if (list[i].offset * 64 + list[i].length > store.size()) {
        res.stop = kOutsideStore;
        res.record = i;
        return false;
      }
    }
    put_be(0, 5);
    put_be(count, 2);
    for (size_t i = first; i < first + count; i++) {
      const uint8_t* at = store.data() + list[i].offset * 64;
      res.stream.insert(res.stream.end(), at, at + list[i].length);
    }
    return true;
  };

  uint64_t next = 0;
  for (size_t i = 0; i < list.size(); i++) {
    const Rec& r = list[i];
    if (r.offset == 0) {  // the store header: the open run is not written
      res.stop = kHeaderOffset;
      res.record = i;
      return res;
    }
    bool ref = r.offset <= largest;
    bool extends = count > 0 && r.offset == next && count < 65535 && ref == reference;
    if (!extends) {
      if (!flush()) return res;
      first = i;
      count = 0;
      reference = ref;
    }
    count++;
    next = r.offset + (r.length + 63) / 64;
  }
  flush();
  return res;
}

}  // namespace pack_model
