#include "platform/host/loader/trap.h"

#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/host/host.h"
#include "platform/host/kstack.h"
#include "platform/host/loader/image.h"

namespace host::loader::trap {
namespace {

// ---- Decoding
// ------------------------------------------------------------------------------------------------
enum Kind : uint8_t { kNone, kCr8Read, kCr8Write, kLoad32, kStore32, kStoreImm32 };

// One decoded instruction, packed into the word the trampoline carries: kind, register, length, immediate.
struct Op {
  Kind kind = kNone;
  uint8_t reg = 0;     // general register (x86 number, REX included)
  uint8_t length = 0;  // bytes
  uint32_t imm = 0;
  uint64_t pack() const { return kind | uint64_t(reg) << 8 | uint64_t(length) << 16 | uint64_t(imm) << 32; }
  static Op unpack(uint64_t w) {
    return {Kind(w & 0xFF), uint8_t(w >> 8 & 0xFF), uint8_t(w >> 16 & 0xFF), uint32_t(w >> 32)};
  }
};

// Length of a ModRM memory operand (ModRM, SIB, displacement); 0 for a register operand.
int memoryOperandLength(const uint8_t* p) {
  const int mod = p[0] >> 6, rm = p[0] & 7;
  if (mod == 3) return 0;
  int n = 1;
  if (rm == 4) {
    if (mod == 0 && (p[1] & 7) == 5) n += 4;  // SIB without base: disp32
    n += 1;
  } else if (mod == 0 && rm == 5) {
    n += 4;  // rip-relative
  }
  return n + (mod == 1 ? 1 : mod == 2 ? 4 : 0);
}

Op decode(const uint8_t* p) {
  Op op;
  int i = 0;
  uint8_t rex = 0;
  if ((p[0] & 0xF0) == 0x40) rex = p[i++];
  const uint8_t extendReg = rex & 4 ? 8 : 0, extendRm = rex & 1 ? 8 : 0;
  if (p[i] == 0x0F && (p[i + 1] == 0x20 || p[i + 1] == 0x22)) {
    const uint8_t modrm = p[i + 2];
    if (modrm >> 6 != 3 || (modrm >> 3 & 7) != 0 || !extendReg) return op;  // CR8 only
    op.kind = p[i + 1] == 0x20 ? kCr8Read : kCr8Write;
    op.reg = (modrm & 7) | extendRm;
    op.length = static_cast<uint8_t>(i + 3);
    return op;
  }
  if (rex & 8) return op;  // 64-bit operand: no register of the card is
  const uint8_t code = p[i++];
  if (code != 0x8B && code != 0x89 && code != 0xC7) return op;
  if (code == 0xC7 && (p[i] >> 3 & 7) != 0) return op;
  const int operand = memoryOperandLength(p + i);
  if (!operand) return op;
  op.reg = (p[i] >> 3 & 7) | extendReg;
  i += operand;
  if (code == 0xC7) {
    memcpy(&op.imm, p + i, 4);
    i += 4;
  }
  op.kind = code == 0x8B ? kLoad32 : code == 0x89 ? kStore32 : kStoreImm32;
  op.length = static_cast<uint8_t>(i);
  return op;
}

// ---- Images
// --------------------------------------------------------------------------------------------------
constexpr int kSlots = 16;
struct Slot {
  std::atomic<const Image*> image{nullptr};
  std::atomic<uintptr_t> lo{0}, hi{0};
};
Slot gSlots[kSlots];
std::mutex gInstallMutex;  // registration only, never in the handler
bool gInstalled = false;

const Image* imageAt(uintptr_t address) {
  for (Slot& s : gSlots)
    if (address >= s.lo.load(std::memory_order_acquire) && address < s.hi.load(std::memory_order_acquire))
      return s.image.load(std::memory_order_acquire);
  return nullptr;
}

std::atomic<uint64_t> gCr8Reads{0}, gCr8Writes{0}, gRegisterReads{0}, gRegisterWrites{0};

// ---- Reports (async-signal-safe: a fixed buffer and write(2))
// ------------------------------------------------
class Report {
 public:
  Report& text(const char* s) {
    while (*s && n_ < sizeof buf_ - 1) buf_[n_++] = *s++;
    return *this;
  }
  Report& hex(uint64_t v, int digits = 0) {
    char d[17];
    int k = 0;
    do {
      d[k++] = "0123456789abcdef"[v & 0xF];
      v >>= 4;
    } while (v || k < digits);
    text("0x");
    while (k) {
      const char c[2] = {d[--k], 0};
      text(c);
    }
    return *this;
  }
  Report& bytes(const uint8_t* p, int count) {
    for (int k = 0; k < count; ++k) {
      const char c[4] = {' ', "0123456789abcdef"[p[k] >> 4], "0123456789abcdef"[p[k] & 0xF], 0};
      text(c);
    }
    return *this;
  }
  // "zadivo.sys+0x1234 (Device::init+0x42)"
  Report& where(const Image* image, uintptr_t address) {
    if (!image) return text("(outside every image)");
    const char* path = image->path().c_str();
    const char* slash = strrchr(path, '/');
    text(slash ? slash + 1 : path).text("+").hex(address - image->base());
    uintptr_t offset = 0;
    if (const Symbol* s = image->symbolAt(address, &offset))
      text(" (").text(s->readable.c_str()).text("+").hex(offset).text(")");
    return *this;
  }
  [[noreturn]] void stop() {
    text("\n");
    ssize_t ignored = write(STDERR_FILENO, buf_, n_);
    (void)ignored;
    signal(SIGABRT, SIG_DFL);
    abort();
  }

