// Host-side controls of the kernel emulation: where traces go, what an assertion does, pool accounting and
// fault injection, and reports of live hardware resources (mappings, interrupts, DMA). Tests, benchmarks and
// the tool use this; driver code never does. The PnP manager is in platform/host/pnp.h.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "platform/kernel.h"
#include "platform/ks.h"

namespace host {

// ---- Assertions
// ------------------------------------------------------------------------------------------------ RtlAssert
// prints its report and then calls the handler with the same text. Without a handler (the default) the
// process aborts, as a checked kernel would stop. Passing an empty function restores the default.
using AssertHandler = std::function<void(const char* report)>;
void setAssertHandler(AssertHandler handler);
// Assertions raised since the process started (whatever the handler did with them).
uint64_t assertCount();

// ---- Tracing
// ---------------------------------------------------------------------------------------------------
namespace trace {
void toStderr();
bool toFile(const std::string& path);  // false when the file cannot be opened (the sink is left unchanged)
int writeError();                      // 0, or the errno of the first failed write to the file (or its close)
void capture();                        // collect in memory; read with text()
void discard();                        // drop everything (benchmarks)
std::string text();
void clear();
uint64_t breakCount();  // DbgBreakPoint calls taken by an attached debugger
// A kernel debugger attached or not (not, at start): KdRefreshDebuggerNotPresent answers it, and a
// DbgBreakPoint without one is a misuse.
void attachDebugger(bool attached);
}  // namespace trace

// ---- IRQL
// ------------------------------------------------------------------------------------------------------ Sets
// the calling thread's IRQL without the checks of KeRaiseIrql/KeLowerIrql (host threads and tests that
// pretend to be a DPC or ISR).
void setThreadIrql(KIRQL irql);

// ---- Pool
// ------------------------------------------------------------------------------------------------------
namespace pool {
struct TagUsage {
  size_t blocks = 0;
  size_t bytes = 0;
};
// Outstanding allocations per tag.
std::map<ULONG, TagUsage> outstanding();
size_t outstandingBytes(ULONG tag);
size_t outstandingBlocks();
// Successful allocations since start (all tags / one tag).
uint64_t allocationCount();
uint64_t allocationCount(ULONG tag);
// The n-th allocation from now fails (1 = the next one); 0 cancels.
void failNth(uint64_t n);
// Every allocation with this tag fails until cleared.
void failTag(ULONG tag);
void clearFaults();
// Failures injected so far.
uint64_t injectedFailures();
// "Deva" for the tag stored in memory as 'D','e','v','a'; unprintable bytes as '.'.
std::string tagName(ULONG tag);
constexpr ULONG makeTag(const char (&s)[5]) {
  return ULONG(uint8_t(s[0])) | ULONG(uint8_t(s[1])) << 8 | ULONG(uint8_t(s[2])) << 16 |
         ULONG(uint8_t(s[3])) << 24;
}
// One line per tag: "Deva 3 blocks 1024 bytes".
std::string report();
}  // namespace pool

// ---- Hardware resources
// ----------------------------------------------------------------------------------------
namespace mmio {
void failNextMap();
size_t liveMappings();
// Whether address..address+bytes lies in one live MmMapIoSpace mapping.
bool mapped(const volatile void* address, size_t bytes);
}  // namespace mmio

namespace dma {
// Bus address given to the next common buffer (and onwards); default 0x80000000.
void setBusBase(uint64_t base);
void failNextAdapter();
void failNextCommonBuffer();
size_t liveAdapters();
size_t liveCommonBuffers();
}  // namespace dma

namespace irq {
size_t connectedCount();
// Calls the ISRs connected to the card's vector once, with the line as it is (a shared or spurious call).
// False when nothing is connected to that vector.
bool raiseSpurious(ULONG vector);
// ISR calls made so far and how many of them the ISR claimed.
uint64_t isrCalls();
uint64_t isrClaimed();
}  // namespace irq

namespace dpc {
// DPCs queued but not yet run.
size_t queuedCount();
uint64_t runCount();
// Test hook: the DPC threads start no DPC until resume() (one already running finishes). Queueing still works
// and a queued DPC is still not queued twice. KeFlushQueuedDpcs waits for a resume: resume before teardown.
void pause();
void resume();
}  // namespace dpc

// ---- Object bags (kernel-streaming objects use the same bags as the device)
// -----------------------------------
namespace bag {
KSOBJECT_BAG create();
// Runs every item's free callback (ExFreePool when none), last added first, then releases the bag.
void destroy(KSOBJECT_BAG bag);
size_t itemCount(KSOBJECT_BAG bag);
}  // namespace bag

// ---- Kernel streaming driver registration
// --------------------------------------------------------------------- The descriptor KsInitializeDriver
// recorded for a driver object, or nullptr.
const KSDEVICE_DESCRIPTOR* deviceDescriptorOf(PDRIVER_OBJECT driver);
// The next KsInitializeDriver returns this status (a failure) instead of registering.
void failNextKsInitializeDriver(NTSTATUS status);
// The KSDEVICE of a functional or physical device object the PnP manager created, or nullptr.
PKSDEVICE ksDeviceOf(PDEVICE_OBJECT deviceObject);

// ---- IRPs
// ------------------------------------------------------------------------------------------------------ IRPs
// built by IoBuildSynchronousFsdRequest and not yet completed.
size_t liveIrps();

}  // namespace host
