#include "common/coroutine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/scratch_dir.h"

namespace {

// ---- Socket-driven flavour --------------------------------------------------

struct Counter {
  Coroutine co;  // first: the body gets the record through its Coroutine*
  int id;
  std::vector<int>* seen;
};

void counting_body(Coroutine* co) {
  Counter* c = reinterpret_cast<Counter*>(co);
  // Locals live on this coroutine's own stack across every yield.
  int local = c->id * 1000;
  char text[64];
  snprintf(text, sizeof text, "coroutine-%d", c->id);
  for (int i = 0; i < 3; i++) {
    local += 1;
    c->seen->push_back(local);
    coro_yield(co, kCoWaitInput);
    EXPECT_EQ(std::string(text), "coroutine-" + std::to_string(c->id));
  }
}

TEST(SocketCoroutine, TwoSuspendedCoroutinesKeepTheirOwnLocals) {
  std::vector<int> seen;
  auto a = std::make_unique<Counter>();
  auto b = std::make_unique<Counter>();
  a->id = 1;
  b->id = 2;
  a->seen = b->seen = &seen;
  coro_init(&a->co, counting_body, kCoReturned);
  coro_init(&b->co, counting_body, kCoReturned);
  for (int round = 0; round < 3; round++) {
    coro_resume(&a->co);
    EXPECT_EQ(a->co.yield_code, kCoWaitInput);
    coro_resume(&b->co);
    EXPECT_EQ(b->co.yield_code, kCoWaitInput);
  }
  coro_resume(&a->co);
  coro_resume(&b->co);
  EXPECT_EQ(a->co.yield_code, kCoReturned);
  EXPECT_EQ(b->co.yield_code, kCoReturned);
  EXPECT_EQ(seen, (std::vector<int>{1001, 2001, 1002, 2002, 1003, 2003}));
}

void returns_at_once(Coroutine*) {}

TEST(SocketCoroutine, BodyThatNeverYieldsFinishesInFirstResume) {
  auto c = std::make_unique<Coroutine>();
  coro_init(c.get(), returns_at_once, kCoReturned);
  coro_resume(c.get());
  EXPECT_EQ(c->yield_code, kCoReturned);
}

void yields_forever(Coroutine* co) {
  Counter* c = reinterpret_cast<Counter*>(co);
  c->seen->push_back(0);  // marks a fresh start
  for (int i = 1;; i++) {
    c->seen->push_back(i);
    coro_yield(co, kCoWaitInput);
  }
}

TEST(SocketCoroutine, ReusedRecordStartsAfresh) {
  std::vector<int> seen;
  auto c = std::make_unique<Counter>();
  c->seen = &seen;
  coro_init(&c->co, yields_forever, kCoReturned);
  coro_resume(&c->co);
  coro_resume(&c->co);
  // Abandon the suspended body, as an accept does when it reuses the record.
  c->co.yield_code = kCoNotStarted;
  coro_resume(&c->co);
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 0, 1}));
}

// ---- File-driven flavour ------------------------------------------------------

struct EchoState {
  FileCoroutine fc;
  std::vector<size_t> block_sizes;  // size of every input block the body saw
  int eof_resumes;                  // resumes that found the input ended
};

int next_byte(FileCoroutine* fc) {
  while (fc->in_cur == fc->in_end) {
    if (fc->end_of_input) return -1;
    coro_yield(&fc->co, kFcNeedInput);
    EchoState* s = reinterpret_cast<EchoState*>(fc);
    if (fc->in_end != fc->in_cur) s->block_sizes.push_back(size_t(fc->in_end - fc->in_cur));
    else s->eof_resumes++;
  }
  return *fc->in_cur++;
}

void put_byte(FileCoroutine* fc, uint8_t b) {
  *fc->out_cur++ = b;
  if (fc->out_cur >= fc->out_end) coro_yield(&fc->co, kFcOutputFull);
}

// Copies its input to its output, then finishes with the final yield 0.
void echo_body(Coroutine* co) {
  FileCoroutine* fc = file_coroutine_of(co);
  for (int b; (b = next_byte(fc)) >= 0;) put_byte(fc, uint8_t(b));
  coro_yield(co, 99);  // an undefined code is resumed at once, no I/O
  coro_yield(co, kFcFinished);
}

