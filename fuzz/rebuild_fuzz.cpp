// Fuzz target: the rebuild pass (store_rebuild_index, as start-up runs it)
// over an arbitrary store file. Afterwards every chunk the model cuts from
// the file is found with the offset of its first copy, the filler-completed
// last chunk is not in the index, the file is unchanged and its position is
// at its end, where the next chunk will be appended.
//
// Input: the store file's bytes, as they are.
#include <cstdint>

#include "fuzz/fuzz_index.h"
#include "server/store.h"
#include "tests/store_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fuzz::scratch_path("rebuild.store");
  uint8_t* table = fuzz::index_table();
  fuzz::Bytes bytes(data, data + size);
  fuzz::write_file(path, bytes);
  PlatFile f = plat_file_open_always_rw(path.c_str());
  FUZZ_CHECK(f != kPlatNoFile, "cannot open %s", path.c_str());
  StoreTail tail;
  FUZZ_CHECK(store_rebuild_index(f, table, &tail), "the rebuild could not read the store");
  uint64_t position = 0;
  (void)plat_file_seek(f, 0, kSeekCurrent, &position);
  (void)plat_file_close(f);

  store_model::Store model;
  model.file = bytes;
  store_model::rebuild(&model);
  std::vector<chunk_model::Key> keys;
  for (const auto& e : model.index) keys.push_back(e.first);
  for (const chunk_model::Key& k : model.final_keys) keys.push_back(k);
  bool crowded = store_model::crowded(keys);

  FUZZ_CHECK(position == size, "file position %llu after the rebuild of %zu bytes",
             (unsigned long long)position, size);
  FUZZ_CHECK(fuzz::read_file(path) == bytes, "the rebuild changed the store file");
  static IndexContext ctx;
  ctx.table = table;
  if (!crowded) {
    for (const auto& e : model.index) {
      bool found = ChunkIndex::lookup_or_insert(&ctx, e.first.data(), 0);
      FUZZ_CHECK(found && ctx.found_offset == e.second,
                 "chunk at offset %llu: found %d, offset %llu", (unsigned long long)e.second,
                 int(found), (unsigned long long)ctx.found_offset);
    }
  }
  // Whatever the index dropped, it never names a place where the chunk's
  // bytes do not lie: the last chunk's filler is not in the file.
  for (const chunk_model::Key& k : model.final_keys) {
    if (model.index.count(k)) continue;
    FUZZ_CHECK(!ChunkIndex::lookup_or_insert(&ctx, k.data(), 0),
               "the filler-completed last chunk is in the index at offset %llu",
               (unsigned long long)ctx.found_offset);
  }
  fuzz::clear_windows(table, keys, crowded);
  return 0;
}
