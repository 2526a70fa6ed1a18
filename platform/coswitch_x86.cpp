// Context switching on x86 without a system call: a few instructions push
// the registers a called routine must preserve onto the running stack, store
// the stack pointer, load the other context's and pop its registers. The
// signal mask is not touched (nothing here changes it), so a switch costs
// no kernel entry, where swapcontext makes two rt_sigprocmask calls.
//
// One routine per calling convention: x86-64 System V (Linux), i686 cdecl
// (Linux), Windows x64 and Windows i686 (mingw). Windows keeps a few stack
// facts in the thread block (the stack's bounds, on i686 also the head of
// the exception handler chain); they belong to the stack and are switched
// with it. The x87 control word, and on 64-bit the SSE control register, are
// preserved too, as the calling conventions require of a called routine.
//
// Under AddressSanitizer every switch is announced, so that the sanitizer
// knows which stack is live.
#include <stdint.h>
#include <string.h>

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
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

struct AsmContext {
  void* sp;                  // the stack pointer at the registers pushed by the switch
  const void* stack_bottom;  // known once something has switched away from it
  size_t stack_size;
  CoEntry entry;
  void* arg;
};
static_assert(sizeof(AsmContext) <= sizeof(CoContext), "CoContext too small");
static_assert(alignof(AsmContext) <= alignof(CoContext), "CoContext alignment");

AsmContext* impl(CoContext* c) { return reinterpret_cast<AsmContext*>(c->opaque); }

}  // namespace

// Saves the running context's registers on its stack and its stack pointer
// in *save_sp, then continues the context whose stack pointer is load_sp.
extern "C" void co_switch_raw(void** save_sp, void* load_sp) __asm__("chunk_co_switch_raw");
// Where a prepared context begins: calls the routine held in one preserved
// register with the argument held in another (see co_prepare).
extern "C" void co_start_raw() __asm__("chunk_co_start_raw");

#if defined(__x86_64__) && defined(_WIN64)
// Windows x64: rcx = save_sp, rdx = load_sp. Preserved: rbx rbp rdi rsi
// r12-r15, xmm6-xmm15, MXCSR and the x87 control word; the thread block's
// StackBase (gs:0x08), StackLimit (gs:0x10) and DeallocationStack (gs:0x1478).
// Frame below the return address: 8 pushes, then 200 bytes: xmm6-15 at 0,
// MXCSR and the control word at 160, the three thread block words at 168.
__asm__(
    ".text\n"
    ".p2align 4\n"
    "chunk_co_switch_raw:\n"
    "  pushq %rbp\n"
    "  pushq %rbx\n"
    "  pushq %rdi\n"
    "  pushq %rsi\n"
    "  pushq %r12\n"
    "  pushq %r13\n"
    "  pushq %r14\n"
    "  pushq %r15\n"
    "  subq $200, %rsp\n"
    "  movaps %xmm6, 0(%rsp)\n"
    "  movaps %xmm7, 16(%rsp)\n"
    "  movaps %xmm8, 32(%rsp)\n"
    "  movaps %xmm9, 48(%rsp)\n"
    "  movaps %xmm10, 64(%rsp)\n"
    "  movaps %xmm11, 80(%rsp)\n"
    "  movaps %xmm12, 96(%rsp)\n"
    "  movaps %xmm13, 112(%rsp)\n"
    "  movaps %xmm14, 128(%rsp)\n"
    "  movaps %xmm15, 144(%rsp)\n"
    "  stmxcsr 160(%rsp)\n"
    "  fnstcw 164(%rsp)\n"
    "  movq %gs:0x08, %rax\n"
    "  movq %rax, 168(%rsp)\n"
    "  movq %gs:0x10, %rax\n"
    "  movq %rax, 176(%rsp)\n"
    "  movq %gs:0x1478, %rax\n"
    "  movq %rax, 184(%rsp)\n"
    "  movq %rsp, (%rcx)\n"
    "  movq %rdx, %rsp\n"
    "  movaps 0(%rsp), %xmm6\n"
    "  movaps 16(%rsp), %xmm7\n"
    "  movaps 32(%rsp), %xmm8\n"
    "  movaps 48(%rsp), %xmm9\n"
    "  movaps 64(%rsp), %xmm10\n"
    "  movaps 80(%rsp), %xmm11\n"
    "  movaps 96(%rsp), %xmm12\n"
    "  movaps 112(%rsp), %xmm13\n"
    "  movaps 128(%rsp), %xmm14\n"
    "  movaps 144(%rsp), %xmm15\n"
    "  ldmxcsr 160(%rsp)\n"
    "  fldcw 164(%rsp)\n"
    "  movq 168(%rsp), %rax\n"
    "  movq %rax, %gs:0x08\n"
    "  movq 176(%rsp), %rax\n"
    "  movq %rax, %gs:0x10\n"
    "  movq 184(%rsp), %rax\n"
    "  movq %rax, %gs:0x1478\n"
    "  addq $200, %rsp\n"
    "  popq %r15\n"
    "  popq %r14\n"
    "  popq %r13\n"
    "  popq %r12\n"
    "  popq %rsi\n"
    "  popq %rdi\n"
    "  popq %rbx\n"
    "  popq %rbp\n"
    "  ret\n"
    ".p2align 4\n"
    "chunk_co_start_raw:\n"
    "  movq %r12, %rcx\n"
    "  subq $32, %rsp\n"  // the callee's home space for its register arguments
    "  call *%rbx\n"
    "  ud2\n");
