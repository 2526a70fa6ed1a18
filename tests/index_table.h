// The server's index table for the tests that run passes: one allocation at
// a time per process (a 32-bit process has room for few of 672 MiB), taken
// by a suite when it starts and given back when it ends.
#pragma once

#include <cstdint>

#include "platform/plat.h"
#include "chunk/chunk_index.h"

class TestIndexTable {
 public:
  // A zeroed table. The one handed out before is given back first: a fresh
  // mapping costs only the pages that are touched, where zeroing the old one
  // would touch all of them.
  static uint8_t* fresh() {
    release();
    table_ = static_cast<uint8_t*>(plat_big_alloc_zeroed(kIndexTableBytes));
    return table_;
  }
  static void release() {
    plat_big_free(table_, kIndexTableBytes);
    table_ = nullptr;
  }

 private:
  static inline uint8_t* table_ = nullptr;
};
