// The store file as the store passes append to it: the header, where chunks
// go past a torn tail, the padding, and a write that fails, which is
// reported once and travels up: the pass ends, the handler gives up its
// connection without sending a record, and the poll loop exits.
#include "server/store_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/command.h"
#include "common/store_format.h"
#include "server/connection.h"
#include "server/protocol.h"
#include "tests/captured_stderr.h"
#include "tests/index_table.h"
#include "tests/scratch_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

class StoreFileTest : public ::testing::Test {
 protected:
  void write(const Bytes& b) {
    PlatFile f = plat_file_create_write(path_.c_str());
    ASSERT_NE(f, kPlatNoFile);
    ASSERT_EQ(plat_file_write_all(f, b.data(), b.size()), 0);
    plat_file_close(f);
  }
  Bytes read() {
    PlatFile f = plat_file_open_read(path_.c_str());
    Bytes b(1 << 20);
    long n = plat_file_read_full(f, b.data(), b.size());
    plat_file_close(f);
    b.resize(n < 0 ? 0 : size_t(n));
    return b;
  }
  // The store file opened as the server opens it, at its end.
  StoreFile* open_rw() {
    PlatFile f = plat_file_open_always_rw(path_.c_str());
    EXPECT_NE(f, kPlatNoFile);
    (void)plat_file_seek(f, 0, kSeekEnd, nullptr);
    store_file_attach(sf_.get(), f);
    return sf_.get();
  }
  void close() { plat_file_close(sf_->file); }

  ScratchDir dir_;
  std::string path_ = dir_.file("store.dump");
  std::unique_ptr<StoreFile> sf_ = std::make_unique<StoreFile>();
};

TEST_F(StoreFileTest, HeaderIsWrittenWhenMissingAndFinishedWhenCutShort) {
  for (size_t have : {size_t(0), size_t(1), size_t(40), size_t(63)}) {
    SCOPED_TRACE(have);
    write(Bytes(have, kStoreHeaderByte));
    StoreFile* sf = open_rw();
    ASSERT_TRUE(store_file_begin(sf));
    EXPECT_EQ(sf->end, kStoreHeaderSize);
    close();
    Bytes got = read();
    EXPECT_TRUE(store_header_ok(got.data(), got.size()));
  }
  // A store that holds more is left as it is.
  Bytes more(300, kStoreHeaderByte);
  more[299] = 7;
  write(more);
  StoreFile* sf = open_rw();
  ASSERT_TRUE(store_file_begin(sf));
  EXPECT_EQ(sf->end, 300u);
  close();
  EXPECT_EQ(read(), more);
}

TEST_F(StoreFileTest, ChunksArePaddedWithTheirLastByteAndGoPastATornTail) {
  Bytes chunk(100);
  for (size_t i = 0; i < chunk.size(); i++) chunk[i] = uint8_t(i + 1);
  struct Case {
    const char* name;
    size_t size;      // of the store before
    StoreTail tail;
    uint64_t at;      // where the chunk must go
    uint8_t gap;      // what fills the store up to there
    size_t kept;      // bytes of the store before that stay (the rest is rewritten)
  };
  const Case cases[] = {
      {"clean end", 128, {0, 0}, 128, 0, 128},
      {"torn chunk, no tail known", 101, {0, 0}, 128, 0, 101},
      {"torn chunk stepped over", 101, {320, 0}, 320, 0, 101},
      {"torn padding completed", 100, {128, 0x5A}, 128, 0x5A, 100},
      // Stray bytes in a torn padding become copies of the last byte too.
      {"torn padding rewritten", 100, {128, 0x5A, 84}, 128, 0x5A, 84},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes before(c.size, 0x11);
    std::fill(before.begin(), before.begin() + kStoreHeaderSize, kStoreHeaderByte);
    write(before);
    StoreFile* sf = open_rw();
    store_file_set_tail(sf, c.tail);
    ASSERT_TRUE(store_file_begin(sf));
    ASSERT_EQ(store_file_next_chunk_at(sf), c.at);
    ASSERT_TRUE(store_file_append_chunk(sf, chunk.data(), uint32_t(chunk.size())));
    // The tail is stepped over once; the next chunk follows this one.
    EXPECT_EQ(store_file_next_chunk_at(sf), c.at + 128);
    ASSERT_TRUE(store_file_append_chunk(sf, chunk.data(), 64));
    ASSERT_TRUE(store_file_flush(sf));
    close();
    Bytes want(before.begin(), before.begin() + c.kept);
    want.resize(c.at, c.gap);
    want.insert(want.end(), chunk.begin(), chunk.end());
    want.resize(c.at + 128, chunk.back());
    want.insert(want.end(), chunk.begin(), chunk.begin() + 64);
    EXPECT_EQ(read(), want);
  }
}

