// A plain model of the store file, the index and the client protocol, built
// on the byte-at-a-time chunker model: an exact map from key to offset (no
// windows, nothing ever dropped), the store file as a byte vector, records
// encoded field by field. The fuzz targets compare the server's passes with
// it.
#pragma once
#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

#include "tests/chunk_model.h"

namespace store_model {

using chunk_model::Bytes;
using chunk_model::Key;

constexpr uint64_t kHeader = 64;
constexpr uint64_t kUnit = 64;

inline uint64_t round_up(uint64_t n) { return (n + kUnit - 1) / kUnit * kUnit; }

// One chunk cut as a fresh pass would cut it from d[0..n), filler bytes
// following the last fed byte (`last_before` when n is 0) once d has ended.
struct OneCut {
  Key key;
  uint32_t full;
  bool has_filler;
  Bytes bytes;
};

// Filler continues as last byte + 1, + 2, ... (a client's file), or is zeros
// (where the rebuild makes a torn last chunk end, and the store steps over it).
inline OneCut cut_one(const uint8_t* d, size_t n, uint8_t last_before, bool zero_fill = false) {
  uint8_t window[12] = {0};
  uint8_t block[64] = {0};
  OneCut c;
  c.has_filler = false;
  uint8_t last = last_before;
  for (size_t i = 0;; i++) {
    uint8_t x;
    if (i < n) {
      x = d[i];
    } else {
      x = zero_fill ? 0 : uint8_t(last + 1);
      c.has_filler = true;
    }
    last = x;
    memmove(window, window + 1, 11);
    window[11] = x;
    uint32_t value = chunk_model::kCrc.of(window, 12);
    if (block[63] == 63) chunk_model::model_compress(block);
    block[block[63]] ^= x;
    block[63]++;
    c.bytes.push_back(x);
    uint32_t len = uint32_t(c.bytes.size());
    if (len >= 100 && (value < 27356479u || len >= 65535)) {
      chunk_model::model_compress(block);
      memcpy(c.key.data(), block, 14);
      c.key[14] = uint8_t(len);
      c.key[15] = uint8_t(len >> 8);
      c.full = len;
      return c;
    }
  }
}

struct Store {
  Bytes file;                       // the store file's bytes
  std::map<Key, uint64_t> index;    // key -> ChunkOffset, nothing dropped
  std::vector<Key> final_keys;      // keys of filler-completed rebuild chunks
  // A store ending in a torn chunk: where the first new chunk goes, past that
  // chunk completed with zeros and padded (0: the store ends cleanly); or
  // ending inside a whole chunk's padding: where that padding ends. The gap
  // is filled with resync_fill: 0, or the chunk's last byte.
  uint64_t resync = 0;
  uint8_t resync_fill = 0;
};

// Cuts the stored bytes again from position 64: every chunk without filler
// is entered with the offset it lies at unless its key is known already
// (the first copy wins); its padding is skipped. The last chunk, completed
// with filler bytes the file does not hold, is not entered.
inline void rebuild(Store* s) {
  if (s->file.empty()) return;
  uint64_t pos = kHeader;
  uint8_t last = 0;
  for (;;) {
    size_t avail = pos < s->file.size() ? size_t(s->file.size() - pos) : 0;
    const uint8_t* at = avail ? s->file.data() + pos : nullptr;
    OneCut c = cut_one(at, avail, last);
    if (c.has_filler) {
      s->final_keys.push_back(c.key);
      if (avail > 0) {
        s->resync = pos + round_up(cut_one(at, avail, last, true).full);
        s->resync_fill = 0;
      }
      return;
    }
    if (!s->index.count(c.key)) s->index[c.key] = pos / kUnit;
    last = c.bytes.back();
    pos += round_up(c.full);
    if (pos > s->file.size()) {
      s->resync = pos;
      s->resync_fill = last;
    }
  }
}

inline void put_record(Bytes* out, const Key& key, uint32_t real, uint64_t offset) {
  out->insert(out->end(), key.begin(), key.begin() + 14);
  out->push_back(uint8_t(real));
  out->push_back(uint8_t(real >> 8));
  for (int i = 0; i < 5; i++) out->push_back(uint8_t(offset >> (8 * i)));
}

// Stores one file's bytes: appends every new chunk (padded with its last
// byte, behind the fill that first brings a store of odd size to a multiple
// of 64) and returns the file's records. A header cut short is finished.
inline Bytes store_file(Store* s, const Bytes& data) {
  if (s->file.size() < kHeader) s->file.resize(kHeader, 0xCC);
  Bytes records;
  for (const chunk_model::Cut& c : chunk_model::model_cut(data)) {
    uint64_t offset;
    auto hit = s->index.find(c.key);
    if (hit != s->index.end()) {
      offset = hit->second;
    } else {
      uint64_t at = round_up(s->file.size());
      if (s->resync > at) at = s->resync;
      uint8_t fill = s->resync != 0 ? s->resync_fill : 0;
      s->resync = 0;
      s->file.resize(size_t(at), fill);
      offset = s->file.size() / kUnit;
      s->index[c.key] = offset;
      s->file.insert(s->file.end(), c.bytes.begin(), c.bytes.end());
      s->file.resize(size_t(round_up(s->file.size())), c.bytes.back());
    }
    put_record(&records, c.key, c.real, offset);
  }
  return records;
}

// What a client's byte stream does when the peer closes right after it.
struct Session {
  Bytes records;     // every record the handler emits, in order
  Bytes content;     // the files' bytes the passes took, one after the other
  bool quit = false;  // the stream holds "quit" where a tag is read
  size_t files = 0;   // "file" commands run
};

inline Session serve(Store* s, const Bytes& stream) {
  Session out;
  size_t pos = 0;
  auto next = [&]() -> int { return pos < stream.size() ? stream[pos++] : -1; };
  for (;;) {
    uint32_t tag = 0;
    for (int i = 0; i < 4; i++) tag = tag * 256u + uint32_t(next());
    if (tag == 0x71756974u) {
      out.quit = true;
      return out;
    }
    if (tag != 0x66696C65u) return out;
    uint64_t length = 0;
    for (int i = 0; i < 8; i++) length = length * 256u + uint64_t(int64_t(next()));
    size_t take = size_t(std::min<uint64_t>(length, stream.size() - pos));
    Bytes data(stream.begin() + long(pos), stream.begin() + long(pos + take));
    pos += take;
    out.content.insert(out.content.end(), data.begin(), data.end());
    Bytes r = store_file(s, data);
    out.records.insert(out.records.end(), r.begin(), r.end());
    out.files++;
  }
}

// Whether the keys' home slots crowd so that the real index, with its
// probe windows of 16 slots, could drop or lose an entry. Keys are grouped
// into clusters of home slots less than 17 apart (around the end of the
// table too); a cluster of at most 16 keys cannot fill a window nor push an
// entry past the 16th slot from its home, since the slots from a home up
// to its entry are all taken, all by keys of the same cluster.
inline bool crowded(const std::vector<Key>& keys, uint32_t slots = 1u << 25) {
  if (keys.size() <= 16) return false;
  std::vector<uint32_t> homes;
  for (const Key& k : keys) {
    uint32_t v = uint32_t(k[0]) | uint32_t(k[1]) << 8 | uint32_t(k[2]) << 16 | uint32_t(k[3]) << 24;
    homes.push_back(v & (slots - 1));
  }
  std::sort(homes.begin(), homes.end());
  // Start the walk after the widest gap, so that a cluster that wraps
  // around the table's end is counted whole.
  size_t n = homes.size(), start = 0;
  uint32_t widest = 0;
  for (size_t i = 0; i < n; i++) {
    uint32_t gap = (homes[(i + 1) % n] - homes[i]) & (slots - 1);
    if (i + 1 == n && gap == 0) gap = slots;
    if (gap >= widest) widest = gap, start = (i + 1) % n;
  }
  size_t run = 1;
  for (size_t k = 1; k < n; k++) {
    uint32_t gap = (homes[(start + k) % n] - homes[(start + k - 1) % n]) & (slots - 1);
    run = gap <= 16 ? run + 1 : 1;
    if (run > 16) return true;
  }
  return false;
}

}  // namespace store_model
