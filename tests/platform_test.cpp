// The platform layer on whichever OS the tests run on (Linux, or Windows
// under Wine): 64-bit file positions, the open dispositions, rename and
// remove, the socket calls a non-blocking listener makes, the big
// allocation and the hot path's copy, and restarting and nesting of context
// switches.
#include "platform/coswitch.h"
#include "platform/plat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/scratch_dir.h"

namespace {

// Files live in a scratch folder of the test's own.
class PlatFileTest : public ::testing::Test {
 protected:
  static std::string read_all(const char* path) {
    PlatFile f = plat_file_open_read(path);
    EXPECT_NE(f, kPlatNoFile);
    std::string s(64, '\0');
    long n = plat_file_read_full(f, s.data(), s.size());
    plat_file_close(f);
    s.resize(n < 0 ? 0 : size_t(n));
    return s;
  }
  static void write_file(const char* path, const std::string& s) {
    PlatFile f = plat_file_create_write(path);
    ASSERT_NE(f, kPlatNoFile);
    EXPECT_EQ(plat_file_write_all(f, s.data(), s.size()), 0);
    plat_file_close(f);
  }
  ScratchDir dir_;
  const std::string a_path_ = dir_.file("a.tmp");
  const std::string b_path_ = dir_.file("b.tmp");
  const char* a_ = a_path_.c_str();
  const char* b_ = b_path_.c_str();
};

TEST_F(PlatFileTest, PositionsBeyondFourGigabytesKeepTheirHighHalf) {
  PlatFile f = plat_file_open_always_rw(a_);
  ASSERT_NE(f, kPlatNoFile);
  // A low half of all ones is also what SetFilePointer returns on failure.
  const uint64_t far = (uint64_t(1) << 32) + 0xFFFFFFFFu;
  uint64_t pos = 0;
  ASSERT_EQ(plat_file_seek(f, int64_t(far), kSeekBegin, &pos), 0);
  EXPECT_EQ(pos, far);
  ASSERT_EQ(plat_file_write(f, "x", 1), 1);  // the file is sparse below
  ASSERT_EQ(plat_file_seek(f, 0, kSeekEnd, &pos), 0);
  EXPECT_EQ(pos, far + 1);
  ASSERT_EQ(plat_file_seek(f, -1, kSeekCurrent, &pos), 0);
  EXPECT_EQ(pos, far);
  char c = 0;
  EXPECT_EQ(plat_file_read(f, &c, 1), 1);
  EXPECT_EQ(c, 'x');
  EXPECT_NE(plat_file_seek(f, -int64_t(far) - 2, kSeekCurrent, &pos), 0);
  plat_file_close(f);
}

TEST_F(PlatFileTest, SyncKeepsWhatWasWrittenAndFailsOnAHandleThatIsNoFile) {
  PlatFile f = plat_file_create_write(a_);
  ASSERT_NE(f, kPlatNoFile);
  ASSERT_EQ(plat_file_write_all(f, "synced", 6), 0);
  EXPECT_EQ(plat_file_sync(f), 0);
  // Still writable after a sync, and a sync with nothing new succeeds.
  ASSERT_EQ(plat_file_write_all(f, "!", 1), 0);
  EXPECT_EQ(plat_file_sync(f), 0);
  EXPECT_EQ(plat_file_sync(f), 0);
  EXPECT_EQ(read_all(a_), "synced!");
  plat_file_close(f);
  EXPECT_NE(plat_file_sync(kPlatNoFile), 0);
  EXPECT_NE(plat_file_last_error(), 0);
}

// The sync hook stands in for the system's sync: it sees every call with
// its file, and an error it returns is the call's failure and the last
// file error. Without it, syncs reach the system again.
TEST_F(PlatFileTest, SyncHookSeesEverySyncAndCanFailIt) {
  struct Seen {
    int calls = 0;
    PlatFile file = kPlatNoFile;
    int answer = 0;
    static int hook(void* ctx, PlatFile f) {
      auto* s = static_cast<Seen*>(ctx);
      s->calls++;
      s->file = f;
      return s->answer;
    }
  } seen;
  PlatFile f = plat_file_create_write(a_);
  ASSERT_NE(f, kPlatNoFile);
  plat_set_file_sync_hook(Seen::hook, &seen);
  EXPECT_EQ(plat_file_sync(f), 0);
  EXPECT_EQ(seen.file, f);
  seen.answer = 5;
  EXPECT_NE(plat_file_sync(f), 0);
  EXPECT_EQ(plat_file_last_error(), 5);
  EXPECT_EQ(seen.calls, 2);
  plat_set_file_sync_hook(nullptr, nullptr);
  EXPECT_NE(plat_file_sync(kPlatNoFile), 0);  // the system again
  EXPECT_EQ(seen.calls, 2);
  // Writeback started early is only a hint: the bytes read back the same.
  ASSERT_EQ(plat_file_write_all(f, "early", 5), 0);
  plat_file_start_writeback(f, 0, 5);
  EXPECT_EQ(plat_file_sync(f), 0);
  EXPECT_EQ(read_all(a_), "early");
  plat_file_close(f);
  // The folder of a file, or of a bare name (the working folder), syncs; a
  // folder that does not exist fails where folders can be synced.
  EXPECT_EQ(plat_folder_sync(a_), 0);
  EXPECT_EQ(plat_folder_sync("bare-name"), 0);
  std::string missing = std::string(a_) + "-no-such-folder/x";
  if (plat_folder_sync(missing.c_str()) == 0) {
    GTEST_SKIP() << "this system keeps renames without a folder sync";
  }
  EXPECT_NE(plat_file_last_error(), 0);
}

TEST_F(PlatFileTest, OpenDispositions) {
  EXPECT_EQ(plat_file_open_read(a_), kPlatNoFile);  // must exist
  EXPECT_NE(plat_file_last_error(), 0);

  PlatFile f = plat_file_open_always_rw(a_);  // created empty
  ASSERT_NE(f, kPlatNoFile);
  EXPECT_EQ(plat_file_write(f, "abc", 3), 3);
  plat_file_close(f);
  f = plat_file_open_always_rw(a_);  // opened, not truncated
  ASSERT_NE(f, kPlatNoFile);
  plat_file_close(f);
  EXPECT_EQ(read_all(a_), "abc");

  EXPECT_EQ(plat_file_create_new(a_), kPlatNoFile);  // exists already
  write_file(a_, "z");                               // truncates
  EXPECT_EQ(read_all(a_), "z");

  // A directory is no store file and no list.
  EXPECT_EQ(plat_file_open_read("."), kPlatNoFile);
}

TEST_F(PlatFileTest, SharedOpenSeesTheWritersAppends) {
  // The server holds its store open read+write while chunkpack reads it.
  PlatFile w = plat_file_open_always_rw(a_);
  ASSERT_NE(w, kPlatNoFile);
  EXPECT_EQ(plat_file_write(w, "12345", 5), 5);
  PlatFile r = plat_file_open_read(a_);
  ASSERT_NE(r, kPlatNoFile);
  char buf[8] = {};
  EXPECT_EQ(plat_file_read_full(r, buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "12345");
  plat_file_close(r);
  plat_file_close(w);
}

TEST_F(PlatFileTest, RenameReplacesTheTargetAndRemoveDeletes) {
  write_file(a_, "new");
  write_file(b_, "old");
  ASSERT_EQ(plat_file_rename(a_, b_), 0);
  EXPECT_EQ(read_all(b_), "new");
  EXPECT_EQ(plat_file_open_read(a_), kPlatNoFile);
  EXPECT_EQ(plat_file_remove(b_), 0);
  EXPECT_NE(plat_file_remove(b_), 0);
  EXPECT_STRNE(plat_error_text(plat_file_last_error()), "");
}

// A file's length as the sender states it: by name, and from the open file
// with its position left at the start, for empty and non-empty files; no
// size for a folder or a missing name.
TEST_F(PlatFileTest, LengthOfAFileByNameAndOpen) {
  for (const std::string& text : {std::string(), std::string("x"), std::string(70000, 'y')}) {
    write_file(a_, text);
    uint64_t by_name = 1, open_length = 1;
    EXPECT_TRUE(plat_path_size(a_, &by_name));
    EXPECT_EQ(by_name, text.size());
    PlatFile f = plat_file_open_read(a_);
    ASSERT_NE(f, kPlatNoFile);
    EXPECT_TRUE(plat_file_length(f, &open_length));
    EXPECT_EQ(open_length, text.size());
    std::string head(4, '\0');
    EXPECT_EQ(plat_file_read_full(f, head.data(), head.size()),
              long(std::min<size_t>(4, text.size())));
    plat_file_close(f);
  }
  uint64_t size = 7;
  EXPECT_FALSE(plat_path_size(dir_.file("").c_str(), &size));
  EXPECT_FALSE(plat_path_size(b_, &size));  // never written
}

// Work on a second thread: started, it runs once, and its join waits for it.
TEST(PlatThread, RunsTheWorkOnceAndJoinWaitsForIt) {
  int runs = 0;
  PlatThread t;
  ASSERT_TRUE(plat_thread_start(&t, [](void* ctx) { ++*static_cast<int*>(ctx); }, &runs));
  plat_thread_join(&t);
  EXPECT_EQ(runs, 1);
}

TEST(PlatNet, NonBlockingListenerWithNothingPendingWouldBlock) {
  ASSERT_TRUE(plat_net_start());
  PlatSocket s = plat_tcp_socket();
  ASSERT_NE(s, kPlatNoSocket);
  EXPECT_EQ(plat_sock_set_nonblocking(s), 0);
  PlatAddr4 any = {0x7F000001, 0};  // loopback, a port the system picks
  ASSERT_EQ(plat_sock_bind(s, any), 0);
  ASSERT_EQ(plat_sock_listen(s, -1), 0);  // -1: as many as the system allows
  PlatAddr4 peer = {0, 0};
  EXPECT_EQ(plat_sock_accept(s, &peer), kPlatNoSocket);
  EXPECT_TRUE(plat_sock_error_is_would_block(plat_sock_last_error()));
  EXPECT_EQ(plat_sock_close(s), 0);
}

TEST(PlatNet, ResolvesAndPrintsLoopback) {
  ASSERT_TRUE(plat_net_start());
  PlatAddr4 a = {0, 1};
  ASSERT_TRUE(plat_resolve4("127.0.0.1", &a));
  EXPECT_EQ(a.ip, 0x7F000001u);
  char text[16];
  plat_addr_text(a.ip, text);
  EXPECT_STREQ(text, "127.0.0.1");
  plat_addr_text(0xFFFFFFFFu, text);
  EXPECT_STREQ(text, "255.255.255.255");
}

TEST(PlatMemory, BigAllocationIsZeroedAndWritable) {
  const size_t n = size_t(64) << 20;
  uint8_t* p = static_cast<uint8_t*>(plat_big_alloc_zeroed(n));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0] | p[n / 2] | p[n - 1], 0);
  p[n - 1] = 7;
  EXPECT_EQ(p[n - 1], 7);
}

