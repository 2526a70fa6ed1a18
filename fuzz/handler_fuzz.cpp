// Fuzz target: a client's arbitrary byte stream through client_handler and
// the store pass, on a Connection driven the way the pump drives it, but
// with the socket replaced by a schedule: every receive delivers a piece of
// the stream of an arbitrary size (1 byte included) or nothing (would
// block), every send drains an arbitrary number of waiting bytes or none,
// and after the last piece the peer has closed. The store is a small
// scratch file, empty or holding arbitrary bytes that the rebuild pass reads
// first, as at start-up.
//
// The records sent and the store file's bytes must equal those of the plain
// model (tests/store_model.h), and the handler must end as the stream says:
// stopped by "quit", or returned, with every record sent. While the keys
// cannot crowd a probe window (store_model::crowded), the index must keep
// every key, so the model's index is an exact map; when they could, every
// record must still restore its chunk's bytes from the store.
//
// Input: mode byte (bits 0-1 receive sizes, 2-3 send sizes: 1 byte, up to
// 16 or 32, up to 4096, or all there is; bit 4 an initial store follows),
// 2 bytes of schedule seed, [2 bytes store length, store bytes], stream.
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_index.h"
#include "server/connection.h"
#include "server/protocol.h"
#include "server/store.h"
#include "tests/store_model.h"

