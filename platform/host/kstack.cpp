// Kernel stacks: one 24 KiB stack with a guard page per thread that enters the driver image, made at its
// first entry and unmapped when the thread ends, with an alternate signal stack beside it so that a guard
// page hit can still be reported. The switches are a few instructions of assembly: the thread-local state
// below is what they read and write.
#include "platform/host/kstack.h"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

// Read and written by the assembly below (offsets 0, 8, 16, 24).
struct ZadivoKernelStack {
  uintptr_t lo;         // lowest usable byte of the kernel stack (the guard page is below)
  uintptr_t hi;         // one past its top
  uintptr_t hostRsp;    // host stack pointer to leave to while driver code runs
  uintptr_t kernelRsp;  // where the next entry starts (below the driver frames that called the host)
};
static_assert(offsetof(ZadivoKernelStack, hostRsp) == 16 && offsetof(ZadivoKernelStack, kernelRsp) == 24);

namespace {

constexpr size_t kPage = 4096;
constexpr size_t kTopPad = 512;  // above the first frame: the leave switch copies argument slots from there
constexpr size_t kAltStackBytes = 64 * 1024;

std::atomic<int> gEnabled{0};

// Unmaps the thread's stacks when it ends.
struct Owner {
  void* mapping = nullptr;
  size_t bytes = 0;
  stack_t previousAlt{};
  ~Owner();
};
thread_local Owner tOwner;

}  // namespace

extern "C" {
constinit thread_local ZadivoKernelStack zadivo_kstack = {0, 0, 0, 0};
void zadivo_kstack_switch(uintptr_t top, void (*body)(void*), void* arg);
}

namespace {

Owner::~Owner() {
  if (!mapping) return;
  sigaltstack(&previousAlt, nullptr);
  munmap(mapping, bytes);
  zadivo_kstack = {0, 0, 0, 0};
}

// Guard page, kernel stack, then the alternate signal stack: one mapping.
void makeStacks() {
  const size_t bytes = kPage + host::kstack::kStackBytes + kAltStackBytes;
  void* m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED || mprotect(m, kPage, PROT_NONE) != 0) {
    fprintf(stderr, "host: cannot map a kernel stack\n");
    abort();
  }
  auto base = reinterpret_cast<uintptr_t>(m);
  stack_t alt{};
  alt.ss_sp = reinterpret_cast<void*>(base + kPage + host::kstack::kStackBytes);
  alt.ss_size = kAltStackBytes;
  sigaltstack(&alt, &tOwner.previousAlt);
  tOwner.mapping = m;
  tOwner.bytes = bytes;
  zadivo_kstack.lo = base + kPage;
  zadivo_kstack.hi = base + kPage + host::kstack::kStackBytes;
  zadivo_kstack.kernelRsp = zadivo_kstack.hi - kTopPad;
}

}  // namespace

namespace host::kstack {

void enable(bool on) { gEnabled.fetch_add(on ? 1 : -1); }
bool enabled() { return gEnabled.load(std::memory_order_relaxed) > 0; }

void run(void (*body)(void*), void* arg) {
  if (!zadivo_kstack.hi) makeStacks();
  const uintptr_t saved = zadivo_kstack.kernelRsp;
  zadivo_kstack_switch(saved & ~uintptr_t(15), body, arg);
  zadivo_kstack.kernelRsp = saved;
}

Range guardOfThisThread() {
  if (!zadivo_kstack.hi) return {};
  return {zadivo_kstack.lo - kPage, zadivo_kstack.lo};
}

Range stackOfThisThread() { return {zadivo_kstack.lo, zadivo_kstack.hi}; }

}  // namespace host::kstack

// The two switches. zadivo_kstack_switch(top, body, arg) is a System V call from host code: it remembers the
// host stack pointer for the way out and calls body(arg) on the kernel stack at top. zadivo_kstack_leave is
// reached from driver code (see kstack.h); its frame on the host stack is 0x20 bytes of home space, 16
// argument slots, then the driver's stack pointer, the target and the previous entry point.
// clang-format off
asm(R"(
        .text
        .globl  zadivo_kstack_switch
        .type   zadivo_kstack_switch, @function
zadivo_kstack_switch:
        .cfi_startproc
        pushq   %rbp
        .cfi_def_cfa_offset 16
        .cfi_offset %rbp, -16
        movq    %rsp, %rbp
        .cfi_def_cfa_register %rbp
        pushq   %rbx
        pushq   %r12
        .cfi_offset %rbx, -24
        .cfi_offset %r12, -32
        movq    %fs:0, %rbx
        leaq    zadivo_kstack@tpoff(%rbx), %rbx
        movq    16(%rbx), %r12
        movq    %rsp, 16(%rbx)
        movq    %rdi, %rsp
        movq    %rdx, %rdi
        callq   *%rsi
        movq    %r12, 16(%rbx)
        leaq    -16(%rbp), %rsp
        popq    %r12
        popq    %rbx
        popq    %rbp
        .cfi_def_cfa %rsp, 8
        ret
        .cfi_endproc
        .size   zadivo_kstack_switch, .-zadivo_kstack_switch

        .globl  zadivo_kstack_leave
        .type   zadivo_kstack_leave, @function
zadivo_kstack_leave:
        movq    %fs:0, %rax
        leaq    zadivo_kstack@tpoff(%rax), %rax
        cmpq    0(%rax), %rsp
        jb      1f
        cmpq    8(%rax), %rsp
        jae     1f
        movq    16(%rax), %r10
        subq    $0xC0, %r10
        andq    $-16, %r10
        movq    %rsp, 0xA0(%r10)
        movq    %r11, 0xA8(%r10)
        movq    24(%rax), %r11
        movq    %r11, 0xB0(%r10)
        movq    %rsp, 24(%rax)
        .irp    slot, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        movq    0x28+8*\slot(%rsp), %r11
        movq    %r11, 0x20+8*\slot(%r10)
        .endr
        movq    %r10, %rsp
        callq   *0xA8(%rsp)
        movq    %fs:0, %r10
        leaq    zadivo_kstack@tpoff(%r10), %r10
        movq    0xB0(%rsp), %r11
        movq    %r11, 24(%r10)
        movq    0xA0(%rsp), %rsp
        ret
1:      jmpq    *%r11
        .size   zadivo_kstack_leave, .-zadivo_kstack_leave
)");
// clang-format on