// The hot path's copy: exactly n bytes from any alignment, nothing around
// them touched, for lengths from none to a whole largest chunk.
TEST(PlatMemory, CopyMovesExactlyTheBytesAsked) {
  std::vector<uint8_t> src(70000), dst(70100);
  for (size_t i = 0; i < src.size(); i++) src[i] = uint8_t(i * 7 + (i >> 8));
  for (size_t n : {size_t(0), size_t(1), size_t(63), size_t(100), size_t(4097), size_t(65535)}) {
    for (size_t at : {size_t(0), size_t(3), size_t(17)}) {
      std::fill(dst.begin(), dst.end(), uint8_t(0xEE));
      plat_copy(dst.data() + at + 1, src.data() + at, n);
      EXPECT_EQ(memcmp(dst.data() + at + 1, src.data() + at, n), 0) << n << " at " << at;
      EXPECT_EQ(dst[at], 0xEE) << n << " at " << at;
      EXPECT_EQ(dst[at + 1 + n], 0xEE) << n << " at " << at;
    }
  }
}

// ---- Context switches --------------------------------------------------------

struct Ping {
  CoContext driver;
  CoContext self;
  std::vector<int>* trace;
  int id;
  int steps;
};

constexpr size_t kStack = 64 * 1024;

// Records its id and a step count, switching back after every step; never
// returns. A deep local array shows the stack is its own.
void ping_entry(void* arg) {
  Ping* p = static_cast<Ping*>(arg);
  char mark[512];
  memset(mark, p->id, sizeof mark);
  for (p->steps = 0;; p->steps++) {
    p->trace->push_back(p->id * 100 + p->steps);
    co_switch(&p->self, &p->driver);
    EXPECT_EQ(mark[0], char(p->id));
    EXPECT_EQ(mark[511], char(p->id));
  }
}