TEST_F(StoreFileTest, AppendsBeyondTheBufferAreWrittenInOrder) {
  write(Bytes(kStoreHeaderSize, kStoreHeaderByte));
  StoreFile* sf = open_rw();
  ASSERT_TRUE(store_file_begin(sf));
  std::mt19937 rng(5);
  Bytes want(kStoreHeaderSize, kStoreHeaderByte);
  Bytes chunk(65535);
  for (int i = 0; i < 12; i++) {  // 768 KiB: three buffers' worth
    for (auto& b : chunk) b = uint8_t(rng());
    ASSERT_TRUE(store_file_append_chunk(sf, chunk.data(), uint32_t(chunk.size())));
    want.insert(want.end(), chunk.begin(), chunk.end());
    want.push_back(chunk.back());
  }
  ASSERT_TRUE(store_file_flush(sf));
  close();
  EXPECT_EQ(read(), want);
}

TEST_F(StoreFileTest, AFailedWriteIsReportedOnceAndNothingMoreIsTaken) {
  write(Bytes(kStoreHeaderSize, kStoreHeaderByte));
  // A handle that cannot write: the first block written fails.
  store_file_attach(sf_.get(), plat_file_open_read(path_.c_str()));
  StoreFile* sf = sf_.get();
  ASSERT_TRUE(store_file_begin(sf));
  Bytes chunk(200, 9);
  EXPECT_TRUE(store_file_append_chunk(sf, chunk.data(), 200));  // only gathered yet
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(store_file_flush(sf));
  EXPECT_FALSE(store_file_append_chunk(sf, chunk.data(), 200));
  EXPECT_FALSE(store_file_flush(sf));
  std::string err = without_sanitizer_notes(::testing::internal::GetCapturedStderr());
  EXPECT_TRUE(sf->failed);
  EXPECT_EQ(err.rfind("chunkstore: cannot append chunks at byte 64 of \"$dump\": ", 0), 0u) << err;
  EXPECT_EQ(err.find("; exiting\n"), err.size() - 10) << err;  // one message only
  close();
  EXPECT_EQ(read().size(), kStoreHeaderSize);
}

// A client that sends its bytes as fast as the server takes them and
// counts what it is sent.
struct StoringPeer {
  Bytes in;
  size_t fed = 0;
  size_t sent = 0;
  static long recv(void* ctx, PlatSocket, uint8_t* buf, size_t n) {
    auto* p = static_cast<StoringPeer*>(ctx);
    size_t k = std::min(n, p->in.size() - p->fed);
    memcpy(buf, p->in.data() + p->fed, k);
    p->fed += k;
    return k > 0 ? long(k) : kSockWouldBlock;
  }
  static long send(void* ctx, PlatSocket, const uint8_t*, size_t n, bool) {
    static_cast<StoringPeer*>(ctx)->sent += n;
    return long(n);
  }
  static void push(void*, PlatSocket) {}
};

