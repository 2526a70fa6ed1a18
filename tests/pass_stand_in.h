// A stand-in for a client Connection, for the tests and benchmarks that run
// the store pass by hand: the pass on a coroutine of its own, with input and
// output buffers in memory that the caller fills and drains between resumes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/coroutine.h"
#include "server/store.h"

// kOutBytes: the output array, which may be longer than the output end the
// caller sets (room for a record begun just below it, or a guard area).
template <size_t kOutBytes>
struct PassStandIn {
  Coroutine co;  // first: the body reaches the record from it
  uint8_t* in_cur;
  uint8_t* in_end;
  int32_t closed;
  uint8_t* out_cur;
  uint8_t* out_end;
  uint64_t length;  // the bytes the pass is to take
  PassContext pass;
  uint8_t out[kOutBytes];

  // Points the pass at this record's buffers in store mode and makes the
  // coroutine ready to start it.
  void prepare(PlatFile store, uint8_t* table) {
    pass_prepare_store_mode(&pass, store, table);
    pass_attach_socket_io(&pass, this);
    coro_init(&co, body, kCoReturned);
  }

  static void body(Coroutine* c) {
    auto* r = reinterpret_cast<PassStandIn*>(c);
    run_pass(&r->pass, r->length);
    // What the server does when the store cannot be written: it exits with
    // this status, and nothing more is sent.
    if (pass_store_failed(&r->pass)) {
      fflush(nullptr);
      std::_Exit(kStoreFailedStatus);
    }
  }
};
