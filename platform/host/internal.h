// Shared internals of the kernel emulation: the per-card device node that the PnP manager creates and that
// the MMIO, interrupt, DMA and I/O code look up. Not for use outside platform/host.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/bus.h"
#include "platform/host/host.h"
#include "platform/kernel.h"
#include "platform/ks.h"

// Defined when built with ThreadSanitizer (gcc or clang).
#if defined(__SANITIZE_THREAD__)
#define HOST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define HOST_TSAN 1
#endif
#endif

namespace host::detail {

// Reports a misuse through RtlAssert (abort by default, the test's handler otherwise).
void misuse(const char* what, const char* file, int line);
#define HOST_MISUSE(what) ::host::detail::misuse((what), __FILE__, __LINE__)
#define HOST_REQUIRE(cond, what) ((cond) ? true : (HOST_MISUSE(what), false))

// An opaque per-thread identity (what KTHREAD* is on the real system).
struct _KTHREAD* currentThread();

// Kernel-level raw spin lock on a KSPIN_LOCK word, no IRQL change.
void acquireRaw(PKSPIN_LOCK lock);
void releaseRaw(PKSPIN_LOCK lock);

// An interrupt thread's share of the DPC queue: the DPCs its ISR queues wait for runQueued(), which the
// thread calls when the ISR returns, instead of waking a DPC thread. One per interrupt thread, on that
// thread.
class DpcRunner {
 public:
  DpcRunner();
  ~DpcRunner();
  DpcRunner(const DpcRunner&) = delete;
  DpcRunner& operator=(const DpcRunner&) = delete;
  void runQueued();
  struct Slot;

 private:
  Slot* slot_;
};

struct DeviceNode;

class NodeBus final : public HostBus {
 public:
  explicit NodeBus(DeviceNode* node) : node_(node) {}
  bool dmaWrite(uint64_t busAddr, const void* src, size_t len) override;
  void setInterruptLine(bool asserted) override;

 private:
  DeviceNode* node_;
};

// One plugged card: its PCI function, the bus the host gives it, its device objects and KSDEVICE.
struct DeviceNode {
  explicit DeviceNode(PciFunction& c) : card(&c), bus(this) {}
  // Null once the card is unplugged; register accessors hold cardMutex shared while they call the card.
  PciFunction* card;
  std::shared_mutex cardMutex;
  NodeBus bus;

  // Interrupt line, guarded by lineMutex.
  std::mutex lineMutex;
  std::condition_variable lineCv;
  bool line = false;
  uint64_t lineGen = 0;  // level changes

  DEVICE_OBJECT pdo{};
  DEVICE_OBJECT fdo{};
  KSDEVICE ks{};
  PDRIVER_OBJECT driver = nullptr;
  bool added = false;

  // Test hooks, guarded by hookMutex.
  std::mutex hookMutex;
  std::map<int, NTSTATUS> failedProperties;
  bool configPending = false;
  std::vector<std::thread> completions;  // threads completing pending config IRPs
};

// Registry of plugged cards (shared ownership so a late MMIO or DMA access never touches a freed node).
void registerNode(const std::shared_ptr<DeviceNode>& node);
void unregisterNode(DeviceNode* node);
std::shared_ptr<DeviceNode> nodeByVector(ULONG vector);
std::shared_ptr<DeviceNode> nodeByDevice(PDEVICE_OBJECT device);

// The bus driver object that owns every PDO.
PDRIVER_OBJECT busDriverObject();

// Resources still held for a node (used by the PnP manager's removal report).
size_t mappingsOf(const DeviceNode* node);
size_t interruptsOf(const DeviceNode* node);
size_t adaptersOf(const DeviceNode* node);
// Returns once no work item of the device object is queued or running (its reference on the object gone).
void waitForWorkItems(PDEVICE_OBJECT device);
// Kernel-streaming registration side table.
void forgetDriver(PDRIVER_OBJECT driver);

}  // namespace host::detail
