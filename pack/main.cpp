// chunkpack: writes the pack stream of a newer record list against an older
// one: chunks at or below the largest ChunkOffset that the older list names
// are referred to by position, all others are copied out of the store file.
// Its usage and exit statuses are written once, in kUsage below (what --help
// prints); docs/reference.md is checked against it by
// tests/e2e/test_docs.py. The faults that leave the pack unusable are the
// PackFault kinds that report_fault explains.
//
// PACK goes through the output module (common/output_file.h): a PACK that
// exists is whole, also after a power loss, and PACK is never one of the
// inputs (common/output_check.h).
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/interrupt.h"
#include "common/output_check.h"
#include "common/output_file.h"
#include "common/record.h"
#include "common/usage.h"
#include "pack/pack_state.h"
#include "pack/run_encoder.h"
#include "platform/plat.h"

namespace {

PackState g_pack;  // static: over a megabyte, and set up once
alignas(64) uint8_t g_in_buf[kFileBlockSize];
alignas(64) uint8_t g_out_buf[kFileBlockSize];

const char kUsage[] =
    "usage: chunkpack STORE OLDER NEWER PACK\n"
    "\n"
    "Writes to PACK the pack stream of the record list NEWER against the record\n"
    "list OLDER: runs of references to chunks of the store file STORE that OLDER\n"
    "reaches, and runs of literal chunk bytes copied out of STORE for the rest.\n"
    "Arguments after the fourth are ignored.\n"
    "\n"
    "  -h, --help   this text\n"
    "  --version    the version\n"
    "\n"
    "exit statuses: 0 done; 1 fewer than four arguments, PACK is one of the\n"
    "inputs (however spelled), or STORE cannot be opened; 2 OLDER or NEWER cannot be opened, or PACK cannot be created;\n"
    "3 the pack could not be made whole (stderr says why; PACK is not written);\n"
    "130/143 interrupted (SIGINT/SIGTERM), PACK is not written and its temporary\n"
    "file is removed.\n";

// Statuses 1 and 2: which file, and why.
int open_failed(int status, const char* what, const char* path) {
  fprintf(stderr, "chunkpack: cannot %s %s: %s\n", what, path,
          plat_error_text(plat_file_last_error()));
  return status;
}

// A list whose length is not a whole number of records: the bytes after the
// last whole record are ignored, but the user should know.
void warn_if_cut(PlatFile f, const char* role, const char* path) {
  uint64_t size = 0;
  if (plat_file_seek(f, 0, kSeekEnd, &size) != 0) return;
  (void)plat_file_seek(f, 0, kSeekBegin, nullptr);  // a failure shows as a read fault
  if (size % kChunkRecordSize != 0) {
    fprintf(stderr,
            "chunkpack: warning: the %s %s ends inside a record: its last %u bytes are "
            "ignored\n",
            role, path, unsigned(size % kChunkRecordSize));
  }
}

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

// The pack stream goes to the output module, unbuffered: the driver loop
// hands it whole blocks.
long read_plain(void*, PlatFile f, uint8_t* buf, size_t n) { return plat_file_read(f, buf, n); }

long write_output(void* ctx, PlatFile, const uint8_t* buf, size_t n) {
  OutputFile* o = static_cast<OutputFile*>(ctx);
  output_write(o, buf, n);
  return o->failed ? -1 : long(n);  // the file error still tells why
}

OutputFile g_pack_out;

}  // namespace

int main(int argc, char** argv) {
  // Only the first argument can ask: the others are file names.
  if (argc > 1) usage_answer("chunkpack", kUsage, argv[1]);
  if (argc < 5) {
    fprintf(stderr,
            "chunkpack: four file names are needed (STORE OLDER NEWER PACK), %d given\n"
            "(chunkpack --help shows the usage)\n",
            argc - 1);
    return 1;
  }
  // Before anything is read: PACK must be none of the inputs, and writable.
  const NamedFile inputs[] = {
      {"store file", argv[1]}, {"older list", argv[2]}, {"newer list", argv[3]}};
  switch (output_check("chunkpack", {"pack", argv[4]}, inputs, 3)) {
    case kOutputIsInput: return 1;
    case kOutputNotWritable: return 2;
    case kOutputUsable: break;
  }
  PlatFile store = plat_file_open_read(argv[1]);
  if (store == kPlatNoFile) return open_failed(1, "open the store file", argv[1]);
  PlatFile older = plat_file_open_read(argv[2]);
  if (older == kPlatNoFile) return open_failed(2, "open the older list", argv[2]);
  PlatFile newer = plat_file_open_read(argv[3]);
  if (newer == kPlatNoFile) return open_failed(2, "open the newer list", argv[3]);
  // Created only once every input is open. An interrupt removes the
  // temporary file, once it is this run's.
  interrupt_install("chunkpack");
  OutputFile* out = &g_pack_out;
  if (!output_open(out, argv[4], nullptr, 0)) {
    fprintf(stderr, "chunkpack: cannot create the pack file %s: %s\n", output_target(out),
            plat_error_text(out->error));
    return 2;
  }
  warn_if_cut(older, "older list", argv[2]);
  if (strcmp(argv[2], argv[3]) != 0) warn_if_cut(newer, "newer list", argv[3]);

  int status = pack_run(&g_pack, store, older, newer, out->file, g_in_buf, g_out_buf,
                        FileIo{read_plain, write_output, out});
  if (status != 0) {
    report_fault(g_pack.fault, argv[2], argv[3], argv[4]);
    output_abandon(out);
    return status;
  }
  if (!output_commit(out)) {
    fprintf(stderr, "chunkpack: writing %s failed: %s\n", output_target(out),
            plat_error_text(out->error));
    return 3;
  }
  return 0;
}
