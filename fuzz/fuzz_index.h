// The index table of the fuzz targets that run the server's passes.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "chunk/chunk_index.h"
#include "tests/chunk_model.h"

namespace fuzz {

// The index table, allocated once per process. Each run clears what it
// touched: clear_windows() empties the probe windows of the given keys,
// which, while no 17 home slots crowd together (store_model::crowded), hold
// every slot an insertion of those keys can have written.
inline uint8_t* index_table() {
  static uint8_t* table = static_cast<uint8_t*>(plat_big_alloc_zeroed(kIndexTableBytes));
  FUZZ_CHECK(table != nullptr, "cannot allocate the index table");
  return table;
}

inline void clear_windows(uint8_t* table, const std::vector<chunk_model::Key>& keys,
                          bool crowded) {
  // Crowded keys can push entries further along: clear as far as all of
  // them together could reach.
  uint32_t reach = kIndexWindow + (crowded ? uint32_t(keys.size()) : 0);
  for (const chunk_model::Key& k : keys) {
    uint32_t home = index_home_slot(k.data());
    for (uint32_t i = 0; i < reach; i++) {
      memset(index_slot(table, (home + i) & kIndexSlotMask), 0, kIndexSlotSize);
    }
  }
}

}  // namespace fuzz
