#include "client/segment_layout.h"

#include <memory>

#include "client/store_scan.h"
#include "common/store_format.h"

SegmentLayout segment_layout(const uint8_t* p, uint64_t offset, size_t n) {
  SegmentLayout l;
  static std::unique_ptr<StoreScan> scan(new StoreScan);
  StoreScan* s = scan.get();
  uint64_t at = offset;
  if (offset == 0) {
    l.header_ok = n >= kStoreHeaderSize && store_header_ok(p, kStoreHeaderSize);
    if (!l.header_ok) return l;
    at = kStoreHeaderSize;
  }
  const size_t skip = size_t(at - offset);
  scan_begin(s, at);
  s->cut_only = true;  // the layout alone: a segment's digest vouches for its bytes
  scan_feed(s, p + skip, n - skip);
  scan_end(s);
  l.whole_end = s->whole_end;
  l.chunks = s->chunks;
  l.bad_padding = s->bad_padding;
  if (s->bad_padding > 0) l.first_bad = s->bad_padding_at[0];
  return l;
}
