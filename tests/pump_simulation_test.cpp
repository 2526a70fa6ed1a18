// Deterministic simulation of a client connection: the server's own pump,
// client_handler and store pass, driven poll cycle by poll cycle over a
// scripted socket. From a seed, every receive delivers some of what the
// peer has sent (1 byte up to all of it) or would block, every send takes
// some of the waiting output or would block, and the peer sends several
// files, reads its records early, slowly, late or only once it has sent
// everything, waits for each file's records before it sends the next or
// not, and half-closes after its last file or closes once it has every
// record. The connection's buffers are made small as well as full-sized, so
// that both fill often.
//
// The network holds back what a send marked "more follows" until a send
// without the mark, or a push (as a part-filled TCP segment waits).
//
// After every poll cycle: a coroutine waiting for input (code 3) has no
// unread input and a peer that has not closed; one waiting for output room
// (code 4) has output waiting; nothing is held back once no pass runs and
// the output buffer is empty. Once the peer reads, the connection ends
// within a bounded number of cycles, and the peer has exactly the records,
// and the store file exactly the bytes, of the byte-at-a-time model.
//
// Syncing is on in most schedules, with buffers for held records of one
// record up to the server's own size and a clock that moves one millisecond
// per poll cycle. A sync hook stands in for the system's sync and notes the
// store's size at each one; every record the server sends must name a chunk
// that the last sync before the send covered.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "server/connection.h"
#include "server/protocol.h"
#include "server/store.h"
#include "tests/index_table.h"
#include "tests/scratch_dir.h"
#include "tests/sim_random.h"
#include "tests/store_model.h"
#include "tests/sync_watch.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr PlatSocket kSimSocket = 7;

enum Reader { kEager, kSlow, kLate, kAfterSending };
const char* const kReaderNames[] = {"eager", "slow", "late", "after-sending"};

// The group commit's clock in simulations: one millisecond per poll cycle.
uint64_t g_sim_ms = 0;
uint64_t sim_clock() { return g_sim_ms; }

// The peer and the network between it and the server.
struct SimPeer {
  SimRandom rng{0};
  Bytes stream;                  // all the peer sends
  std::vector<size_t> file_end;  // stream position after each file
  std::vector<size_t> reply_after;  // reply bytes due once each file is served
  size_t reply_total = 0;
  // Sending: `pushed` bytes are in flight towards the server (at most
  // `flight_room` at a time), `received` of them taken by its receives.
  size_t pushed = 0, received = 0, flight_room = 0, push_max = 0;
  bool half_close = false;   // shuts its sending side right after its last byte
  bool waits_for_records = false;  // sends a file only once the earlier ones are answered
  bool fin = false;          // its sending side is shut
  // Reading: the server's sends go into `pipe` (at most pipe_room bytes),
  // the peer reads them from there into `reply`.
  Reader reader = kEager;
  size_t late_cycles = 0, slow_every = 1, read_max = 0;
  Bytes pipe;
  Bytes held;  // sent with "more follows", not yet in the pipe
  Bytes reply;
  bool reading = false;
  size_t recv_max = 0, send_max = 0, pipe_room = 0;
  size_t block_odds = 0;  // a receive or send would block 1 in block_odds
  // Every byte the server sent, and the first record that left before the
  // sync covering its chunk (with syncing on).
  const SyncWatch* watch = nullptr;
  Bytes sent;
  std::string early;

  // What the peer does before each poll cycle.
  void step(size_t cycle) {
    size_t files_answered = 0;
    while (files_answered < reply_after.size() && reply.size() >= reply_after[files_answered]) {
      files_answered++;
    }
    size_t allowed = stream.size();
    if (waits_for_records && files_answered < file_end.size()) allowed = file_end[files_answered];
    size_t in_flight = pushed - received;
    if (pushed < allowed && in_flight < flight_room) {
      size_t k = rng.between(1, push_max);
      k = std::min({k, allowed - pushed, flight_room - in_flight});
      pushed += k;
    }
    if (!fin && pushed == stream.size() && (half_close || reply.size() == reply_total)) fin = true;
    if (!reading) {
      reading = reader == kEager || reader == kSlow || (reader == kLate && cycle >= late_cycles) ||
                (reader == kAfterSending && pushed == stream.size() && (fin || !half_close));
    }
    if (reading && !pipe.empty() && cycle % slow_every == 0 && !rng.one_in(block_odds)) {
      size_t k = std::min(pipe.size(), rng.between(1, read_max));
      reply.insert(reply.end(), pipe.begin(), pipe.begin() + long(k));
      pipe.erase(pipe.begin(), pipe.begin() + long(k));
    }
  }

