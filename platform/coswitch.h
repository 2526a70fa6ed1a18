// Switching between a driver and a coroutine, each on its own stack.
// On x86 a few lines of assembly switch without a system call
// (coswitch_x86.cpp); other machines use ucontext (coswitch_posix.cpp) or,
// on Windows, fibers (coswitch_win32.cpp).
#pragma once
#include <cstddef>
#include <cstdint>

// Storage for one execution context, large enough for every backend.
struct CoContext {
  alignas(16) unsigned char opaque[1280];
};

typedef void (*CoEntry)(void* arg);

// Sets `co` up so that the next switch to it runs entry(arg) from the start
// on `stack` (stack_size bytes). Whatever `co` was running before is
// forgotten. entry must never return.
void co_prepare(CoContext* co, void* stack, size_t stack_size, CoEntry entry,
                void* arg);

// Saves the running context into `from` and continues `to`. Returns when
// something switches back to `from`.
void co_switch(CoContext* from, CoContext* to);