class FileDriverTest : public ::testing::Test {
 protected:

  std::string run(const std::string& input, EchoState* st) {
    PlatFile w = plat_file_create_write(in_path_);
    EXPECT_EQ(plat_file_write_all(w, input.data(), input.size()), 0);
    plat_file_close(w);
    PlatFile in = plat_file_open_read(in_path_);
    PlatFile out = plat_file_create_write(out_path_);
    FileDriverResult r = file_driver_run(&st->fc, echo_body, in, in_buf_, out, out_buf_);
    EXPECT_FALSE(r.read_failed);
    EXPECT_FALSE(r.write_failed);
    EXPECT_EQ(st->fc.co.yield_code, kFcFinished);
    plat_file_close(in);
    plat_file_close(out);
    PlatFile back = plat_file_open_read(out_path_);
    std::string got(input.size() + 10, '\0');
    long n = plat_file_read_full(back, got.data(), got.size());
    plat_file_close(back);
    got.resize(size_t(n));
    return got;
  }

  ScratchDir dir_;
  const std::string in_name_ = dir_.file("in");
  const std::string out_name_ = dir_.file("out");
  const char* in_path_ = in_name_.c_str();
  const char* out_path_ = out_name_.c_str();
  static uint8_t in_buf_[kFileBlockSize];
  static uint8_t out_buf_[kFileBlockSize];
};
uint8_t FileDriverTest::in_buf_[kFileBlockSize];
uint8_t FileDriverTest::out_buf_[kFileBlockSize];

TEST_F(FileDriverTest, EmptyInputSetsEndOfInputOnFirstRead) {
  auto st = std::make_unique<EchoState>();
  EXPECT_EQ(run("", st.get()), "");
  EXPECT_TRUE(st->block_sizes.empty());
  EXPECT_EQ(st->eof_resumes, 1);
  EXPECT_EQ(st->fc.end_of_input, 1);
  // The next run on the same record starts with the input not ended.
  EXPECT_EQ(run("abc", st.get()), "abc");
}

TEST_F(FileDriverTest, InputOfExactlyOneBlockIsOneReadThenEnd) {
  auto st = std::make_unique<EchoState>();
  std::string input(kFileBlockSize, 'x');
  for (size_t i = 0; i < input.size(); i++) input[i] = char(i * 7);
  EXPECT_EQ(run(input, st.get()), input);
  EXPECT_EQ(st->block_sizes, (std::vector<size_t>{kFileBlockSize}));
  EXPECT_EQ(st->eof_resumes, 1);
}

TEST_F(FileDriverTest, LongInputComesInFullBlocksAndOutputRoundTrips) {
  auto st = std::make_unique<EchoState>();
  std::string input(3 * kFileBlockSize + 17, '\0');
  for (size_t i = 0; i < input.size(); i++) input[i] = char(i * 13 + i / 256);
  EXPECT_EQ(run(input, st.get()), input);
  EXPECT_EQ(st->block_sizes,
            (std::vector<size_t>{kFileBlockSize, kFileBlockSize, kFileBlockSize, 17}));
}

TEST_F(FileDriverTest, UnreadableInputCountsAsEndAndIsReported) {
  auto st = std::make_unique<EchoState>();
  // A write-only handle cannot be read: the read fails.
  PlatFile in = plat_file_create_write(in_path_);
  PlatFile out = plat_file_create_write(out_path_);
  ASSERT_NE(in, kPlatNoFile);
  ASSERT_NE(out, kPlatNoFile);
  FileDriverResult r = file_driver_run(&st->fc, echo_body, in, in_buf_, out, out_buf_);
  EXPECT_TRUE(r.read_failed);
  EXPECT_FALSE(r.write_failed);
  EXPECT_EQ(st->fc.end_of_input, 1);
  EXPECT_EQ(st->fc.co.yield_code, kFcFinished);
  EXPECT_TRUE(st->block_sizes.empty());
  // The error reported is the one the failed read left.
  EXPECT_NE(r.error, 0);
  uint8_t b;
  EXPECT_LT(plat_file_read(in, &b, 1), 0);
  EXPECT_EQ(r.error, plat_file_last_error());
  EXPECT_STRNE(plat_error_text(r.error), "");
  plat_file_close(in);
  plat_file_close(out);
}

}  // namespace