constexpr size_t kSavedWords = 8 + 200 / 8;  // below the return address
constexpr size_t kEntryWord = 8 + 200 / 8 - 2;  // rbx
constexpr size_t kArgWord = 8 + 200 / 8 - 5;    // r12
constexpr size_t kControlWord = 160 / 8;
constexpr uint64_t kControlValue = 0x1F80 | (uint64_t(0x027F) << 32);  // MXCSR, x87 (Windows)
#define CO_THREAD_BLOCK_WORDS 1
constexpr size_t kStackBaseWord = 168 / 8, kStackLimitWord = 176 / 8, kDeallocWord = 184 / 8;

#elif defined(__x86_64__)
// x86-64 System V: rdi = save_sp, rsi = load_sp. Preserved: rbx rbp
// r12-r15, MXCSR and the x87 control word (8 bytes below the pushes).
__asm__(
    ".text\n"
    ".p2align 4\n"
    "chunk_co_switch_raw:\n"
    "  pushq %rbp\n"
    "  pushq %rbx\n"
    "  pushq %r12\n"
    "  pushq %r13\n"
    "  pushq %r14\n"
    "  pushq %r15\n"
    "  subq $8, %rsp\n"
    "  stmxcsr (%rsp)\n"
    "  fnstcw 4(%rsp)\n"
    "  movq %rsp, (%rdi)\n"
    "  movq %rsi, %rsp\n"
    "  ldmxcsr (%rsp)\n"
    "  fldcw 4(%rsp)\n"
    "  addq $8, %rsp\n"
    "  popq %r15\n"
    "  popq %r14\n"
    "  popq %r13\n"
    "  popq %r12\n"
    "  popq %rbx\n"
    "  popq %rbp\n"
    "  ret\n"
    ".p2align 4\n"
    "chunk_co_start_raw:\n"
    "  movq %r12, %rdi\n"
    "  call *%rbx\n"
    "  ud2\n");
constexpr size_t kSavedWords = 7;
constexpr size_t kEntryWord = 5;  // rbx
constexpr size_t kArgWord = 4;    // r12
constexpr size_t kControlWord = 0;
constexpr uint64_t kControlValue = 0x1F80 | (uint64_t(0x037F) << 32);  // MXCSR, x87

#elif defined(__i386__) && defined(_WIN32)
// Windows i686: save_sp at 4(%esp), load_sp at 8(%esp). Preserved: ebx
// ebp esi edi and the x87 control word; the thread block's exception
// handler chain (fs:0), StackBase (fs:4), StackLimit (fs:8) and
// DeallocationStack (fs:0xE0C). Frame below the pushes: the control word
// at 0, the four thread block words at 4.
__asm__(
    ".text\n"
    ".p2align 4\n"
    "chunk_co_switch_raw:\n"
    "  movl 4(%esp), %eax\n"
    "  movl 8(%esp), %edx\n"
    "  pushl %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  subl $20, %esp\n"
    "  fnstcw (%esp)\n"
    "  movl %fs:0x00, %ecx\n"
    "  movl %ecx, 4(%esp)\n"
    "  movl %fs:0x04, %ecx\n"
    "  movl %ecx, 8(%esp)\n"
    "  movl %fs:0x08, %ecx\n"
    "  movl %ecx, 12(%esp)\n"
    "  movl %fs:0xE0C, %ecx\n"
    "  movl %ecx, 16(%esp)\n"
    "  movl %esp, (%eax)\n"
    "  movl %edx, %esp\n"
    "  fldcw (%esp)\n"
    "  movl 4(%esp), %ecx\n"
    "  movl %ecx, %fs:0x00\n"
    "  movl 8(%esp), %ecx\n"
    "  movl %ecx, %fs:0x04\n"
    "  movl 12(%esp), %ecx\n"
    "  movl %ecx, %fs:0x08\n"
    "  movl 16(%esp), %ecx\n"
    "  movl %ecx, %fs:0xE0C\n"
    "  addl $20, %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  ret\n"
    ".p2align 4\n"
    "chunk_co_start_raw:\n"
    "  pushl %esi\n"
    "  call *%ebx\n"
    "  ud2\n");
constexpr size_t kSavedWords = 5 + 4;
constexpr size_t kEntryWord = 5 + 4 - 2;  // ebx
constexpr size_t kArgWord = 5 + 4 - 3;    // esi
constexpr size_t kControlWord = 0;
constexpr uint32_t kControlValue = 0x027F;  // x87 (Windows)
#define CO_THREAD_BLOCK_WORDS 1
constexpr size_t kChainWord = 1;
constexpr size_t kStackBaseWord = 2, kStackLimitWord = 3, kDeallocWord = 4;

