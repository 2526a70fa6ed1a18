// The coroutine engine: straight-line byte-stream code runs as a Coroutine
// and calls coro_yield with a code saying why it stops; the driver that called
// coro_resume reads the code, refills or drains buffers and resumes it.
//
// Every Coroutine has a stack of its own inside its record, so any number of
// them can be suspended at once and each keeps its own locals. A yield code
// of 0 makes the next coro_resume start the body afresh, whatever the record
// held before.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/coswitch.h"
#include "platform/plat.h"

// Yield codes of socket-driven coroutines (driven by the server's pump).
enum SocketCoState : int32_t {
  kCoNotStarted = 0,
  kCoWaitInput = 3,    // no unread input byte
  kCoWaitOutput = 4,   // output buffer full
  kCoOutputMoved = 5,  // set by the pump after a send drained a 4
  kCoDone = 6,         // set by the pump: finished, last send attempted
  kCoReturned = 7,     // set by the engine when the body returns
  kCoStopServer = 8,   // "quit"
  kCoStoreFailed = 9,  // the store file cannot be written: the server exits
  kCoWaitHeld = 10,    // records held for a sync fill their buffer
};

// Yield codes of file-driven coroutines (driven by file_driver_run).
enum FileCoState : int32_t {
  kFcFinished = 0,    // 0 before the start, and after the final yield
  kFcNeedInput = 1,
  kFcOutputFull = 2,
};

constexpr size_t kCoStackSize = 256 * 1024;

struct Coroutine;
typedef void (*CoBody)(Coroutine* co);

struct Coroutine {
  int32_t yield_code;  // 0: not started
  // Code the engine yields on the body's behalf when the body returns.
  int32_t return_code;
  CoBody body;
  CoContext driver;  // inside the coro_resume that runs the coroutine
  CoContext self;    // inside the coroutine's last coro_yield
  alignas(16) uint8_t stack[kCoStackSize];
};

// Sets the record up as not started, with the body and the code to yield
// when the body returns (kCoReturned for socket-driven bodies, kFcFinished
// for file-driven ones).
void coro_init(Coroutine* co, CoBody body, int32_t return_code);

// Driver side: runs the coroutine until its next coro_yield. A yield code of 0
// starts the body from the beginning.
void coro_resume(Coroutine* co);

// Coroutine side: stores the code and returns control to the driver. Returns
// when the driver resumes the coroutine.
void coro_yield(Coroutine* co, int32_t code);

// A file-driven coroutine: the engine's record followed by input and output
// buffer fields and an end-of-input flag. The engine's record comes first,
// so a body reaches this record (or one that begins with it) from its
// Coroutine*.
struct FileCoroutine {
  Coroutine co;
  uint8_t* in_cur;
  uint8_t* in_start;
  uint8_t* in_end;
  uint8_t* out_cur;
  uint8_t* out_start;
  uint8_t* out_end;
  int32_t end_of_input;  // set by the driver when a read delivers 0 bytes
};

constexpr size_t kFileBlockSize = 65536;

// What went wrong in a run of the file-driven driver loop.
struct FileDriverResult {
  bool read_failed;   // a read failed; it counted as the end of the input
  bool write_failed;  // a write failed or was short; the loop stopped there
  int error;          // plat_file_last_error() of the first failure
};

// The reads and writes of the file-driven driver loop. A read returns the
// bytes it delivered (fewer than asked is not the end), 0 at the end of the
// file, or -1 when it failed; a write returns the bytes it wrote (the loop
// writes the rest with further calls), or 0 or -1 when it failed. The
// programs use plat_file_io(): one read of a whole block, and a write of the
// whole block. The driver simulation test reads and writes the same files in
// pieces of random sizes.
struct FileIo {
  long (*read)(void* ctx, PlatFile f, uint8_t* buf, size_t n);
  long (*write)(void* ctx, PlatFile f, const uint8_t* buf, size_t n);
  void* ctx;
};
FileIo plat_file_io();

// Runs the file-driven driver loop: sets the record up (not started, input
// empty and not ended, output buffer of kFileBlockSize bytes at out_buf) and
// resumes the body until its final yield 0. On code 1 it reads up to
// kFileBlockSize bytes of `in` into in_buf (a read of 0 bytes, or a failed
// one, sets the end-of-input flag); on 2 and 0 it writes the waiting output
// to `out` (a write of 0 bytes when nothing waits; no write at all when out
// is kPlatNoFile). Any other code resumes at once. A failed write ends the
// loop at once.
FileDriverResult file_driver_run(FileCoroutine* fc, CoBody body, PlatFile in,
                                 uint8_t* in_buf, PlatFile out, uint8_t* out_buf,
                                 FileIo io = plat_file_io());
