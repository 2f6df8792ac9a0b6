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

// Read and written by the assembly below, which names these offsets KS_LO .. KS_KERNEL_RSP.
struct ZadivoKernelStack {
  uintptr_t lo;         // lowest usable byte of the kernel stack (the guard page is below)
  uintptr_t hi;         // one past its top
  uintptr_t hostRsp;    // host stack pointer to leave to while driver code runs
  uintptr_t kernelRsp;  // where the next entry starts (below the driver frames that called the host)
};
static_assert(offsetof(ZadivoKernelStack, lo) == 0 && offsetof(ZadivoKernelStack, hi) == 8 &&
              offsetof(ZadivoKernelStack, hostRsp) == 16 && offsetof(ZadivoKernelStack, kernelRsp) == 24);

namespace {

constexpr size_t kPage = 4096;
constexpr size_t kTopPad = 512;  // above the first frame: the leave switch copies argument slots from there
constexpr size_t kAltStackBytes = 64 * 1024;

std::atomic<int> gEnabled{0};  // tokens alive

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

Token::Token() { gEnabled.fetch_add(1); }
Token::~Token() { gEnabled.fetch_sub(1); }
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
// reached from driver code (see kstack.h) and builds a frame on the host stack: home space, the caller's
// stack arguments, then what the way back needs.
// clang-format off
asm(R"(
        .set    KS_LO, 0                # ZadivoKernelStack, as the static_assert above has it
        .set    KS_HI, 8
        .set    KS_HOST_RSP, 16
        .set    KS_KERNEL_RSP, 24

        .set    ARG_SLOTS, 16           # stack arguments carried across, beyond the four in registers
        .set    CALLER_ARGS, 0x28       # in the driver's frame: above its return address and home space
        .set    LEAVE_ARGS, 0x20        # in the leave frame: above the callee's home space
        .set    LEAVE_DRIVER_RSP, LEAVE_ARGS + 8 * ARG_SLOTS
        .set    LEAVE_TARGET, LEAVE_DRIVER_RSP + 8
        .set    LEAVE_PREVIOUS, LEAVE_TARGET + 8    # the kernel stack's entry point before this call
        .set    LEAVE_FRAME, LEAVE_PREVIOUS + 16    # a multiple of 16

        # \reg = the address of this thread's zadivo_kstack
        .macro  kstack_state reg
        movq    %fs:0, \reg
        leaq    zadivo_kstack@tpoff(\reg), \reg
        .endm

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
        kstack_state %rbx
        movq    KS_HOST_RSP(%rbx), %r12
        movq    %rsp, KS_HOST_RSP(%rbx)
        movq    %rdi, %rsp
        movq    %rdx, %rdi
        callq   *%rsi
        movq    %r12, KS_HOST_RSP(%rbx)
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
        kstack_state %rax
        cmpq    KS_LO(%rax), %rsp
        jb      1f
        cmpq    KS_HI(%rax), %rsp
        jae     1f
        movq    KS_HOST_RSP(%rax), %r10
        subq    $LEAVE_FRAME, %r10
        andq    $-16, %r10
        movq    %rsp, LEAVE_DRIVER_RSP(%r10)
        movq    %r11, LEAVE_TARGET(%r10)
        movq    KS_KERNEL_RSP(%rax), %r11
        movq    %r11, LEAVE_PREVIOUS(%r10)
        movq    %rsp, KS_KERNEL_RSP(%rax)
        .set    slot, 0
        .rept   ARG_SLOTS
        movq    CALLER_ARGS+8*slot(%rsp), %r11
        movq    %r11, LEAVE_ARGS+8*slot(%r10)
        .set    slot, slot + 1
        .endr
        movq    %r10, %rsp
        callq   *LEAVE_TARGET(%rsp)
        kstack_state %r10
        movq    LEAVE_PREVIOUS(%rsp), %r11
        movq    %r11, KS_KERNEL_RSP(%r10)
        movq    LEAVE_DRIVER_RSP(%rsp), %rsp
        ret
1:      jmpq    *%r11
        .size   zadivo_kstack_leave, .-zadivo_kstack_leave
)");
// clang-format on