#elif defined(__i386__)
// i686 cdecl: save_sp at 4(%esp), load_sp at 8(%esp). Preserved: ebx ebp
// esi edi and the x87 control word (4 bytes below the pushes). The build
// does not assume SSE, so MXCSR is left alone (nothing here changes it).
__asm__(
    ".text\n"
    ".p2align 4\n"
    "chunk_co_switch_raw:\n"
    "  movl 4(%esp), %eax\n"
    "  movl 8(%esp), %edx\n"
    "  pushl %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  subl $4, %esp\n"
    "  fnstcw (%esp)\n"
    "  movl %esp, (%eax)\n"
    "  movl %edx, %esp\n"
    "  fldcw (%esp)\n"
    "  addl $4, %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  ret\n"
    ".p2align 4\n"
    "chunk_co_start_raw:\n"
    "  pushl %esi\n"
    "  call *%ebx\n"
    "  ud2\n");
constexpr size_t kSavedWords = 1 + 4;
constexpr size_t kEntryWord = 1 + 4 - 2;  // ebx
constexpr size_t kArgWord = 1 + 4 - 3;    // esi
constexpr size_t kControlWord = 0;
constexpr uint32_t kControlValue = 0x037F;  // x87

#else
#error "coswitch_x86.cpp is for x86 targets; other machines use coswitch_posix.cpp"
#endif

namespace {

#ifdef CO_ASAN
// The context that made the switch now finishing; its stack bounds are
// recorded so that a later switch back to it can announce them.
AsmContext* g_switch_from = nullptr;

void finish_switch(void* fake_stack) {
  AsmContext* from = g_switch_from;
  const void* bottom = nullptr;
  size_t size = 0;
  __sanitizer_finish_switch_fiber(fake_stack, &bottom, &size);
  if (from && from->stack_bottom == nullptr) {
    from->stack_bottom = bottom;
    from->stack_size = size;
  }
}
#endif

// The first code a prepared context runs, called by co_start_raw.
void co_first_run(AsmContext* self) {
#ifdef CO_ASAN
  finish_switch(nullptr);
#endif
  self->entry(self->arg);
  // entry never returns; there is no context to fall back to.
  __builtin_trap();
}

}  // namespace

void co_prepare(CoContext* co, void* stack, size_t stack_size, CoEntry entry, void* arg) {
#ifdef CO_ASAN
  // A body abandoned in the middle (a record restarted for a new client)
  // leaves its frames' red zones marked on the stack; the new run starts
  // on a clean one (as the sanitizer's own swapcontext does).
  __asan_unpoison_memory_region(stack, stack_size);
#endif
  AsmContext* c = new (co->opaque) AsmContext;
  c->stack_bottom = stack;
  c->stack_size = stack_size;
  c->entry = entry;
  c->arg = arg;
  // The top of the stack, 16-aligned. co_start_raw runs with the stack
  // pointer where a return address would have been popped: 16-aligned on
  // 64-bit (it calls at once, or after reserving 32 bytes), 4 below a
  // multiple of 16 on i686 (it pushes the argument, then calls).
  uintptr_t top = (reinterpret_cast<uintptr_t>(stack) + stack_size) & ~uintptr_t(15);
  uintptr_t start_sp = sizeof(void*) == 8 ? top - 16 : top - 12;
  uintptr_t* frame = reinterpret_cast<uintptr_t*>(start_sp) - 1 - kSavedWords;
  memset(frame, 0, (kSavedWords + 1) * sizeof(uintptr_t));
  frame[kSavedWords] = reinterpret_cast<uintptr_t>(&co_start_raw);  // the return address
  frame[kEntryWord] = reinterpret_cast<uintptr_t>(&co_first_run);
  frame[kArgWord] = reinterpret_cast<uintptr_t>(c);
  memcpy(&frame[kControlWord], &kControlValue, sizeof kControlValue);
#ifdef CO_THREAD_BLOCK_WORDS
  frame[kStackBaseWord] = top;
  frame[kStackLimitWord] = reinterpret_cast<uintptr_t>(stack);
  frame[kDeallocWord] = reinterpret_cast<uintptr_t>(stack);
#endif
#if defined(__i386__) && defined(_WIN32)
  frame[kChainWord] = ~uintptr_t(0);  // the end of an empty handler chain
#endif
  c->sp = frame;
}

void co_switch(CoContext* from, CoContext* to) {
  AsmContext* f = impl(from);
  AsmContext* t = impl(to);
#ifdef CO_ASAN
  void* fake_stack = nullptr;
  __sanitizer_start_switch_fiber(&fake_stack, t->stack_bottom, t->stack_size);
  g_switch_from = f;
  co_switch_raw(&f->sp, t->sp);
  finish_switch(fake_stack);
#else
  co_switch_raw(&f->sp, t->sp);
#endif
}
