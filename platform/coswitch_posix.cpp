// Context switching on POSIX with ucontext. Each coroutine runs on a stack
// of its own, so nothing is copied on a switch. Under AddressSanitizer every
// switch is announced, so that the sanitizer knows which stack is live.
#include <stdint.h>
#include <string.h>
#include <ucontext.h>

#include <new>

#include "platform/coswitch.h"

#if defined(__SANITIZE_ADDRESS__)
#define CO_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CO_ASAN 1
#endif
#endif

#ifdef CO_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

struct PosixContext {
  ucontext_t uc;
  const void* stack_bottom;  // known once something has switched away from it
  size_t stack_size;
  CoEntry entry;
  void* arg;
};
static_assert(sizeof(PosixContext) <= sizeof(CoContext), "CoContext too small");
static_assert(alignof(PosixContext) <= alignof(CoContext), "CoContext alignment");

PosixContext* impl(CoContext* c) { return reinterpret_cast<PosixContext*>(c->opaque); }

#ifdef CO_ASAN
// The context that made the switch now finishing; its stack bounds are
// recorded so that a later switch back to it can announce them.
PosixContext* g_switch_from = nullptr;

void finish_switch(void* fake_stack) {
  PosixContext* from = g_switch_from;
  const void* bottom = nullptr;
  size_t size = 0;
  __sanitizer_finish_switch_fiber(fake_stack, &bottom, &size);
  if (from && from->stack_bottom == nullptr) {
    from->stack_bottom = bottom;
    from->stack_size = size;
  }
}
#endif

// makecontext passes int arguments only, so the context pointer is split.
void trampoline(unsigned hi, unsigned lo) {
  PosixContext* self =
      reinterpret_cast<PosixContext*>((uintptr_t(hi) << 16 << 16) | uintptr_t(lo));
#ifdef CO_ASAN
  finish_switch(nullptr);
#endif
  self->entry(self->arg);
  // entry never returns; there is no context to fall back to.
  __builtin_trap();
}

}  // namespace

void co_prepare(CoContext* co, void* stack, size_t stack_size, CoEntry entry, void* arg) {
  PosixContext* c = new (co->opaque) PosixContext;
  memset(&c->uc, 0, sizeof c->uc);
  getcontext(&c->uc);
  c->uc.uc_stack.ss_sp = stack;
  c->uc.uc_stack.ss_size = stack_size;
  c->uc.uc_link = nullptr;
  c->stack_bottom = stack;
  c->stack_size = stack_size;
  c->entry = entry;
  c->arg = arg;
  uintptr_t p = reinterpret_cast<uintptr_t>(c);
  makecontext(&c->uc, reinterpret_cast<void (*)()>(trampoline), 2,
              unsigned(p >> 16 >> 16), unsigned(p & 0xFFFFFFFFu));
}

void co_switch(CoContext* from, CoContext* to) {
  PosixContext* f = impl(from);
  PosixContext* t = impl(to);
#ifdef CO_ASAN
  void* fake_stack = nullptr;
  __sanitizer_start_switch_fiber(&fake_stack, t->stack_bottom, t->stack_size);
  g_switch_from = f;
  swapcontext(&f->uc, &t->uc);
  finish_switch(fake_stack);
#else
  swapcontext(&f->uc, &t->uc);
#endif
}