  static long recv(void* ctx, PlatSocket, uint8_t* buf, size_t n) {
    SimPeer* p = static_cast<SimPeer*>(ctx);
    size_t in_flight = p->pushed - p->received;
    if (in_flight == 0) return p->fin ? 0 : kSockWouldBlock;
    if (p->rng.one_in(p->block_odds)) return kSockWouldBlock;
    size_t k = std::min({n, in_flight, p->rng.between(1, p->recv_max)});
    memcpy(buf, p->stream.data() + p->received, k);
    p->received += k;
    return long(k);
  }

  static void push(void* ctx, PlatSocket) {
    SimPeer* p = static_cast<SimPeer*>(ctx);
    p->pipe.insert(p->pipe.end(), p->held.begin(), p->held.end());
    p->held.clear();
  }

  static long send(void* ctx, PlatSocket s, const uint8_t* buf, size_t n, bool more) {
    SimPeer* p = static_cast<SimPeer*>(ctx);
    if (!more) push(ctx, s);  // even when nothing more fits, what was held goes
    size_t room = p->pipe_room - std::min(p->pipe_room, p->pipe.size() + p->held.size());
    if (room == 0 || p->rng.one_in(p->block_odds)) return kSockWouldBlock;
    size_t k = std::min({n, room, p->rng.between(1, p->send_max)});
    p->held.insert(p->held.end(), buf, buf + k);
    if (!more) push(ctx, s);
    size_t whole = p->sent.size() / kChunkRecordSize;
    p->sent.insert(p->sent.end(), buf, buf + k);
    for (; p->watch && (whole + 1) * kChunkRecordSize <= p->sent.size(); whole++) {
      ChunkRecord r = decode_chunk_record(p->sent.data() + whole * kChunkRecordSize);
      if (!p->watch->covers(r) && p->early.empty()) {
        uint64_t chunk_end = SyncWatch::chunk_end(r);
        p->early = "record " + std::to_string(whole) + " names bytes up to " +
                   std::to_string(chunk_end) + " but the last sync (" +
                   std::to_string(p->watch->syncs) + " so far) covered " +
                   std::to_string(p->watch->synced_size);
      }
    }
    return long(k);
  }
};

void put_be(Bytes* out, uint64_t v, int bytes) {
  for (int k = bytes - 1; k >= 0; k--) out->push_back(uint8_t(v >> (8 * k)));
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

Connection g_conn;  // large: the coroutine's stack and the pass's buffers
// Schedules in which a poll found a sync still in flight (the pass went on
// meanwhile): each group of seeds must have some.
size_t g_schedules_with_sync_in_flight = 0;

class PumpSimulation : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() { table_ = TestIndexTable::fresh(); }
  static void TearDownTestSuite() {
    TestIndexTable::release();
    table_ = nullptr;
  }

  // Runs one seed's schedule; returns what went wrong, or "" when all held.
  std::string run_seed(uint64_t seed);

  static uint8_t* table_;
  ScratchDir dir_;
};
uint8_t* PumpSimulation::table_ = nullptr;