namespace {

Connection g_conn;

struct Schedule {
  uint32_t state;
  uint32_t recv_mode, send_mode;
  uint32_t next() {  // xorshift32
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  // A size for a receive or send; 0 means the socket would block.
  size_t size(uint32_t mode, size_t small_max, size_t room) {
    if (next() % 16 == 0) return 0;
    size_t n;
    switch (mode) {
      case 0: n = 1; break;
      case 1: n = 1 + next() % small_max; break;
      case 2: n = 1 + next() % 4096; break;
      default: n = room; break;
    }
    return n < room ? n : room;
  }
};

void connection_body(Coroutine* co) { client_handler(reinterpret_cast<Connection*>(co)); }

// The files' bytes as the records restore them from the store: what must
// hold whatever the index dropped.
fuzz::Bytes restore(const fuzz::Bytes& reply, const fuzz::Bytes& file) {
  FUZZ_CHECK(reply.size() % 21 == 0, "reply of %zu bytes", reply.size());
  fuzz::Bytes out;
  for (size_t i = 0; i < reply.size(); i += 21) {
    const uint8_t* r = reply.data() + i;
    uint64_t offset = 0;
    for (int k = 4; k >= 0; k--) offset = offset << 8 | r[16 + k];
    uint32_t real = uint32_t(r[14]) | uint32_t(r[15]) << 8;
    FUZZ_CHECK(offset > 0 && offset * 64 + real <= file.size(),
               "record %zu names bytes outside the store", i / 21);
    out.insert(out.end(), file.begin() + long(offset * 64), file.begin() + long(offset * 64 + real));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string store_path = fuzz::scratch_path("handler.store");
  static const std::string log_path = fuzz::scratch_path("handler.log");
  uint8_t* table = fuzz::index_table();
  // The handler's log lines go to a scratch file, emptied at every run.
  FUZZ_CHECK(freopen(log_path.c_str(), "w", stdout) != nullptr, "cannot open the log");

  fuzz::Reader in{data, size};
  uint32_t mode = in.u8();
  Schedule sched;
  sched.state = 0x9E3779B9u ^ in.u16();
  sched.recv_mode = mode & 3;
  sched.send_mode = (mode >> 2) & 3;
  fuzz::Bytes initial;
  if (mode & 16) initial = in.take(in.u16());
  fuzz::Bytes stream = in.rest();

  fuzz::write_file(store_path, initial);
  PlatFile store = plat_file_open_always_rw(store_path.c_str());
  FUZZ_CHECK(store != kPlatNoFile, "cannot open %s", store_path.c_str());
  StoreTail tail;
  FUZZ_CHECK(store_rebuild_index(store, table, &tail), "the rebuild could not read the store");

  Connection* c = &g_conn;
  connection_prepare_pass(c, store, table);
  pass_set_tail(&c->pass, tail);
  c->kind = kConnClient;
  c->socket = 7;
  c->handler = client_handler;
  c->child_handler = nullptr;
  connection_reset_buffers(c);
  coro_init(&c->co, connection_body, kCoReturned);

  fuzz::Bytes reply;
  size_t fed = 0;
  int stalls = 0;
  for (;;) {
    // Receive.
    long r = 0;
    size_t room = size_t(c->in_limit - c->in_end);
    if (room > 0) {
      if (fed < stream.size()) {
        size_t k = sched.size(sched.recv_mode, 16, room);
        if (k > stream.size() - fed) k = stream.size() - fed;
        memcpy(c->in_end, stream.data() + fed, k);
        c->in_end += k;
        fed += k;
        r = k > 0 ? long(k) : -1;
      } else {
        c->closed = 1;
      }
    }
    // Resume, under the pump's rule.
    int32_t code = c->co.yield_code;
    bool resumed = false;
    if (code != kCoReturned && code != kCoDone && code != kCoWaitOutput &&
        code != kCoStopServer && (code != kCoWaitInput || r > 0 || c->closed)) {
      coro_resume(&c->co);
      resumed = true;
    }
    FUZZ_CHECK(c->in_start <= c->in_cur && c->in_cur <= c->in_end && c->in_end <= c->in_limit,
               "input cursors out of order");
    FUZZ_CHECK(c->out_cur >= c->out_start && c->out_cur <= c->out_end + kOutputReserve,
               "output cursor outside the buffer");
    // Compact.
    if (c->in_cur > c->in_start) {
      size_t n = size_t(c->in_end - c->in_cur);
      memmove(c->in_start, c->in_cur, n);
      c->in_cur = c->in_start;
      c->in_end = c->in_start + n;
    }
    // Send; after "quit" everything waiting counts as sent, so that every
    // record the handler emitted is compared.
    size_t waiting = size_t(c->out_cur - c->out_start);
    size_t s = 0;
    if (waiting > 0) {
      s = c->co.yield_code == kCoStopServer ? waiting : sched.size(sched.send_mode, 32, waiting);
      reply.insert(reply.end(), c->out_start, c->out_start + s);
      memmove(c->out_start, c->out_start + s, waiting - s);
      c->out_cur = c->out_start + (waiting - s);
      if (s > 0 && c->co.yield_code == kCoWaitOutput) c->co.yield_code = kCoOutputMoved;
    }
    code = c->co.yield_code;
    if (code == kCoStopServer && c->out_cur == c->out_start) break;
    if (code == kCoReturned && c->out_cur == c->out_start) break;
    // A cycle that could move nothing and resumed nothing is a stall; two
    // in a row mean the handler waits for what cannot come.
    bool blocked = (room > 0 && fed < stream.size() && r < 0) || (waiting > 0 && s == 0);
    stalls = (resumed || r > 0 || s > 0 || blocked) ? 0 : stalls + 1;
    FUZZ_CHECK(stalls < 3, "no progress: yield code %d, %zu of %zu bytes fed, %zu waiting",
               int(code), fed, stream.size(), size_t(c->out_cur - c->out_start));
  }
  fuzz::Bytes file = fuzz::read_file(store_path);
  (void)plat_file_close(store);

  store_model::Store model;
  model.file = initial;
  store_model::rebuild(&model);
  store_model::Session want = store_model::serve(&model, stream);
  std::vector<chunk_model::Key> keys;
  for (const auto& e : model.index) keys.push_back(e.first);
  for (const chunk_model::Key& k : model.final_keys) keys.push_back(k);
  bool crowded = store_model::crowded(keys);

  FUZZ_CHECK((c->co.yield_code == kCoStopServer) == want.quit, "handler ended with code %d",
             int(c->co.yield_code));
  if (!crowded) {
    FUZZ_CHECK(reply.size() == want.records.size() && reply == want.records,
               "%zu reply bytes, the model sends %zu; they differ from byte %zu on",
               reply.size(), want.records.size(), fuzz::first_difference(reply, want.records));
    FUZZ_CHECK(file.size() == model.file.size() && file == model.file,
               "store of %zu bytes, the model's has %zu; they differ from byte %zu on",
               file.size(), model.file.size(), fuzz::first_difference(file, model.file));
  }
  FUZZ_CHECK(restore(reply, file) == want.content, "the records do not restore the files");
  fuzz::clear_windows(table, keys, crowded);
  return 0;
}