 private:
  char buf_[1024];
  size_t n_ = 0;
};

Report& bugCheck(Report& r, uint32_t code, const char* name) {
  return r.text("*** STOP ").hex(code, 8).text(" (").text(name).text(")");
}

[[noreturn]] void unhandled(const char* what, uint32_t status, const Image* image, uintptr_t rip) {
  Report r;
  bugCheck(r, 0x1E, "KMODE_EXCEPTION_NOT_HANDLED").text(": ").text(what).text(" (").hex(status, 8).text(")");
  r.text("\n***   at ")
      .where(image, rip)
      .text(", bytes")
      .bytes(reinterpret_cast<const uint8_t*>(rip), 8)
      .stop();
}

[[noreturn]] void stackOverflow(const Image* image, uintptr_t rip, uintptr_t address) {
  Report r;
  bugCheck(r, 0x7F, "UNEXPECTED_KERNEL_MODE_TRAP").text(": kernel stack overflow (double fault, 0x8): ");
  r.text("guard page hit at ").hex(address).text(", the stack is ").hex(kstack::kStackBytes).text(" bytes");
  r.text("\n***   at ").where(image, rip).stop();
}

// ---- The handler
// ---------------------------------------------------------------------------------------------
struct sigaction gPrevious[NSIG];
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
constexpr uintptr_t kTrampolineNeeds = 0x200;  // the frame the trampoline pushes, with room to spare

// A fault that is not the image's goes to whoever handled the signal before.
void chain(int sig, siginfo_t* info, void* context) {
  const struct sigaction& p = gPrevious[sig];
  if ((p.sa_flags & SA_SIGINFO) && p.sa_sigaction) return p.sa_sigaction(sig, info, context);
  if (p.sa_handler != SIG_DFL && p.sa_handler != SIG_IGN) return p.sa_handler(sig);
  sigaction(sig, &p, nullptr);  // the instruction faults again, now with the default action
}

}  // namespace
}  // namespace host::loader::trap

extern "C" void zadivo_trap_trampoline();

