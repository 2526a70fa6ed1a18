#include "common/coroutine.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cstdint>
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

// A record restarted while its body was suspended deep in its calls (a new
// client on a connection whose peer vanished): the new body's frames lie
// where the old ones were, and must find the stack usable (under
// AddressSanitizer the old frames' red zones would otherwise remain).
__attribute__((noinline)) void suspend_deep(Coroutine* co, int depth) {
  volatile char frame[700];
  frame[0] = char(depth);
  if (depth > 0) {
    suspend_deep(co, depth - 1);
  } else {
    coro_yield(co, kCoWaitInput);
  }
  frame[1] = frame[0];
}

void deep_body(Coroutine* co) { suspend_deep(co, 8); }

__attribute__((noinline)) int fill_wide(int seed) {
  volatile char wide[6000];
  memset(const_cast<char*>(wide), seed, sizeof wide);
  int sum = 0;
  for (size_t i = 0; i < sizeof wide; i += 500) sum += wide[i];
  return sum;
}

int g_wide_sum = 0;
void wide_body(Coroutine*) { g_wide_sum = fill_wide(3); }

TEST(SocketCoroutine, BodyRestartedOverAnAbandonedOneHasAUsableStack) {
  auto c = std::make_unique<Coroutine>();
  coro_init(c.get(), deep_body, kCoReturned);
  coro_resume(c.get());
  ASSERT_EQ(c->yield_code, kCoWaitInput);
  coro_init(c.get(), wide_body, kCoReturned);  // the deep body is abandoned
  coro_resume(c.get());
  EXPECT_EQ(c->yield_code, kCoReturned);
  EXPECT_EQ(g_wide_sum, 12 * 3);
}

// ---- What a switch must keep -------------------------------------------------

// A body that uses every register it can: many values live at once, integer
// and floating point, then a yield, and again.
volatile uint64_t g_clobber_seed = 0x9E3779B97F4A7C15u;
volatile double g_clobber_sink = 0;

void clobbering_body(Coroutine* co) {
  for (;;) {
    uint64_t v[12];
    double f[12];
    for (int i = 0; i < 12; i++) {
      v[i] = g_clobber_seed * uint64_t(i + 3);
      f[i] = double(v[i] % 977) * 1.5;
    }
    uint64_t acc = 0;
    double facc = 0;
    for (int i = 0; i < 12; i++) {
      acc ^= v[i] * v[(i + 5) % 12];
      facc += f[i] * f[(i + 7) % 12];
    }
    g_clobber_sink = facc + double(acc % 1000);
    coro_yield(co, kCoWaitInput);
  }
}

// The driver's values that live across a resume sit in the registers a
// called routine must preserve: integer ones everywhere, xmm6-xmm15 too on
// Windows x64. Each round mixes them with a call that resumes the body, or
// with a plain call (the reference).
struct Mix {
  uint64_t a, b, c, d, e, f;
  double x, y, z, w;
};

__attribute__((noinline)) void plain_call(Coroutine*) { g_clobber_sink = g_clobber_sink + 1.0; }

// The same code either way (a call through a pointer), so that values kept
// in x87 registers, which no call preserves, are spilled alike.
__attribute__((noinline)) Mix mix_rounds(Coroutine* co, bool resume) {
  void (*const step)(Coroutine*) = resume ? coro_resume : plain_call;
  uint64_t a = g_clobber_seed, b = a * 3, c = b ^ 0x55, d = c + a, e = d * 5, f = e ^ b;
  double x = double(a % 1000) * 0.5, y = x * 1.25, z = y - 3.0, w = z * z;
  for (int i = 0; i < 6; i++) {
    step(co);
    a += uint64_t(i) * f;
    b ^= a;
    c = c * 7 + b;
    d -= c;
    e = (e << 3) | (e >> 61);
    f += d ^ e;
    x = x * 1.0001 + y;
    y = y * 0.5 + z;
    z = z + w * 1e-6;
    w = w - x * 1e-3;
  }
  return Mix{a, b, c, d, e, f, x, y, z, w};
}

TEST(SocketCoroutine, ValuesTheDriverKeepsInRegistersSurviveEverySwitch) {
  auto k = std::make_unique<Coroutine>();
  coro_init(k.get(), clobbering_body, kCoReturned);
  Mix got = mix_rounds(k.get(), true);
  Mix want = mix_rounds(k.get(), false);
  EXPECT_EQ(got.a, want.a);
  EXPECT_EQ(got.b, want.b);
  EXPECT_EQ(got.c, want.c);
  EXPECT_EQ(got.d, want.d);
  EXPECT_EQ(got.e, want.e);
  EXPECT_EQ(got.f, want.f);
  EXPECT_EQ(got.x, want.x);
  EXPECT_EQ(got.y, want.y);
  EXPECT_EQ(got.z, want.z);
  EXPECT_EQ(got.w, want.w);
}

// The rounding mode is part of the floating-point control state that each
// side keeps as its own; and a body's stack is aligned as the calling
// convention promises a called routine (16 bytes).
struct Probe {
  Coroutine co;
  int mode_in_body_after_yield;
  bool aligned;
};

__attribute__((noinline)) bool stack_is_aligned() {
  alignas(16) volatile unsigned char local[16];
  local[0] = 1;
  return (reinterpret_cast<uintptr_t>(&local[0]) & 15) == 0;
}

void rounding_body(Coroutine* co) {
  Probe* p = reinterpret_cast<Probe*>(co);
  p->aligned = stack_is_aligned();
  (void)fesetround(FE_UPWARD);
  coro_yield(co, kCoWaitInput);
  p->mode_in_body_after_yield = fegetround();
  (void)fesetround(FE_TONEAREST);
}

TEST(SocketCoroutine, EachSideKeepsItsRoundingModeAndTheBodysStackIsAligned) {
  auto p = std::make_unique<Probe>();
  coro_init(&p->co, rounding_body, kCoReturned);
  ASSERT_EQ(fegetround(), FE_TONEAREST);
  coro_resume(&p->co);
  EXPECT_EQ(fegetround(), FE_TONEAREST);  // the body's FE_UPWARD stayed with it
  coro_resume(&p->co);
  EXPECT_EQ(p->mode_in_body_after_yield, FE_UPWARD);
  EXPECT_EQ(fegetround(), FE_TONEAREST);
  EXPECT_TRUE(p->aligned);
  EXPECT_EQ(p->co.yield_code, kCoReturned);
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
  FileCoroutine* fc = reinterpret_cast<FileCoroutine*>(co);  // co is its first member
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