std::string PumpSimulation::run_seed(uint64_t seed) {
  SimRandom rng(seed);
  SimPeer peer;
  peer.rng = SimRandom(seed * 31 + 7);

  // The files, and what the model answers for each.
  store_model::Store model;
  std::string want_log = "start handler: 7\n";
  Bytes want_reply;
  std::vector<Bytes> files;
  size_t n_files = rng.between(1, 4);
  peer.half_close = rng.one_in(2);
  bool cut_short = peer.half_close && rng.one_in(6);
  for (size_t i = 0; i < n_files; i++) {
    Bytes data;
    switch (rng.below(8)) {
      case 0: break;  // an empty file
      case 1: case 2: data = rng.bytes(rng.between(1, 400)); break;
      case 3:
        if (!files.empty()) {  // an earlier file again: every chunk a hit
          data = files[rng.below(files.size())];
          break;
        }
        [[fallthrough]];
      default: data = rng.bytes(rng.between(400, 6000)); break;
    }
    files.push_back(data);
    uint64_t announced = data.size();
    if (cut_short && i + 1 == n_files) {
      // The peer announces more than it sends, then half-closes.
      announced += rng.between(1, 1000);
    }
    peer.stream.insert(peer.stream.end(), {'f', 'i', 'l', 'e'});
    put_be(&peer.stream, announced, 8);
    peer.stream.insert(peer.stream.end(), data.begin(), data.end());
    peer.file_end.push_back(peer.stream.size());
    Bytes r = store_model::store_file(&model, data);
    want_reply.insert(want_reply.end(), r.begin(), r.end());
    peer.reply_after.push_back(want_reply.size());
    char line[64];
    snprintf(line, sizeof line, "fl=%" PRId64 "\n", int64_t(announced));
    want_log += std::string("c=66696C65 file:66696C65 quit:71756974\n") + line + "fl done\n";
  }
  want_log += "c=FEFEFEFF file:66696C65 quit:71756974\nquit handler: 7\n";
  peer.reply_total = want_reply.size();

  // The peer's and the network's ways.
  peer.push_max = rng.pick<size_t>({1, 50, 3000, 100000});
  peer.flight_room = rng.pick<size_t>({1, 100, 4096, 1 << 20});
  peer.recv_max = rng.pick<size_t>({1, 7, 300, 5000, 1 << 20});
  peer.send_max = rng.pick<size_t>({1, 9, 300, 5000, 1 << 20});
  peer.read_max = rng.pick<size_t>({1, 21, 500, 1 << 20});
  peer.block_odds = rng.pick<size_t>({0, 2, 8});
  peer.reader = Reader(rng.below(4));
  peer.waits_for_records = peer.reader != kAfterSending && rng.one_in(3);
  peer.late_cycles = rng.below(3000);
  peer.slow_every = peer.reader == kSlow ? rng.between(2, 20) : 1;
  peer.pipe_room = rng.pick<size_t>({1, 50, 4096, 100000});
  // A peer that reads only once it has sent everything gets that far only
  // while the network holds all its records (with less, client and server
  // would wait for each other for ever, whatever the server did).
  if (peer.reader == kAfterSending) peer.pipe_room = peer.reply_total + rng.below(100);
  size_t in_size = rng.pick<size_t>({1, 3, 64, 700, 4096, kConnBufferSize});
  size_t out_size = rng.pick<size_t>({1, 21, 22, 43, 200, 4096, kConnBufferSize});
  bool syncing = !rng.one_in(8);
  size_t held_size = rng.pick<size_t>({21, 22, 64, 500, 4096, kHeldRecordsBytes});
  // Syncs that stay in flight for some poll cycles while the pass goes on,
  // or that complete at once.
  bool in_flight = syncing && rng.one_in(2);
  size_t sync_delay = rng.pick<size_t>({0, 1, 3, 40});

  char what[256];
  snprintf(what, sizeof what,
           "seed %" PRIu64 " (%zu files, %zu bytes, %s reader%s%s, buffers in %zu out %zu, %s)",
           seed, n_files, peer.stream.size(), kReaderNames[peer.reader],
           peer.waits_for_records ? ", waits for records" : "",
           peer.half_close ? ", half-closes" : "", in_size, out_size,
           syncing ? ("syncing, held " + std::to_string(held_size) +
                      (in_flight ? ", syncs in flight for " + std::to_string(sync_delay) + " polls"
                                 : std::string())).c_str()
                   : "no sync");

  // A fresh store file and the connection, as an accept leaves it.
  std::string store_path = dir_.file("store");
  PlatFile w = plat_file_create_write(store_path.c_str());
  if (w == kPlatNoFile) return "cannot create the store file";
  (void)plat_file_close(w);
  PlatFile store = plat_file_open_always_rw(store_path.c_str());
  if (store == kPlatNoFile) return "cannot open the store file";
  Connection* c = &g_conn;
  connection_prepare_pass(c, store, table_);
  connection_start_client(c, kSimSocket, SocketIo{SimPeer::recv, SimPeer::send, SimPeer::push, &peer},
                          client_handler);
  c->in_limit = c->in_start + in_size;
  c->out_end = c->out_start + out_size;
  SyncWatch watch;
  plat_set_file_sync_hook(SyncWatch::sync, &watch);
  watch.delay = sync_delay;
  if (in_flight) plat_set_file_sync_start_hook(SyncWatch::start_hook, SyncWatch::poll_hook, &watch);
  if (syncing) {
    group_commit_attach(&c->pass.commit, group_commit_static_buffer(), held_size);
    c->pass.commit.clock = sim_clock;
    if (!store_file_start(&c->pass.store, false)) return "cannot start syncing";
    peer.watch = &watch;
  }
  ConnectionTable table = {{nullptr, c}, 2};

  ::testing::internal::CaptureStdout();
  std::string failure;
  size_t cycle = 0, read_from = 0;
  bool was_reading = false;
  const size_t bound = 2000 + 16 * (peer.stream.size() + peer.reply_total);
  for (;; cycle++) {
    g_sim_ms = cycle;
    peer.step(cycle);
    if (peer.reading && !was_reading) read_from = cycle;
    was_reading = peer.reading;
    int keep = pump(&table, c);
    int32_t code = c->co.yield_code;
    size_t unread = size_t(c->in_end - c->in_cur);
    size_t waiting = size_t(c->out_cur - c->out_start);
    char msg[256] = "";
    if (!peer.early.empty()) {
      snprintf(msg, sizeof msg, "sent too early: %s", peer.early.c_str());
    } else if (code == kCoWaitInput && unread > 0) {
      snprintf(msg, sizeof msg, "waits for input with %zu unread bytes buffered", unread);
    } else if (code == kCoWaitInput && c->closed) {
      snprintf(msg, sizeof msg, "waits for input after the peer closed");
    } else if (code == kCoWaitOutput && waiting == 0) {
      snprintf(msg, sizeof msg, "waits for output room with the output buffer empty");
    } else if (!c->pass.active && waiting == 0 && !peer.held.empty()) {
      snprintf(msg, sizeof msg, "%zu sent bytes held back with no pass running", peer.held.size());
    } else if (was_reading && cycle - read_from > bound) {
      snprintf(msg, sizeof msg,
               "no end %zu cycles after the peer began reading: yield code %d, %zu unread, "
               "%zu waiting, %zu of %zu bytes received",
               bound, int(code), unread, waiting, peer.received, peer.stream.size());
    }
    if (msg[0]) {
      failure = std::string(what) + ", cycle " + std::to_string(cycle) + ": " + msg;
      break;
    }
    if (!keep) break;
  }
  std::string log = ::testing::internal::GetCapturedStdout();
  plat_set_file_sync_hook(nullptr, nullptr);
  plat_set_file_sync_start_hook(nullptr, nullptr, nullptr);
  (void)plat_file_close(store);
  // A schedule that stored something synced it before the records left.
  if (watch.started_in_flight > 0) g_schedules_with_sync_in_flight++;
  if (failure.empty() && syncing && model.file.size() > 0 && watch.syncs == 0) {
    failure = std::string(what) + ": records left without a sync";
  }

  // The peer reads what the network still holds (a close sends what was
  // held back).
  peer.reply.insert(peer.reply.end(), peer.pipe.begin(), peer.pipe.end());
  peer.reply.insert(peer.reply.end(), peer.held.begin(), peer.held.end());
  std::vector<chunk_model::Key> keys;
  for (const auto& e : model.index) keys.push_back(e.first);
  // Few keys in 2^25 slots: the index keeps every one, as the model's does.
  if (store_model::crowded(keys)) failure = std::string(what) + ": keys crowd a probe window";
  for (const chunk_model::Key& k : keys) {
    uint32_t home = index_home_slot(k.data());
    for (uint32_t i = 0; i < kIndexWindow; i++) {
      memset(index_slot(table_, (home + i) & kIndexSlotMask), 0, kIndexSlotSize);
    }
  }
  if (!failure.empty()) return failure;
  if (c->co.yield_code != kCoDone) {
    return std::string(what) + ": ended with yield code " + std::to_string(c->co.yield_code);
  }
  if (peer.reply != want_reply) {
    return std::string(what) + ": the peer got " + std::to_string(peer.reply.size()) +
           " reply bytes, the model sends " + std::to_string(want_reply.size()) +
           (peer.reply.size() == want_reply.size() ? " (they differ)" : "");
  }
  Bytes stored = read_whole(store_path);
  if (stored != model.file) {
    return std::string(what) + ": the store holds " + std::to_string(stored.size()) +
           " bytes, the model's " + std::to_string(model.file.size()) +
           (stored.size() == model.file.size() ? " (they differ)" : "");
  }
  if (log != want_log) return std::string(what) + ": log\n" + log + "instead of\n" + want_log;
  return "";
}

// 2,400 schedules in 8 groups, so that ctest runs them side by side;
// CHUNK_PUMP_SEED_GROUPS=N runs N groups (more seeds, for a deeper search).
constexpr int kGroups = 8;
constexpr int kSeedsPerGroup = 300;

int seed_groups() {
  const char* v = getenv("CHUNK_PUMP_SEED_GROUPS");
  const int n = v != nullptr ? atoi(v) : 0;
  return n > 0 ? n : kGroups;
}

TEST_P(PumpSimulation, EverySchedulePreservesWakeUpsAndEndsLikeTheModel) {
  g_schedules_with_sync_in_flight = 0;
  for (int i = 0; i < kSeedsPerGroup; i++) {
    uint64_t seed = uint64_t(GetParam()) * kSeedsPerGroup + uint64_t(i) + 1;
    std::string failure = run_seed(seed);
    ASSERT_EQ(failure, "");
  }
  EXPECT_GT(g_schedules_with_sync_in_flight, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, PumpSimulation, ::testing::Range(0, seed_groups()));

}  // namespace
