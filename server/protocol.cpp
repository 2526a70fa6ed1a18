#include "server/protocol.h"

#include <cinttypes>

#include "common/log.h"
#include "server/connection.h"

namespace {

// Waits until a byte has arrived or the peer has closed; -1 once the input
// has ended and every received byte has been read.
__attribute__((noinline)) int next_byte_slow(Connection* c) {
  for (;;) {
    if (c->in_cur < c->in_end) return *c->in_cur++;
    if (c->closed) return -1;
    // Resumed once input is buffered or the peer has closed.
    coro_yield(&c->co, kCoWaitInput);
  }
}

inline int next_byte(Connection* c) {
  if (c->in_cur < c->in_end) return *c->in_cur++;
  return next_byte_slow(c);
}

}  // namespace

void client_handler(Connection* c) {
  log_line("start handler: %i\n", int(c->socket));
  for (;;) {
    // A missing byte (-1) folds into the value (common/command.h).
    uint32_t tag = 0;
    for (size_t i = 0; i < kTagSize; i++) tag = command_tag_add(tag, next_byte(c));
    log_line("c=%08X file:%08X quit:%08X\n", tag, kTagFile, kTagQuit);
    if (tag == kTagFile) {
      uint64_t length = 0;
      for (size_t i = kTagSize; i < kCommandHeaderSize; i++) {
        length = command_length_add(length, next_byte(c));
      }
      log_line("fl=%" PRId64 "\n", int64_t(length));
      run_pass(&c->pass, length);
      // Never resumed: nothing more is sent, and the server exits.
      if (pass_store_failed(&c->pass)) coro_yield(&c->co, kCoStoreFailed);
      log_line("fl done\n");
    } else if (tag == kTagQuit) {
      coro_yield(&c->co, kCoStopServer);  // never resumed: the server stops
    } else {
      log_line("quit handler: %i\n", int(c->socket));
      return;
    }
  }
}
