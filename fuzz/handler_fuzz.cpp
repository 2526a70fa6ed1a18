// Fuzz target: a client's arbitrary byte stream through the server's own
// pump, client_handler, the store pass and the group commit, with the
// socket replaced by a schedule (SocketIo): every receive delivers a piece
// of the stream of an arbitrary size (1 byte included) or would block,
// every send takes an arbitrary number of the waiting bytes or would block,
// and after the last piece the peer has closed. The store is a small
// scratch file, empty or holding arbitrary bytes that the rebuild pass reads
// first, as at start-up; its syncs go to a hook that notes the size they
// covered, and the group commit's clock counts poll cycles.
//
// The records sent and the store file's bytes must equal those of the plain
// model (tests/store_model.h), no record may leave before a sync covers
// its chunk, and the handler must end as the stream says: stopped by
// "quit", or returned, with every record sent. While the keys cannot crowd
// a probe window (store_model::crowded), the index must keep every key, so
// the model's index is an exact map; when they could, every record must
// still restore its chunk's bytes from the store.
//
// Input: mode byte (bits 0-1 receive sizes, 2-3 send sizes: 1 byte, up to
// 16 or 32, up to 4096, or all there is; bit 4 an initial store follows;
// bit 5 syncing off; bit 6 a 700-byte input buffer; bit 7 a 43-byte output
// buffer), 2 bytes of schedule seed, [2 bytes store length, store bytes],
// stream.
#include <cstdint>
#include <cstring>

#include "common/record.h"
#include "fuzz/fuzz_index.h"
#include "server/connection.h"
#include "server/group_commit.h"
#include "server/protocol.h"
#include "server/store.h"
#include "tests/store_model.h"
#include "tests/sync_watch.h"

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

// The scheduled socket: the client's side of the connection.
struct Peer {
  Schedule* sched;
  const fuzz::Bytes* stream;
  size_t fed = 0;
  fuzz::Bytes reply;
  const SyncWatch* watch = nullptr;  // null: syncing off
  bool take_all = false;  // after "quit": every waiting byte counts as sent

  static long recv(void* ctx, PlatSocket, uint8_t* buf, size_t n) {
    Peer* p = static_cast<Peer*>(ctx);
    if (p->fed == p->stream->size()) return 0;  // the peer has closed
    size_t k = p->sched->size(p->sched->recv_mode, 16, n);
    if (k > p->stream->size() - p->fed) k = p->stream->size() - p->fed;
    if (k == 0) return kSockWouldBlock;
    memcpy(buf, p->stream->data() + p->fed, k);
    p->fed += k;
    return long(k);
  }

  // Bytes sent with "more follows" count as sent at once: what the server
  // hands over is what the durability check is about.
  static void push(void*, PlatSocket) {}

  static long send(void* ctx, PlatSocket, const uint8_t* buf, size_t n, bool) {
    Peer* p = static_cast<Peer*>(ctx);
    size_t k = p->take_all ? n : p->sched->size(p->sched->send_mode, 32, n);
    if (k == 0) return kSockWouldBlock;
    size_t whole = p->reply.size() / kChunkRecordSize;
    p->reply.insert(p->reply.end(), buf, buf + k);
    for (; p->watch && (whole + 1) * kChunkRecordSize <= p->reply.size(); whole++) {
      ChunkRecord r = decode_chunk_record(p->reply.data() + whole * kChunkRecordSize);
      FUZZ_CHECK(p->watch->covers(r),
                 "record %zu left before a sync covered its chunk (bytes up to %llu, synced "
                 "%llu after %zu syncs)", whole, (unsigned long long)SyncWatch::chunk_end(r),
                 (unsigned long long)p->watch->synced_size, p->watch->syncs);
    }
    return long(k);
  }
};