TEST(CoSwitch, PreparingASuspendedContextAgainStartsItAfresh) {
  std::vector<int> trace;
  auto p = std::make_unique<Ping>();
  auto stack = std::make_unique<uint8_t[]>(kStack);
  p->trace = &trace;
  p->id = 1;
  // Many restarts of the same context, each from a different depth of the
  // previous run: every one begins at step 0.
  for (int run = 0; run < 200; run++) {
    co_prepare(&p->self, stack.get(), kStack, ping_entry, p.get());
    for (int k = 0; k <= run % 3; k++) co_switch(&p->driver, &p->self);
    EXPECT_EQ(p->steps, run % 3);
  }
  EXPECT_EQ(trace[0], 100);
  EXPECT_EQ(trace[1], 100);
  EXPECT_EQ(trace[2], 101);
  EXPECT_EQ(trace.size(), size_t(200 / 3 * 6 + 3));
}

// A coroutine that drives another: switches between two stacks that are
// both not the thread's own.
struct Outer {
  Ping ping;  // first: entry gets the Outer through the Ping
  Ping inner;
};

void outer_entry(void* arg) {
  Outer* o = static_cast<Outer*>(arg);
  o->ping.trace->push_back(-1);
  co_switch(&o->inner.driver, &o->inner.self);
  co_switch(&o->inner.driver, &o->inner.self);
  co_switch(&o->ping.self, &o->ping.driver);
  o->ping.trace->push_back(-2);
  co_switch(&o->inner.driver, &o->inner.self);
  for (;;) co_switch(&o->ping.self, &o->ping.driver);
}

TEST(CoSwitch, ACoroutineCanDriveAnother) {
  std::vector<int> trace;
  auto o = std::make_unique<Outer>();
  auto s1 = std::make_unique<uint8_t[]>(kStack);
  auto s2 = std::make_unique<uint8_t[]>(kStack);
  o->ping.trace = o->inner.trace = &trace;
  o->inner.id = 2;
  co_prepare(&o->ping.self, s1.get(), kStack, outer_entry, o.get());
  co_prepare(&o->inner.self, s2.get(), kStack, ping_entry, &o->inner);
  co_switch(&o->ping.driver, &o->ping.self);
  co_switch(&o->ping.driver, &o->ping.self);
  EXPECT_EQ(trace, (std::vector<int>{-1, 200, 201, -2, 202}));
}

}  // namespace
