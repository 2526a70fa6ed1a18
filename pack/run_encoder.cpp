#include "pack/run_encoder.h"

#include <cstring>

#include "common/bytes.h"
#include "common/record.h"

namespace {

PackState* pack_state_of(Coroutine* co) { return reinterpret_cast<PackState*>(co); }

// Copies n bytes to the output buffer, yielding 2 each time it fills. The
// test after every span gives the same write blocks as a test after every
// byte: a block is handed over the moment its last byte is in.
// Invariant between calls: out_cur < out_end.
void put_bytes(PackState* ps, const uint8_t* src, size_t n) {
  FileCoroutine* fc = &ps->fc;
  while (n > 0) {
    size_t room = size_t(fc->out_end - fc->out_cur);
    size_t k = n < room ? n : room;
    memcpy(fc->out_cur, src, k);
    fc->out_cur += k;
    src += k;
    n -= k;
    // Resumed once the driver has written the full buffer out.
    if (fc->out_cur >= fc->out_end) coro_yield(&fc->co, kFcOutputFull);
  }
}

void put_run_header(PackState* ps, uint64_t run_offset, uint32_t count) {
  uint8_t h[kRunHeaderSize];
  encode_run_header(h, run_offset, uint16_t(count));
  put_bytes(ps, h, sizeof h);
}

// Returns the next whole record, or null at the end of the list (a trailing
// incomplete record is dropped). A record that lies whole in the input buffer
// is used in place; one split across blocks is gathered in chunk_buf.
const uint8_t* take_record(PackState* ps) {
  FileCoroutine* fc = &ps->fc;
  if (size_t(fc->in_end - fc->in_cur) >= kChunkRecordSize) {
    const uint8_t* r = fc->in_cur;
    fc->in_cur += kChunkRecordSize;
    return r;
  }
  size_t got = 0;
  for (;;) {
    if (fc->in_cur >= fc->in_end) {
      // The driver sets the flag only with a read of 0 bytes.
      if (fc->end_of_input) return nullptr;
      // Resumed once the driver has read the next block, or found the end.
      coro_yield(&fc->co, kFcNeedInput);
      continue;
    }
    size_t avail = size_t(fc->in_end - fc->in_cur);
    size_t k = kChunkRecordSize - got < avail ? kChunkRecordSize - got : avail;
    memcpy(ps->chunk_buf + got, fc->in_cur, k);
    fc->in_cur += k;
    got += k;
    if (got == kChunkRecordSize) return ps->chunk_buf;
  }
}

void set_chunk_fault(PackState* ps, int32_t kind, uint32_t entry, int error) {
  PackFault* f = &ps->fault;
  f->kind = kind;
  f->pass = ps->pass;
  f->record_index = ps->run_first_record + entry;
  f->offset = ps->run_offsets[entry];
  f->length = ps->run_lengths[entry];
  f->store_size = ps->store_size;
  f->error = error;
}

// Writes the current run. Returns false, with ps->fault set, when a literal
// chunk cannot be read whole from the store; the stream then stops before
// the run (chunk past the store's end) or inside it (failed read).
bool flush_run(PackState* ps) {
  if (ps->run_kind == kRunNone) return true;
  if (ps->run_kind == kRunReference) {
    put_run_header(ps, ps->run_offsets[0], ps->run_count);
    return true;
  }
  // Every chunk is checked against the store's length before the header
  // goes out, so a run that reaches past the store is not begun at all.
  for (uint32_t i = 0; i < ps->run_count; i++) {
    if ((ps->run_offsets[i] << kChunkAlignShift) + ps->run_lengths[i] > ps->store_size) {
      set_chunk_fault(ps, kPackFaultChunkOutsideStore, i, 0);
      return false;
    }
  }
  put_run_header(ps, 0, ps->run_count);
  // The run's chunks lie back to back in the store, so its bytes are read in
  // blocks of kStoreReadBlock, each starting at the first chunk the previous
  // block did not hold whole; every chunk's real bytes are copied out of it.
  uint32_t last = ps->run_count - 1;
  uint64_t run_end = (ps->run_offsets[last] << kChunkAlignShift) + ps->run_lengths[last];
  uint64_t held_from = 0, held_to = 0;  // store bytes in store_buf
  for (uint32_t i = 0; i < ps->run_count; i++) {
    uint32_t len = ps->run_lengths[i];
    if (len == 0) continue;
    uint64_t pos = ps->run_offsets[i] << kChunkAlignShift;
    if (pos < held_from || pos + len > held_to) {
      uint64_t want = run_end - pos < kStoreReadBlock ? run_end - pos : kStoreReadBlock;
      if (plat_file_seek(ps->store, int64_t(pos), kSeekBegin, nullptr) != 0) {
        set_chunk_fault(ps, kPackFaultChunkRead, i, plat_file_last_error());
        return false;
      }
      long got = plat_file_read_full(ps->store, ps->store_buf, size_t(want));
      if (got < 0 && want > len) {
        // A failed block: read this chunk alone, so that the fault names
        // the chunk the store cannot give.
        if (plat_file_seek(ps->store, int64_t(pos), kSeekBegin, nullptr) != 0) {
          set_chunk_fault(ps, kPackFaultChunkRead, i, plat_file_last_error());
          return false;
        }
        got = plat_file_read_full(ps->store, ps->store_buf, len);
      }
      if (got < long(len)) {
        set_chunk_fault(ps, kPackFaultChunkRead, i, got < 0 ? plat_file_last_error() : 0);
        return false;
      }
      held_from = pos;
      held_to = pos + uint64_t(got);
    }
    put_bytes(ps, ps->store_buf + (pos - held_from), len);
  }
  return true;
}

}  // namespace

