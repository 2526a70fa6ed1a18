// Fuzz target: chunkpack's two passes (pack_run over real files) on
// arbitrary record lists and store bytes. The pack file, the status and,
// when the pack stops, the record named in the fault must equal those of the
// plain model.
//
// Input: flags (1 byte), older and newer record counts (2 bytes each),
// newer-list repeat (2 bytes), lengths of a cut-off trailing record of each
// list (1 byte each), then the records, then the store's bytes.
// Flags: bit 0 folds every offset into the store (1..units), bit 1 folds
// every length into what the store holds from the record's offset on, bits
// 2 to 4 together repeat the newer records 1 + 2 * repeat times, so that
// lists span several 64 KB blocks and runs reach 65535 records (one input in
// eight: such lists are slow to check).
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "pack/pack_state.h"
#include "pack/run_encoder.h"
#include "tests/pack_model.h"

namespace {

PackState g_pack;
alignas(64) uint8_t g_in_buf[kFileBlockSize];
alignas(64) uint8_t g_out_buf[kFileBlockSize];

void fold_record(uint8_t* r, uint32_t flags, size_t store_size) {
  uint64_t units = store_size / 64;
  uint64_t offset = 0;
  for (int k = 4; k >= 0; k--) offset = offset << 8 | r[16 + k];
  if ((flags & 1) && units > 0) offset = 1 + offset % units;
  uint32_t length = uint32_t(r[14]) | uint32_t(r[15]) << 8;
  if (flags & 2) {
    uint64_t room = offset * 64 < store_size ? store_size - offset * 64 : 0;
    length = uint32_t(length % (room + 1));
  }
  r[14] = uint8_t(length);
  r[15] = uint8_t(length >> 8);
  for (int k = 0; k < 5; k++) r[16 + k] = uint8_t(offset >> (8 * k));
}

fuzz::Bytes make_list(fuzz::Reader* in, uint32_t count, uint32_t tail, uint32_t flags,
                      size_t store_size) {
  fuzz::Bytes list = in->take(size_t(count) * 21);
  list.resize(list.size() / 21 * 21);
  for (size_t i = 0; i < list.size(); i += 21) fold_record(&list[i], flags, store_size);
  fuzz::Bytes cut = in->take(tail % 21);
  list.insert(list.end(), cut.begin(), cut.end());
  return list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in{data, size};
  uint32_t flags = in.u8();
  uint32_t n_older = in.u16() % 512, n_newer = in.u16() % 512;
  uint32_t repeat = in.u16();
  uint32_t older_tail = in.u8(), newer_tail = in.u8();
  // The store comes last in the input but decides how records are folded.
  size_t records_bytes = size_t(n_older + n_newer) * 21 + older_tail % 21 + newer_tail % 21;
  size_t store_size = in.n > records_bytes ? in.n - records_bytes : 0;
  fuzz::Bytes older = make_list(&in, n_older, older_tail, flags, store_size);
  fuzz::Bytes newer = make_list(&in, n_newer, newer_tail, flags, store_size);
  fuzz::Bytes store = in.rest();
  if ((flags & 28) == 28 && !newer.empty()) {
    size_t whole = newer.size() / 21 * 21;
    fuzz::Bytes once(newer.begin(), newer.begin() + long(whole));
    fuzz::Bytes tail(newer.begin() + long(whole), newer.end());
    newer.clear();
    // At most about 140000 records: enough for a run of 65535 and two more
    // besides, and quick to check.
    uint32_t times = 1 + 2 * repeat, most = uint32_t(140000 / (whole / 21 + 1)) + 1;
    if (times > most) times = most;
    for (uint32_t k = 0; k < times; k++) newer.insert(newer.end(), once.begin(), once.end());
    newer.insert(newer.end(), tail.begin(), tail.end());
  }

  static const std::string store_path = fuzz::scratch_path("pack.store");
  static const std::string older_path = fuzz::scratch_path("pack.older");
  static const std::string newer_path = fuzz::scratch_path("pack.newer");
  static const std::string pack_path = fuzz::scratch_path("pack.pack");
  fuzz::write_file(store_path, store);
  fuzz::write_file(older_path, older);
  fuzz::write_file(newer_path, newer);
  PlatFile fs = plat_file_open_read(store_path.c_str());
  PlatFile fo = plat_file_open_read(older_path.c_str());
  PlatFile fn = plat_file_open_read(newer_path.c_str());
  PlatFile fp = plat_file_create_write(pack_path.c_str());
  FUZZ_CHECK(fs != kPlatNoFile && fo != kPlatNoFile && fn != kPlatNoFile && fp != kPlatNoFile,
             "cannot open the scratch files");
  int status = pack_run(&g_pack, fs, fo, fn, fp, g_in_buf, g_out_buf);
  (void)plat_file_close(fs);
  (void)plat_file_close(fo);
  (void)plat_file_close(fn);
  (void)plat_file_close(fp);
  fuzz::Bytes got = fuzz::read_file(pack_path);

  pack_model::Result want = pack_model::pack(store, older, newer);
  FUZZ_CHECK(got.size() == want.stream.size() && got == want.stream,
             "pack of %zu bytes, the model's has %zu; they differ from byte %zu on", got.size(),
             want.stream.size(), fuzz::first_difference(got, want.stream));
  if (want.stop == pack_model::kPacked) {
    FUZZ_CHECK(status == 0 && g_pack.fault.kind == kPackFaultNone,
               "status %d (fault %d) where the model packs everything", status,
               int(g_pack.fault.kind));
  } else {
    int32_t kind = want.stop == pack_model::kOutsideStore ? kPackFaultChunkOutsideStore
                                                          : kPackFaultHeaderOffset;
    FUZZ_CHECK(status == 3 && g_pack.fault.kind == kind && g_pack.fault.pass == 1 &&
                   g_pack.fault.record_index == want.record,
               "status %d, fault %d at record %llu; the model stops with %d at record %llu",
               status, int(g_pack.fault.kind), (unsigned long long)g_pack.fault.record_index,
               int(kind), (unsigned long long)want.record);
  }
  return 0;
}
