#include "common/coroutine.h"

namespace {

void coro_entry(void* arg) {
  Coroutine* co = static_cast<Coroutine*>(arg);
  co->body(co);
  // A finished coroutine is never resumed by a correct driver; should one
  // try, it keeps getting the final code.
  for (;;) coro_yield(co, co->return_code);
}

long whole_block_read(void*, PlatFile f, uint8_t* buf, size_t n) { return plat_file_read(f, buf, n); }

long whole_block_write(void*, PlatFile f, const uint8_t* buf, size_t n) {
  return plat_file_write_all(f, buf, n) == 0 ? long(n) : -1;
}

}  // namespace

FileIo plat_file_io() { return FileIo{whole_block_read, whole_block_write, nullptr}; }

void coro_init(Coroutine* co, CoBody body, int32_t return_code) {
  co->yield_code = 0;
  co->return_code = return_code;
  co->body = body;
}

void coro_resume(Coroutine* co) {
  if (co->yield_code == 0) {
    co_prepare(&co->self, co->stack, sizeof co->stack, coro_entry, co);
  }
  co_switch(&co->driver, &co->self);
}

void coro_yield(Coroutine* co, int32_t code) {
  co->yield_code = code;
  co_switch(&co->self, &co->driver);
}

FileDriverResult file_driver_run(FileCoroutine* fc, CoBody body, PlatFile in,
                                 uint8_t* in_buf, PlatFile out, uint8_t* out_buf,
                                 FileIo io) {
  FileDriverResult result = {false, false, 0};
  coro_init(&fc->co, body, kFcFinished);
  fc->in_cur = fc->in_start = fc->in_end = nullptr;
  fc->end_of_input = 0;
  fc->out_cur = fc->out_start = out_buf;
  fc->out_end = out_buf + kFileBlockSize;
  for (;;) {
    coro_resume(&fc->co);
    int32_t code = fc->co.yield_code;
    if (code == kFcNeedInput) {
      long n = io.read(io.ctx, in, in_buf, kFileBlockSize);
      if (n < 0) {
        if (!result.read_failed && !result.write_failed) result.error = plat_file_last_error();
        result.read_failed = true;
        n = 0;
      }
      if (n == 0) fc->end_of_input = 1;
      fc->in_cur = fc->in_start = in_buf;
      fc->in_end = in_buf + n;
    } else if (code == kFcOutputFull || code == kFcFinished) {
      size_t n = size_t(fc->out_cur - fc->out_start);
      for (const uint8_t* p = fc->out_start; out != kPlatNoFile && n > 0;) {
        long w = io.write(io.ctx, out, p, n);
        if (w <= 0) {
          if (!result.read_failed) result.error = plat_file_last_error();
          result.write_failed = true;
          return result;
        }
        p += w;
        n -= size_t(w);
      }
      fc->out_cur = fc->out_start = out_buf;
      fc->out_end = out_buf + kFileBlockSize;
      if (code == kFcFinished) return result;
    }
  }
}