void run_encoder(Coroutine* co) {
  PackState* ps = pack_state_of(co);
  if (ps->pass == 0) ps->largest_older = 0;
  ps->run_kind = kRunNone;
  ps->next_expected = 0;
  ps->run_count = 0;
  ps->records_taken = 0;
  ps->run_first_record = 0;

  bool ok = true;
  while (const uint8_t* rec = take_record(ps)) {
    // Decoded before anything reuses chunk_buf (which may hold the record).
    uint32_t length = load_le16(rec + kRecLength);
    uint64_t offset = load_le40(rec + kRecOffset);
    uint64_t index = ps->records_taken++;
    if (ps->pass == 0) {
      if (offset > ps->largest_older) ps->largest_older = offset;
      continue;
    }
    if (offset == 0) {
      // The store header: as a reference run it would read as a literal run.
      PackFault* f = &ps->fault;
      f->kind = kPackFaultHeaderOffset;
      f->pass = ps->pass;
      f->record_index = index;
      f->offset = 0;
      f->length = length;
      f->store_size = ps->store_size;
      f->error = 0;
      ok = false;
      break;
    }
    int32_t kind = offset <= ps->largest_older ? kRunReference : kRunLiteral;
    if (offset != ps->next_expected || ps->run_count >= kMaxRunCount || kind != ps->run_kind) {
      if (!flush_run(ps)) {
        ok = false;
        break;
      }
      ps->run_count = 0;
      ps->run_kind = kind;
      ps->run_first_record = index;
    }
    ps->run_offsets[ps->run_count] = offset;
    ps->run_lengths[ps->run_count] = length;
    ps->run_count++;
    ps->next_expected = offset + (padded_chunk_size(length) >> kChunkAlignShift);
  }
  if (ok && ps->pass == 1) (void)flush_run(ps);  // a fault is in ps->fault
  coro_yield(co, kFcFinished);  // never resumed: the driver writes the rest and ends
}

int pack_run(PackState* ps, PlatFile store, PlatFile older, PlatFile newer,
             PlatFile pack, uint8_t* in_buf, uint8_t* out_buf, FileIo io) {
  memset(&ps->fault, 0, sizeof ps->fault);
  ps->store = store;
  ps->store_size = 0;

  ps->pass = 0;
  FileDriverResult r = file_driver_run(&ps->fc, run_encoder, older, in_buf, kPlatNoFile, out_buf, io);
  if (r.read_failed) {
    ps->fault.kind = kPackFaultListRead;
    ps->fault.pass = 0;
    ps->fault.error = r.error;
    return 3;
  }

  // Literal chunks are checked against the store's length before they are
  // read. Should the length be unknowable, the reads alone decide.
  if (plat_file_seek(store, 0, kSeekEnd, &ps->store_size) != 0) ps->store_size = UINT64_MAX;
  ps->pass = 1;
  r = file_driver_run(&ps->fc, run_encoder, newer, in_buf, pack, out_buf, io);
  if (r.read_failed) {
    // The encoder took the failed read for the end; that comes first.
    ps->fault.kind = kPackFaultListRead;
    ps->fault.pass = 1;
    ps->fault.error = r.error;
    return 3;
  }
  if (ps->fault.kind != kPackFaultNone) return 3;
  if (r.write_failed) {
    ps->fault.kind = kPackFaultPackWrite;
    ps->fault.pass = 1;
    ps->fault.error = r.error;
    return 3;
  }
  return 0;
}
