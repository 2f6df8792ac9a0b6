// Rundown protection, encoded as the kernel encodes it: references counted above bit 0 of Count; a rundown
// sets bit 0, and a waiter that finds references outstanding parks the address of a block on its own stack
// there (bit 0 still set), whose count the releases take down and whose event the last one signals.
#include "platform/host/internal.h"

namespace {

struct WaitBlock {
  ULONG_PTR count;  // references still out
  KEVENT wake;
};
static_assert(alignof(WaitBlock) > EX_RUNDOWN_ACTIVE, "the active bit must be free in a block's address");

ULONG_PTR* word(PEX_RUNDOWN_REF ref) { return const_cast<ULONG_PTR*>(&ref->Count); }

bool swap(PEX_RUNDOWN_REF ref, ULONG_PTR* expected, ULONG_PTR desired) {
  return __atomic_compare_exchange_n(word(ref), expected, desired, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

}  // namespace

extern "C" VOID FASTCALL ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef) {
  __atomic_store_n(word(RunRef), 0, __ATOMIC_RELEASE);
}

extern "C" VOID FASTCALL ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef) {
  if (!HOST_REQUIRE(__atomic_load_n(word(RunRef), __ATOMIC_ACQUIRE) == EX_RUNDOWN_ACTIVE,
                    "ExReInitializeRundownProtection on a reference whose rundown has not completed"))
    return;
  __atomic_store_n(word(RunRef), 0, __ATOMIC_RELEASE);
}

extern "C" VOID FASTCALL ExRundownCompleted(PEX_RUNDOWN_REF RunRef) {
  if (!HOST_REQUIRE(__atomic_load_n(word(RunRef), __ATOMIC_ACQUIRE) & EX_RUNDOWN_ACTIVE,
                    "ExRundownCompleted on a reference that is not being run down"))
    return;
  __atomic_store_n(word(RunRef), EX_RUNDOWN_ACTIVE, __ATOMIC_RELEASE);
}

extern "C" BOOLEAN FASTCALL ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef) {
  HOST_REQUIRE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "ExAcquireRundownProtection above DISPATCH_LEVEL");
  ULONG_PTR v = __atomic_load_n(word(RunRef), __ATOMIC_ACQUIRE);
  for (;;) {
    if (v & EX_RUNDOWN_ACTIVE) return FALSE;
    if (swap(RunRef, &v, v + EX_RUNDOWN_COUNT_INC)) return TRUE;
  }
}

extern "C" VOID FASTCALL ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef) {
  HOST_REQUIRE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "ExReleaseRundownProtection above DISPATCH_LEVEL");
  ULONG_PTR v = __atomic_load_n(word(RunRef), __ATOMIC_ACQUIRE);
  for (;;) {
    if (v & EX_RUNDOWN_ACTIVE) {
      auto* block = reinterpret_cast<WaitBlock*>(v & ~ULONG_PTR(EX_RUNDOWN_ACTIVE));
      if (!HOST_REQUIRE(block != nullptr, "ExReleaseRundownProtection without a reference held")) return;
      // The waiter cannot leave (and free its block) before this release has counted.
      if (__atomic_sub_fetch(&block->count, 1, __ATOMIC_ACQ_REL) == 0) KeSetEvent(&block->wake, 0, FALSE);
      return;
    }
    if (!HOST_REQUIRE(v >= EX_RUNDOWN_COUNT_INC, "ExReleaseRundownProtection without a reference held"))
      return;
    if (swap(RunRef, &v, v - EX_RUNDOWN_COUNT_INC)) return;
  }
}

extern "C" VOID FASTCALL ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef) {
  HOST_REQUIRE(KeGetCurrentIrql() <= APC_LEVEL, "ExWaitForRundownProtectionRelease above APC_LEVEL");
  WaitBlock block;
  ULONG_PTR v = __atomic_load_n(word(RunRef), __ATOMIC_ACQUIRE);
  for (;;) {
    if (v & EX_RUNDOWN_ACTIVE) {
      // Run down already: nothing to wait for. A block there means a second waiter, which the kernel forbids.
      HOST_REQUIRE(v == EX_RUNDOWN_ACTIVE, "ExWaitForRundownProtectionRelease while another wait is running");
      return;
    }
    if (v == 0) {
      if (swap(RunRef, &v, EX_RUNDOWN_ACTIVE)) return;
      continue;
    }
    block.count = v >> EX_RUNDOWN_COUNT_SHIFT;
    KeInitializeEvent(&block.wake, NotificationEvent, FALSE);
    if (swap(RunRef, &v, reinterpret_cast<ULONG_PTR>(&block) | EX_RUNDOWN_ACTIVE)) break;
  }
  KeWaitForSingleObject(&block.wake, Executive, KernelMode, FALSE, nullptr);
  __atomic_store_n(word(RunRef), EX_RUNDOWN_ACTIVE, __ATOMIC_RELEASE);
}