uint64_t g_cycle = 0;
uint64_t cycle_clock() { return g_cycle; }

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
  Peer peer;
  peer.sched = &sched;
  peer.stream = &stream;
  connection_start_client(c, 7, SocketIo{Peer::recv, Peer::send, Peer::push, &peer}, client_handler);
  if (mode & 64) c->in_limit = c->in_start + 700;
  if (mode & 128) c->out_end = c->out_start + 43;
  SyncWatch watch;
  plat_set_file_sync_hook(SyncWatch::sync, &watch);
  const bool syncing = (mode & 32) == 0;
  if (syncing) {
    static const size_t kHeldSizes[] = {21, 64, 4096, kHeldRecordsBytes};
    group_commit_attach(&c->pass.commit, group_commit_static_buffer(),
                        kHeldSizes[sched.next() % 4]);
    c->pass.commit.clock = cycle_clock;
    // Half the schedules keep each sync in flight for some polls while the
    // pass goes on.
    static const size_t kDelays[] = {0, 1, 2, 5, 17, 60};
    const size_t pick = sched.next() % 12;
    if (pick < 6) {
      watch.delay = kDelays[pick];
      plat_set_file_sync_start_hook(SyncWatch::start_hook, SyncWatch::poll_hook, &watch);
    }
    FUZZ_CHECK(store_file_start(&c->pass.store, false), "cannot start syncing");
    peer.watch = &watch;
  }
  ConnectionTable conns = {{nullptr, c}, 2};

  // The server's poll loop, a cycle at a time, until the pump lets the
  // connection go. After "quit" the pump is run on until every record the
  // handler emitted has been moved out and sent, so that all are compared.
  int stalls = 0;
  uint64_t after_quit = 0;
  for (g_cycle = 0;; g_cycle++) {
    const size_t fed_before = peer.fed, reply_before = peer.reply.size();
    const int32_t code_before = c->co.yield_code;
    int keep = pump(&conns, c);
    FUZZ_CHECK(c->in_start <= c->in_cur && c->in_cur <= c->in_end && c->in_end <= c->in_limit,
               "input cursors out of order");
    FUZZ_CHECK(c->out_cur >= c->out_start && c->out_cur <= c->out_end + kOutputReserve,
               "output cursor outside the buffer");
    const int32_t code = c->co.yield_code;
    FUZZ_CHECK(!(code == kCoWaitInput && (c->in_cur < c->in_end || c->closed)),
               "waits for input with %zu bytes buffered%s", size_t(c->in_end - c->in_cur),
               c->closed ? " after the peer closed" : "");
    FUZZ_CHECK(!(code == kCoWaitOutput && c->out_cur == c->out_start),
               "waits for output room with the output buffer empty");
    FUZZ_CHECK(code != kCoStoreFailed, "the store pass failed on a scratch file");
    if (code == kCoStopServer) {
      peer.take_all = true;
      if (c->out_cur == c->out_start && !group_commit_holds(&c->pass.commit)) break;
      FUZZ_CHECK(++after_quit < 100000, "the records after \"quit\" never all left");
      continue;
    }
    if (!keep) break;
    // A cycle that moved nothing and changed nothing: three in a row mean
    // the handler waits for what cannot come (the schedule blocks at most
    // one call in 16, so progress never needs long).
    bool moved = peer.fed != fed_before || peer.reply.size() != reply_before ||
                 code != code_before || c->activity;
    stalls = moved ? 0 : stalls + 1;
    FUZZ_CHECK(stalls < 64, "no progress: yield code %d, %zu of %zu bytes fed, %zu waiting",
               int(code), peer.fed, stream.size(), size_t(c->out_cur - c->out_start));
  }
  plat_set_file_sync_hook(nullptr, nullptr);
  plat_set_file_sync_start_hook(nullptr, nullptr, nullptr);
  const fuzz::Bytes& reply = peer.reply;
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
  FUZZ_CHECK(want.quit || c->co.yield_code == kCoDone, "handler ended with code %d",
             int(c->co.yield_code));
  FUZZ_CHECK(!syncing || file.size() == initial.size() || watch.syncs > 0,
             "chunks were stored and never synced");
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
