// Deterministic simulation of the file-driven passes: the server's rebuild
// pass and chunkpack's run encoder, each under the real driver loop, reading
// and writing real files in pieces of seeded random sizes (a read may
// deliver a single byte; a write may take a single byte, and the loop writes
// the rest).
//
// At every read the body has asked for input: it must have read every byte
// delivered before, and must not ask again once a read has found the end.
// At every write that an output-full yield asks for, the output buffer must
// be full. The results must be those of the plain models: the rebuilt index
// holds every stored chunk at its offset and nothing for the filler-made last
// chunk, and the pack stream and its outcome are the model's.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/record.h"
#include "pack/run_encoder.h"
#include "chunk/chunk_index.h"
#include "server/store.h"
#include "tests/index_table.h"
#include "tests/pack_model.h"
#include "tests/scratch_dir.h"
#include "tests/sim_random.h"
#include "tests/store_model.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Reads and writes in pieces of 1..piece_max bytes, watching the coroutine
// whose driver calls them.
struct PieceIo {
  SimRandom rng{0};
  size_t piece_max = 1;
  const FileCoroutine* fc = nullptr;
  size_t reads = 0, writes = 0;
  std::string fault;  // the first broken wake-up rule

  static long read(void* ctx, PlatFile f, uint8_t* buf, size_t n) {
    PieceIo* io = static_cast<PieceIo*>(ctx);
    io->reads++;
    const FileCoroutine* fc = io->fc;
    if (io->fault.empty() && fc->co.yield_code != kFcNeedInput) {
      io->fault = "read without a yield for input";
    } else if (io->fault.empty() && fc->in_cur != fc->in_end) {
      io->fault = "asked for input with " + std::to_string(fc->in_end - fc->in_cur) +
                  " unread bytes buffered (read " + std::to_string(io->reads) + ")";
    } else if (io->fault.empty() && fc->end_of_input) {
      io->fault = "asked for input after a read found the end";
    }
    return plat_file_read(f, buf, io->rng.between(1, std::min(n, io->piece_max)));
  }

  static long write(void* ctx, PlatFile f, const uint8_t* buf, size_t n) {
    PieceIo* io = static_cast<PieceIo*>(ctx);
    io->writes++;
    const FileCoroutine* fc = io->fc;
    // The first write of a block: a yield for output room comes only with
    // a full buffer.
    if (io->fault.empty() && buf == fc->out_start && fc->co.yield_code == kFcOutputFull &&
        fc->out_cur < fc->out_end) {
      io->fault = "output-full yield with " + std::to_string(n) + " bytes of " +
                  std::to_string(fc->out_end - fc->out_start) + " waiting";
    }
    return plat_file_write(f, buf, io->rng.between(1, std::min(n, io->piece_max)));
  }

  FileIo file_io() { return FileIo{read, write, this}; }
};

void write_whole(const std::string& path, const Bytes& b) {
  PlatFile f = plat_file_create_write(path.c_str());
  ASSERT_NE(f, kPlatNoFile) << path;
  ASSERT_EQ(plat_file_write_all(f, b.data(), b.size()), 0) << path;
  (void)plat_file_close(f);
}

Bytes read_whole(const std::string& path) {
  Bytes out;
  PlatFile f = plat_file_open_read(path.c_str());
  if (f == kPlatNoFile) return out;
  uint8_t buf[65536];
  for (long n; (n = plat_file_read(f, buf, sizeof buf)) > 0;) out.insert(out.end(), buf, buf + n);
  (void)plat_file_close(f);
  return out;
}

// 600 rebuild schedules in 3 groups, so that ctest runs them side by side,
// and 600 pack schedules.
constexpr int kRebuildGroups = 3;
constexpr int kRebuildSeedsPerGroup = 200;
constexpr int kPackSeeds = 600;

class RebuildSimulation : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() { table_ = TestIndexTable::fresh(); }
  static void TearDownTestSuite() {
    TestIndexTable::release();
    table_ = nullptr;
  }
  static uint8_t* table_;
  ScratchDir dir_;
};
uint8_t* RebuildSimulation::table_ = nullptr;

