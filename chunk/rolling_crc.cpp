// The rolling window CRC: the chunker's tables, and the cut of the scalar
// width, one serial chain through the window value.
#include "chunk/chunker.h"

#include "platform/plat.h"

namespace {

// The window CRC matters from the 89th chunk byte (index 88) on: the first
// tested window, ending at the 100th byte, begins there.
constexpr uint32_t kWindowStartIndex = kMinChunkLength - kWindowLength;  // 88

}  // namespace

void chunker_reset(Chunker* c) {
  c->value = kWindowStartValue;
  c->chunk_length = 0;
  c->last_byte = 0;
}

size_t chunker_cut_rolling(Chunker* c, const uint8_t* p, size_t n, uint8_t* chunk_buf,
                           bool* ended) {
  *ended = false;
  const size_t start = c->chunk_length;
  // A chunk never grows past kMaxChunkLength; reaching it ends the chunk.
  const size_t room = kMaxChunkLength - start;
  const size_t limit = n < room ? n : room;
  if (limit == 0) return 0;

  const uint32_t* const fwd = kWindowForward.data();
  const uint32_t* const rem = kWindowRemoval.data();
  uint32_t v = c->value;
  bool end = false;
  size_t k = 0;  // span index of the next byte; its chunk index is start + k

  if (start <= kWindowStartIndex) {
    // Nothing before chunk index 88 reaches a tested window.
    k = kWindowStartIndex - start;
    if (k >= limit) {
      k = limit;
      goto consumed;
    }
    // The window restarts as 12 virtual zero bytes, so the bytes leaving it
    // up to chunk index 99 are zeros.
    v = kWindowStartValue;
  }
  // Chunk indices 88..99 and the first 12 bytes of the span: the leaving
  // byte is a virtual zero, or lies in the chunk buffer from an earlier span.
  for (; k < limit; k++) {
    size_t j = start + k;
    if (j >= kMinChunkLength && k >= kWindowLength) break;
    uint8_t y = j >= kMinChunkLength ? chunk_buf[j - kWindowLength] : 0;
    v = (v >> 8) ^ fwd[(v ^ p[k]) & 0xFF] ^ rem[y];
    if (j + 1 >= kMinChunkLength && v < kBoundaryThreshold) {
      k++;
      end = true;
      goto consumed;
    }
  }
  // The tight loop: the leaving byte is 12 bytes back in this same span.
  // Two bytes per step. crc is linear (crc[a ^ b] = crc[a] ^ crc[b]) and
  // forward = crc ^ 0xD202EF8D, so forward[(v ^ x) & 0xFF] =
  // crc[v & 0xFF] ^ forward[x], and one byte step becomes
  //   v0 = L(v) ^ q0,  L(v) = (v >> 8) ^ crc[v & 0xFF],
  //   q0 = forward[x0] ^ removal[y0]   (x0 enters, y0 leaves; no v in it).
  // The second byte gives v1 = L(v0) ^ q1, and L is linear too, so
  //   L(v0) = L(L(v)) ^ L(q0),
  //   L(L(v)) = (v >> 16) ^ L(crc[v & 0xFF] ^ ((v >> 8) & 0xFF))
  //           = (v >> 16) ^ crc2[v & 0xFF] ^ crc[(v >> 8) & 0xFF]
  // with crc2[a] = L(crc[a]) (crc[a] advanced by one more zero byte).
  // Merging the two crc[] lookups by linearity:
  //   v1 = (v >> 16) ^ crc2[v & 0xFF] ^ crc[((v >> 8) ^ q0) & 0xFF]
  //        ^ (q0 >> 8) ^ q1.
  // The chain through v is then one table load per two bytes; v0, needed
  // only for the boundary test after the first byte, is computed beside it.
  {
    const uint32_t* const crc = kCrcTable.data();
    const uint32_t* const crc2 = kCrcTable2.data();
    for (; k + 2 <= limit; k += 2) {
      uint32_t q0 = fwd[p[k]] ^ rem[p[k - kWindowLength]];
      uint32_t q1 = fwd[p[k + 1]] ^ rem[p[k + 1 - kWindowLength]];
      uint32_t v0 = (v >> 8) ^ crc[v & 0xFF] ^ q0;
      v = (v >> 16) ^ crc2[v & 0xFF] ^ crc[((v >> 8) ^ q0) & 0xFF] ^ (q0 >> 8) ^ q1;
      if (v0 < kBoundaryThreshold) {
        v = v0;
        k += 1;
        end = true;
        goto consumed;
      }
      if (v < kBoundaryThreshold) {
        k += 2;
        end = true;
        goto consumed;
      }
    }
    if (k < limit) {
      v = (v >> 8) ^ fwd[(v ^ p[k]) & 0xFF] ^ rem[p[k - kWindowLength]];
      k++;
      end = v < kBoundaryThreshold;
    }
  }

consumed:
  if (k == room) end = true;  // the length rule
  plat_copy(chunk_buf + start, p, k);
  c->value = v;
  c->chunk_length = uint32_t(start + k);
  c->last_byte = p[k - 1];
  *ended = end;
  return k;
}