// The server's own handler and pump on a store that cannot be written: the
// client is sent nothing (the chunks its records would name are not in the
// file), the connection is given up with the store failure's code, and no
// further log line is written.
TEST_F(StoreFileTest, AFailedStoreEndsTheConnectionWithoutSendingARecord) {
  StoringPeer peer;
  // Enough chunks that records are emitted before the first block is
  // written, so that a send would have had something to send.
  Bytes data(20000);
  std::mt19937 rng(3);
  for (auto& b : data) b = uint8_t(rng());
  peer.in.resize(kCommandHeaderSize);
  peer.in.resize(command_header_encode(peer.in.data(), kTagFile, data.size()));
  peer.in.insert(peer.in.end(), data.begin(), data.end());

  write(Bytes(kStoreHeaderSize, kStoreHeaderByte));
  PlatFile ro = plat_file_open_read(path_.c_str());
  uint8_t* table = TestIndexTable::fresh();
  ASSERT_NE(table, nullptr);
  auto c = std::make_unique<Connection>();
  ConnectionTable t{{c.get(), nullptr}, 1};
  connection_prepare_pass(c.get(), ro, table);
  connection_start_client(c.get(), 5, SocketIo{StoringPeer::recv, StoringPeer::send, StoringPeer::push, &peer}, client_handler);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  int keep = 1;
  for (int cycle = 0; cycle < 100 && keep; cycle++) keep = pump(&t, c.get());
  std::string err = without_sanitizer_notes(::testing::internal::GetCapturedStderr());
  std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("fl=20000\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("fl done"), std::string::npos) << log;
  EXPECT_EQ(keep, 0);
  EXPECT_EQ(c->co.yield_code, kCoStoreFailed);
  EXPECT_TRUE(pass_store_failed(&c->pass));
  EXPECT_EQ(peer.sent, 0u);
  EXPECT_EQ(c->out_cur, c->out_start);
  EXPECT_NE(err.find("cannot append chunks at byte 64"), std::string::npos) << err;
  plat_file_close(ro);
  TestIndexTable::release();
}

// A sync stand-in that succeeds `pass` times, then fails with `err`.
struct FailingSync {
  int pass = 0;
  int err = 5;
  int calls = 0;
  static int sync(void* ctx, PlatFile) {
    auto* f = static_cast<FailingSync*>(ctx);
    return f->calls++ < f->pass ? 0 : f->err;
  }
};

// A failed sync is a failed write: the same message, the connection given
// up with the store failure's code, and not one record sent, although the
// chunks were written (a power loss may still take them).
TEST_F(StoreFileTest, AFailedSyncEndsTheConnectionWithoutSendingARecord) {
  StoringPeer peer;
  Bytes data(20000);
  std::mt19937 rng(4);
  for (auto& b : data) b = uint8_t(rng());
  peer.in.resize(kCommandHeaderSize);
  peer.in.resize(command_header_encode(peer.in.data(), kTagFile, data.size()));
  peer.in.insert(peer.in.end(), data.begin(), data.end());

  write(Bytes(kStoreHeaderSize, kStoreHeaderByte));
  StoreFile* sf = open_rw();
  uint8_t* table = TestIndexTable::fresh();
  ASSERT_NE(table, nullptr);
  auto c = std::make_unique<Connection>();
  ConnectionTable t{{c.get(), nullptr}, 1};
  FailingSync fail;
  fail.pass = 1;  // the start-up sync
  plat_set_file_sync_hook(FailingSync::sync, &fail);
  connection_prepare_pass(c.get(), sf->file, table);
  ASSERT_TRUE(store_file_start(&c->pass.store, false));
  connection_start_client(c.get(), 5, SocketIo{StoringPeer::recv, StoringPeer::send, StoringPeer::push, &peer},
                          client_handler);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  int keep = 1;
  for (int cycle = 0; cycle < 100 && keep; cycle++) keep = pump(&t, c.get());
  std::string err = without_sanitizer_notes(::testing::internal::GetCapturedStderr());
  std::string log = ::testing::internal::GetCapturedStdout();
  plat_set_file_sync_hook(nullptr, nullptr);
  EXPECT_EQ(fail.calls, 2);
  EXPECT_NE(log.find("fl done\n"), std::string::npos) << log;  // the pass ended; the sync came after
  EXPECT_EQ(keep, 0);
  EXPECT_EQ(c->co.yield_code, kCoStoreFailed);
  EXPECT_TRUE(pass_store_failed(&c->pass));
  EXPECT_EQ(peer.sent, 0u);
  EXPECT_EQ(c->out_cur, c->out_start);
  EXPECT_EQ(err.rfind("chunkstore: cannot append chunks at byte 64 of \"$dump\": ", 0), 0u) << err;
  EXPECT_EQ(err.find("; exiting\n"), err.size() - 10) << err;  // one message only
  close();
  EXPECT_GT(read().size(), data.size());  // written, only the sync failed
  TestIndexTable::release();
}

// With syncs that succeed, the same client gets every record, and only
// after a sync that covered all of its chunks; the start-up sync that
// fails keeps the server from serving.
TEST_F(StoreFileTest, RecordsLeaveOnlyAfterTheSyncThatCoversTheirChunks) {
  StoringPeer peer;
  Bytes data(20000);
  std::mt19937 rng(5);
  for (auto& b : data) b = uint8_t(rng());
  peer.in.resize(kCommandHeaderSize);
  peer.in.resize(command_header_encode(peer.in.data(), kTagFile, data.size()));
  peer.in.insert(peer.in.end(), data.begin(), data.end());

  write(Bytes(kStoreHeaderSize, kStoreHeaderByte));
  StoreFile* sf = open_rw();
  uint8_t* table = TestIndexTable::fresh();
  ASSERT_NE(table, nullptr);
  auto c = std::make_unique<Connection>();
  ConnectionTable t{{c.get(), nullptr}, 1};
  FailingSync ok;
  ok.pass = 1000;
  plat_set_file_sync_hook(FailingSync::sync, &ok);
  connection_prepare_pass(c.get(), sf->file, table);
  ASSERT_TRUE(store_file_start(&c->pass.store, false));
  EXPECT_EQ(ok.calls, 1);
  connection_start_client(c.get(), 5, SocketIo{StoringPeer::recv, StoringPeer::send, StoringPeer::push, &peer},
                          client_handler);
  ::testing::internal::CaptureStdout();
  int cycle = 0;
  for (; cycle < 100 && peer.sent == 0; cycle++) {
    (void)pump(&t, c.get());
    if (peer.sent == 0) {
      EXPECT_EQ(ok.calls, 1) << "cycle " << cycle;  // nothing went out unsynced
    }
  }
  (void)::testing::internal::GetCapturedStdout();
  EXPECT_EQ(ok.calls, 2);  // one sync for the records of the whole file
  EXPECT_EQ(c->pass.store.synced_end, c->pass.store.end);
  EXPECT_GT(peer.sent, 0u);
  EXPECT_EQ(peer.sent % kChunkRecordSize, 0u);

  // A start-up sync that fails: reported, and the caller does not serve.
  FailingSync fails;
  plat_set_file_sync_hook(FailingSync::sync, &fails);
  StoreFile again;
  store_file_attach(&again, sf->file);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(store_file_start(&again, false));
  std::string err = without_sanitizer_notes(::testing::internal::GetCapturedStderr());
  EXPECT_EQ(err.rfind("chunkstore: cannot sync the chunks found at start-up", 0), 0u) << err;
  // Syncing off: no sync asked for, at start or later.
  fails.calls = 0;
  store_file_attach(&again, sf->file);
  EXPECT_TRUE(store_file_start(&again, true));
  EXPECT_TRUE(store_file_sync(&again));
  EXPECT_EQ(fails.calls, 0);
  plat_set_file_sync_hook(nullptr, nullptr);
  close();
  TestIndexTable::release();
}

}  // namespace