TEST_P(RebuildSimulation, StoresReadInPiecesOfAnySizeRebuildAsTheModel) {
  const std::string path = dir_.file("store");
  for (int n = 1; n <= kRebuildSeedsPerGroup; n++) {
    int s = GetParam() * kRebuildSeedsPerGroup + n;
    SimRandom rng(uint64_t(s) * 7919);
    PieceIo io;
    io.rng = SimRandom(uint64_t(s) * 104729 + 3);
    io.piece_max = rng.pick<size_t>({1, 7, 333, 4096, 65536, 1 << 20});
    io.fc = store_rebuild_coroutine();
    // Bytes to read stay near 300 pieces, so small pieces keep stores small.
    size_t budget = std::min<size_t>(io.piece_max * 300, 60000);

    store_model::Store made;
    for (size_t i = rng.between(1, 5), total = 0; i > 0 && total < budget; i--) {
      Bytes data = rng.bytes(rng.between(0, budget / 2));
      total += data.size();
      (void)store_model::store_file(&made, data);
    }
    Bytes file = made.file;
    if (!file.empty() && rng.one_in(3)) {
      // A torn tail: the store cut anywhere, or stray bytes after it.
      if (rng.one_in(2)) {
        file.resize(store_model::kHeader + rng.below(file.size() - store_model::kHeader + 1));
      } else {
        Bytes stray = rng.bytes(rng.between(1, 300));
        file.insert(file.end(), stray.begin(), stray.end());
      }
    }
    store_model::Store want;
    want.file = file;
    store_model::rebuild(&want);
    SCOPED_TRACE("seed " + std::to_string(s) + ", store of " + std::to_string(file.size()) +
                 " bytes read in pieces of up to " + std::to_string(io.piece_max));

    write_whole(path, file);
    PlatFile f = plat_file_open_always_rw(path.c_str());
    ASSERT_NE(f, kPlatNoFile);
    store_set_progress_interval_ms(uint64_t(1) << 40);  // no progress lines
    StoreTail tail{};
    bool ok = store_rebuild_index(f, table_, &tail, io.file_io());
    store_set_progress_interval_ms(1000);
    uint64_t pos = 0;
    (void)plat_file_seek(f, 0, kSeekCurrent, &pos);
    (void)plat_file_close(f);

    ASSERT_EQ(io.fault, "");
    ASSERT_TRUE(ok);
    EXPECT_EQ(pos, file.size());
    EXPECT_EQ(tail.resync_at, want.resync);
    if (want.resync != 0) {
      EXPECT_EQ(tail.fill, want.resync_fill);
    }
    IndexContext ctx;
    ctx.table = table_;
    for (const auto& e : want.index) {
      ASSERT_TRUE(ChunkIndex::lookup_or_insert(&ctx, e.first.data(), 0));
      ASSERT_EQ(ctx.found_offset, e.second);
    }
    for (const chunk_model::Key& k : want.final_keys) {
      if (!want.index.count(k)) {
        EXPECT_FALSE(ChunkIndex::lookup_or_insert(&ctx, k.data(), 0));
      }
    }
    std::vector<chunk_model::Key> keys;
    for (const auto& e : want.index) keys.push_back(e.first);
    ASSERT_FALSE(store_model::crowded(keys));  // so the index keeps every key
    for (const chunk_model::Key& k : keys) {
      uint32_t home = index_home_slot(k.data());
      for (uint32_t i = 0; i < kIndexWindow; i++) {
        memset(index_slot(table_, (home + i) & kIndexSlotMask), 0, kIndexSlotSize);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RebuildSimulation, ::testing::Range(0, kRebuildGroups));

void put_record(Bytes* list, uint64_t offset, uint32_t length) {
  uint8_t r[kChunkRecordSize];
  memset(r, 0x5A, kRecDigestSize);
  store_le16(r + kRecLength, uint16_t(length));
  store_le40(r + kRecOffset, offset);
  list->insert(list->end(), r, r + sizeof r);
}

// Runs of back-to-back records over the store, now and then one that breaks
// a run, lies past the store's end or names the store header.
Bytes make_list(SimRandom* rng, size_t store_size, size_t runs, bool faults) {
  Bytes list;
  uint64_t units = store_size / 64;
  for (size_t i = 0; i < runs && units > 1; i++) {
    uint64_t offset = rng->between(1, units - 1);
    for (size_t n = rng->between(1, 60); n > 0; n--) {
      uint64_t room = store_size - offset * 64;
      uint32_t length = uint32_t(std::min<uint64_t>(rng->below(3000), room));
      if (faults && rng->one_in(400)) {
        offset = rng->one_in(2) ? 0 : units + 1;
      }
      put_record(&list, offset, length);
      offset += (uint64_t(length) + 63) / 64;
      if (offset >= units) break;
    }
  }
  Bytes tail = rng->bytes(rng->one_in(4) ? rng->below(kChunkRecordSize) : 0);
  list.insert(list.end(), tail.begin(), tail.end());
  return list;
}

TEST(PackSimulation, ListsReadAndPacksWrittenInPiecesOfAnySizeGiveTheModelsStream) {
  ScratchDir dir;
  const std::string store_path = dir.file("store"), older_path = dir.file("older"),
                    newer_path = dir.file("newer"), pack_path = dir.file("pack");
  auto ps = std::make_unique<PackState>();
  std::vector<uint8_t> in_buf(kFileBlockSize), out_buf(kFileBlockSize);
  size_t full_blocks = 0;
  for (int s = 1; s <= kPackSeeds; s++) {
    SimRandom rng(uint64_t(s) * 6151);
    PieceIo io;
    io.rng = SimRandom(uint64_t(s) * 3079 + 11);
    io.piece_max = rng.pick<size_t>({1, 7, 333, 4096, 65536, 1 << 20});
    io.fc = &ps->fc;
    // Pieces of a few bytes get a short stream; large ones one of several
    // output blocks.
    size_t store_size = io.piece_max >= 4096 ? rng.between(64, 400000) : rng.between(64, 4000);
    Bytes store = rng.bytes(store_size);
    std::fill(store.begin(), store.begin() + long(std::min<size_t>(64, store.size())), 0xCC);
    Bytes older = make_list(&rng, store_size, rng.between(0, 8), false);
    Bytes newer = make_list(&rng, store_size, rng.between(0, 40), rng.one_in(3));
    pack_model::Result want = pack_model::pack(store, older, newer);
    SCOPED_TRACE("seed " + std::to_string(s) + ", pieces of up to " +
                 std::to_string(io.piece_max) + ", " + std::to_string(want.stream.size()) +
                 " pack bytes");

    write_whole(store_path, store);
    write_whole(older_path, older);
    write_whole(newer_path, newer);
    PlatFile fs = plat_file_open_read(store_path.c_str());
    PlatFile fo = plat_file_open_read(older_path.c_str());
    PlatFile fn = plat_file_open_read(newer_path.c_str());
    PlatFile fp = plat_file_create_write(pack_path.c_str());
    ASSERT_TRUE(fs != kPlatNoFile && fo != kPlatNoFile && fn != kPlatNoFile && fp != kPlatNoFile);
    int status = pack_run(ps.get(), fs, fo, fn, fp, in_buf.data(), out_buf.data(), io.file_io());
    for (PlatFile f : {fs, fo, fn, fp}) (void)plat_file_close(f);

    ASSERT_EQ(io.fault, "");
    ASSERT_EQ(read_whole(pack_path), want.stream);
    if (want.stop == pack_model::kPacked) {
      ASSERT_EQ(status, 0);
    } else {
      ASSERT_EQ(status, 3);
      ASSERT_EQ(ps->fault.kind, want.stop == pack_model::kOutsideStore
                                    ? kPackFaultChunkOutsideStore
                                    : kPackFaultHeaderOffset);
      ASSERT_EQ(ps->fault.record_index, want.record);
    }
    full_blocks += want.stream.size() / kFileBlockSize;
  }
  // The schedules wrote whole output blocks (output-full yields), not only
  // the final partial one.
  EXPECT_GT(full_blocks, 50u);
}

}  // namespace