namespace host::loader::trap {
namespace {

void onFault(int sig, siginfo_t* info, void* context) {
  greg_t* g = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
  const uintptr_t rip = g[REG_RIP], rsp = g[REG_RSP], address = reinterpret_cast<uintptr_t>(info->si_addr);
  const Image* image = imageAt(rip);
  if (sig == SIGSEGV && kstack::guardOfThisThread().contains(address)) stackOverflow(image, rip, address);
  if (!image) return chain(sig, info, context);
  if (sig == SIGILL) unhandled("illegal instruction", 0xC000001D, image, rip);
  if (sig == SIGFPE) unhandled("integer divide error", 0xC0000094, image, rip);
  const Op op = decode(reinterpret_cast<const uint8_t*>(rip));
  if (op.kind == kNone) unhandled("instruction not emulated", 0xC0000005, image, rip);
  const kstack::Range stack = kstack::stackOfThisThread();
  if (stack.contains(rsp) && rsp - stack.lo < kTrampolineNeeds)
    stackOverflow(image, rip, rsp - kTrampolineNeeds);
  // As if the instruction had called the trampoline with the decoded operation and the faulting address. The
  // three words go below the thread's stack pointer, which is safe because the faulting code is Windows x64
  // code: that ABI has no red zone (an interrupt may overwrite anything below rsp), so nothing lives there.
  auto* sp = reinterpret_cast<uint64_t*>(rsp);
  sp[-1] = rip + op.length;
  sp[-2] = op.pack();
  sp[-3] = address;
  g[REG_RSP] = static_cast<greg_t>(rsp - 24);
  g[REG_RIP] = reinterpret_cast<greg_t>(&zadivo_trap_trampoline);
}

// ---- The emulation (an ordinary call on the host stack)
// ------------------------------------------------------
struct Frame {
  uint64_t gpr[16];  // rax, rcx, rdx, rbx, (rsp), rbp, rsi, rdi, r8..r15
  uint64_t flags, address, op, resume;
};

void emulate(Frame* f) {
  const Op op = Op::unpack(f->op);
  const uintptr_t rip = f->resume - op.length;
  switch (op.kind) {
    case kCr8Read:
      f->gpr[op.reg] = KeGetCurrentIrql();
      gCr8Reads.fetch_add(1, std::memory_order_relaxed);
      return;
    case kCr8Write: {
      const KIRQL to = static_cast<KIRQL>(f->gpr[op.reg]);
      KIRQL old;
      if (to >= KeGetCurrentIrql())
        KeRaiseIrql(to, &old);
      else
        KeLowerIrql(to);
      gCr8Writes.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    default:
      break;
  }
  auto* reg = reinterpret_cast<volatile ULONG*>(f->address);
  if (!host::mmio::mapped(reg, sizeof(ULONG))) {
    Report r;
    bugCheck(r, 0x50, "PAGE_FAULT_IN_NONPAGED_AREA")
        .text(": ")
        .text(op.kind == kLoad32 ? "read of " : "write of ");
    r.hex(f->address).text(", in no register window\n***   at ").where(imageAt(rip), rip).text(", bytes");
    r.bytes(reinterpret_cast<const uint8_t*>(rip), op.length).stop();
  }
  if (op.kind == kLoad32) {
    f->gpr[op.reg] = READ_REGISTER_ULONG(reg);  // a 32-bit destination clears the upper half
    gRegisterReads.fetch_add(1, std::memory_order_relaxed);
  } else {
    WRITE_REGISTER_ULONG(reg, op.kind == kStoreImm32 ? op.imm : static_cast<ULONG>(f->gpr[op.reg]));
    gRegisterWrites.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace

int addImage(const Image* image, uintptr_t codeLo, uintptr_t codeHi) {
  std::lock_guard<std::mutex> g(gInstallMutex);
  if (!gInstalled) {
    struct sigaction sa {};
    sa.sa_sigaction = onFault;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int sig : kSignals) sigaction(sig, &sa, &gPrevious[sig]);
    gInstalled = true;
  }
  for (int i = 0; i < kSlots; ++i) {
    if (gSlots[i].image.load()) continue;
    gSlots[i].image.store(image, std::memory_order_release);
    gSlots[i].lo.store(codeLo, std::memory_order_release);
    gSlots[i].hi.store(codeHi, std::memory_order_release);
    return i;
  }
  return -1;
}

void removeImage(int slot) {
  std::lock_guard<std::mutex> g(gInstallMutex);
  gSlots[slot].hi.store(0, std::memory_order_release);
  gSlots[slot].lo.store(0, std::memory_order_release);
  gSlots[slot].image.store(nullptr, std::memory_order_release);
}

Counts counts() {
  return {gCr8Reads.load(), gCr8Writes.load(), gRegisterReads.load(), gRegisterWrites.load()};
}

}  // namespace host::loader::trap

extern "C" void NTAPI zadivo_trap_emulate(void* frame) {
  host::loader::trap::emulate(static_cast<host::loader::trap::Frame*>(frame));
}

// The trampoline the handler sends a trapping thread to: saves every register and the flags above the
// handler's three words (address, operation, resume address) as a Frame, calls the emulation through the
// kernel stack's exit (so it runs on the host stack), restores them, and returns past the instruction.
// Nothing after popfq may touch the flags: the image may test them across the access.
// clang-format off
asm(R"(
        .text
        .globl  zadivo_trap_trampoline
        .type   zadivo_trap_trampoline, @function
zadivo_trap_trampoline:
        pushfq
        pushq   %r15
        pushq   %r14
        pushq   %r13
        pushq   %r12
        pushq   %r11
        pushq   %r10
        pushq   %r9
        pushq   %r8
        pushq   %rdi
        pushq   %rsi
        pushq   %rbp
        pushq   $0
        pushq   %rbx
        pushq   %rdx
        pushq   %rcx
        pushq   %rax
        cld
        movq    %rsp, %rcx
        movq    %rsp, %rbx
        andq    $-16, %rsp
        leaq    zadivo_trap_emulate(%rip), %r11
        callq   zadivo_kstack_leave
        movq    %rbx, %rsp
        popq    %rax
        popq    %rcx
        popq    %rdx
        popq    %rbx
        addq    $8, %rsp
        popq    %rbp
        popq    %rsi
        popq    %rdi
        popq    %r8
        popq    %r9
        popq    %r10
        popq    %r11
        popq    %r12
        popq    %r13
        popq    %r14
        popq    %r15
        popfq
        leaq    16(%rsp), %rsp
        ret
        .size   zadivo_trap_trampoline, .-zadivo_trap_trampoline
)");
// clang-format on
