// chunkpack STORE OLDER NEWER PACK
//
// Writes PACK, the pack stream of the record list NEWER against the record
// list OLDER: chunks at or below the largest ChunkOffset that OLDER names are
// referred to by position, all others are copied out of the store file STORE.
// Arguments after the fourth are ignored.
//
// Exit statuses:
//   0  both passes finished; PACK holds the whole pack stream. Nothing is
//      printed.
//   1  fewer than four arguments, or STORE cannot be opened. Nothing is
//      printed and PACK is not touched.
//   2  OLDER or NEWER cannot be opened (PACK is not touched), or PACK cannot
//      be created. Nothing is printed.
//   3  the pack could not be made whole; a message on stderr says why, and
//      PACK holds a cut-off stream that must not be used:
//      - a literal chunk cannot be read whole from STORE (it reaches past
//        the store's end, or the read failed); the message names the record
//        by its index in NEWER (from 0), its ChunkOffset and its length;
//      - a record of NEWER names ChunkOffset 0, the store header;
//      - reading OLDER or NEWER failed (other than at its end);
//      - writing PACK failed or came short.
#include <cinttypes>
#include <cstdio>

#include "common/record.h"
#include "pack/pack_state.h"
#include "pack/run_encoder.h"
#include "platform/plat.h"

namespace {

PackState g_pack;  // static: over a megabyte, and set up once
alignas(64) uint8_t g_in_buf[kFileBlockSize];
alignas(64) uint8_t g_out_buf[kFileBlockSize];

const char* error_text(int err) { return err ? plat_error_text(err) : "the file ended early"; }

void report_fault(const PackFault& f, const char* older, const char* newer, const char* pack) {
  switch (f.kind) {
    case kPackFaultChunkOutsideStore:
      fprintf(stderr,
              "chunkpack: %s: record %" PRIu64 " (ChunkOffset %" PRIu64 ", length %" PRIu32
              ") reaches byte %" PRIu64 ", past the end of the store file (%" PRIu64 " bytes)\n",
              newer, f.record_index, f.offset, f.length, f.offset * kChunkAlign + f.length,
              f.store_size);
      break;
    case kPackFaultChunkRead:
      fprintf(stderr,
              "chunkpack: %s: record %" PRIu64 " (ChunkOffset %" PRIu64 ", length %" PRIu32
              "): reading its chunk from the store file failed: %s\n",
              newer, f.record_index, f.offset, f.length, error_text(f.error));
      break;
    case kPackFaultHeaderOffset:
      fprintf(stderr,
              "chunkpack: %s: record %" PRIu64 " (ChunkOffset 0, length %" PRIu32
              ") names the store header, not a chunk\n",
              newer, f.record_index, f.length);
      break;
    case kPackFaultListRead:
      fprintf(stderr, "chunkpack: reading %s failed: %s\n", f.pass == 0 ? older : newer,
              error_text(f.error));
      break;
    case kPackFaultPackWrite:
      fprintf(stderr, "chunkpack: writing %s failed: %s\n", pack, error_text(f.error));
      break;
    default:
      fprintf(stderr, "chunkpack: failed\n");
      break;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return 1;
  PlatFile store = plat_file_open_read(argv[1]);
  if (store == kPlatNoFile) return 1;
  PlatFile older = plat_file_open_read(argv[2]);
  if (older == kPlatNoFile) return 2;
  PlatFile newer = plat_file_open_read(argv[3]);
  if (newer == kPlatNoFile) return 2;
  // Created (or truncated) only once every input is open.
  PlatFile pack = plat_file_create_write(argv[4]);
  if (pack == kPlatNoFile) return 2;

  int status = pack_run(&g_pack, store, older, newer, pack, g_in_buf, g_out_buf);
  if (status != 0) report_fault(g_pack.fault, argv[2], argv[3], argv[4]);
  // The files stay open until the process ends.
  return status;
}
