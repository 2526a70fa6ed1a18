// Context switching on Windows with fibers, the same on Win64 and i686. The
// thread becomes a fiber on the first switch; every prepared context owns a
// fiber with a stack of its own, created once and reused on later restarts.
//
// Restarting reuses the fiber: co_prepare only marks the context, and when
// the old fiber is next switched to it finds the mark inside co_switch and
// jumps back to the top of fiber_main, abandoning the frames of its previous
// run (as a restart on a POSIX stack abandons them). The stack given to
// co_prepare is not used; the fiber's own stack has the size asked for.
#include <windows.h>

#include <new>

#include "platform/coswitch.h"

namespace {

// Marks a CoContext that holds a fiber created by co_prepare, so that
// storage never prepared (a driver context, or a fresh record) is never
// taken for one.
constexpr uint32_t kFiberMagic = 0x43464942;  // "CFIB"

struct WinContext {
  uint32_t magic;        // kFiberMagic once co_prepare has created `fiber`
  int32_t restart;       // set by co_prepare: run entry afresh on the next switch in
  void* self;            // the CoContext this record lives in; guards against copies
  void* fiber;           // this context's own fiber, or the fiber that last left it
  void* own_fiber;       // the fiber created by co_prepare (null if none)
  size_t stack_size;
  CoEntry entry;
  void* arg;
  void* restart_point[5];  // __builtin_setjmp buffer at the top of fiber_main
};
static_assert(sizeof(WinContext) <= sizeof(CoContext), "CoContext too small");
static_assert(alignof(WinContext) <= alignof(CoContext), "CoContext alignment");

WinContext* impl(CoContext* c) { return reinterpret_cast<WinContext*>(c->opaque); }

void* g_thread_fiber = nullptr;  // the thread itself, once converted

// GetCurrentFiber reads the thread block at a fixed offset from the gs/fs
// segment, which GCC takes for a read through a null pointer.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
__attribute__((noinline)) void* current_fiber() { return GetCurrentFiber(); }
__attribute__((noinline)) void* current_fiber_data() { return GetFiberData(); }
#pragma GCC diagnostic pop

// Fibers can only be switched to from a fiber; the thread turns into one
// the first time it switches.
void ensure_thread_fiber() {
  if (g_thread_fiber != nullptr) return;
  g_thread_fiber = ConvertThreadToFiber(nullptr);
  if (g_thread_fiber == nullptr) {
    // Already a fiber (someone else converted the thread): use it as it is.
    g_thread_fiber = current_fiber();
  }
}

__attribute__((noinline)) void run_entry(WinContext* c) {
  c->restart = 0;
  c->entry(c->arg);
  // entry never returns; there is no context to fall back to.
  __builtin_trap();
}

void WINAPI fiber_main(void* param) {
  WinContext* c = static_cast<WinContext*>(param);
  // A restart lands here again, with the stack pointer of this frame.
  if (__builtin_setjmp(c->restart_point) != 0) c = static_cast<WinContext*>(current_fiber_data());
  run_entry(c);
}

bool holds_fiber(CoContext* co) {
  WinContext* c = impl(co);
  return c->magic == kFiberMagic && c->self == co && c->own_fiber != nullptr;
}

}  // namespace

void co_prepare(CoContext* co, void* /*stack*/, size_t stack_size, CoEntry entry, void* arg) {
  ensure_thread_fiber();
  WinContext* c = impl(co);
  if (holds_fiber(co)) {
    if (c->own_fiber != current_fiber() && c->stack_size == stack_size) {
      // Reuse: the next switch into the old fiber restarts it.
      c->entry = entry;
      c->arg = arg;
      c->fiber = c->own_fiber;
      c->restart = 1;
      return;
    }
    // A fiber cannot delete itself; one that is running is left behind.
    if (c->own_fiber != current_fiber()) DeleteFiber(c->own_fiber);
  }
  c = new (co->opaque) WinContext;
  c->magic = kFiberMagic;
  c->restart = 0;
  c->self = co;
  c->stack_size = stack_size;
  c->entry = entry;
  c->arg = arg;
  // Reserve the whole stack, commit pages as it grows.
  c->own_fiber = CreateFiberEx(0, stack_size, 0, fiber_main, c);
  c->fiber = c->own_fiber;
  if (c->own_fiber == nullptr) {
    c->magic = 0;
    // Out of address space for another stack: nothing sensible can run.
    __builtin_trap();
  }
}

void co_switch(CoContext* from, CoContext* to) {
  ensure_thread_fiber();
  WinContext* f = impl(from);
  WinContext* t = impl(to);
  // `from` may be storage never prepared (a driver's context): it only
  // needs to know which fiber to come back to.
  f->fiber = current_fiber();
  SwitchToFiber(t->fiber);
  // Back in the fiber that left `from`. If `from` was prepared again in the
  // meantime, start its entry from the top instead of returning.
  if (f->magic == kFiberMagic && f->self == from && f->restart &&
      f->own_fiber == current_fiber()) {
    __builtin_longjmp(f->restart_point, 1);
  }
}
