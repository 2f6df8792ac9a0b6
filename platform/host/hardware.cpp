// The HAL side of plugged cards: register windows (MmMapIoSpace and the register accessors), interrupt
// connection with one interrupt thread per connection, and DMA adapters with common buffers whose bus
// addresses the card writes to.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <shared_mutex>
#include <utility>

#include "platform/host/internal.h"
#include "platform/host/kstack.h"
#include "platform/host/realtime.h"

namespace host {
namespace detail {
namespace {

struct Registry {
  std::mutex m;
  std::vector<std::shared_ptr<DeviceNode>> nodes;
};
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

}  // namespace

void registerNode(const std::shared_ptr<DeviceNode>& node) {
  std::lock_guard<std::mutex> g(registry().m);
  registry().nodes.push_back(node);
}

void unregisterNode(DeviceNode* node) {
  std::lock_guard<std::mutex> g(registry().m);
  auto& v = registry().nodes;
  v.erase(std::remove_if(v.begin(), v.end(), [&](auto& n) { return n.get() == node; }), v.end());
}

std::shared_ptr<DeviceNode> nodeByVector(ULONG vector) {
  std::lock_guard<std::mutex> g(registry().m);
  for (auto& n : registry().nodes)
    if (n->card->interruptVector() == vector) return n;
  return nullptr;
}

std::shared_ptr<DeviceNode> nodeByDevice(PDEVICE_OBJECT device) {
  if (!device) return nullptr;
  std::lock_guard<std::mutex> g(registry().m);
  for (auto& n : registry().nodes)
    if (&n->pdo == device || &n->fdo == device) return n;
  return nullptr;
}

static std::shared_ptr<DeviceNode> nodeByBar(uint64_t phys, uint64_t len, int* bar) {
  std::lock_guard<std::mutex> g(registry().m);
  for (auto& n : registry().nodes)
    for (int b = 0; b < 6; ++b) {
      uint64_t start = n->card->barAddress(b), size = n->card->barLength(b);
      if (start != 0 && phys >= start && len <= size && phys - start <= size - len) {
        *bar = b;
        return n;
      }
    }
  return nullptr;
}

}  // namespace detail

using detail::DeviceNode;

// ---- MMIO
// -----------------------------------------------------------------------------------------------------
namespace {

struct Mapping {
  uintptr_t base;
  size_t length;    // as the caller asked
  size_t reserved;  // rounded to pages
  std::weak_ptr<DeviceNode> node;
  const DeviceNode* owner;
  int bar;
  uint32_t barOffset;  // offset of base inside the BAR
};

struct MmioState {
  std::shared_mutex m;
  std::map<uintptr_t, Mapping> maps;  // by base
  bool failNext = false;
};
MmioState& mmioState() {
  static MmioState* s = new MmioState;
  return *s;
}

// The mapping that holds addr..addr+bytes-1, as a copy (the card is called without the table lock).
bool findMapping(uintptr_t addr, Mapping* out, size_t bytes = 4) {
  MmioState& s = mmioState();
  std::shared_lock<std::shared_mutex> g(s.m);
  auto it = s.maps.upper_bound(addr);
  if (it == s.maps.begin()) return false;
  --it;
  const Mapping& mp = it->second;
  if (addr - mp.base + bytes > mp.length) return false;
  *out = mp;
  return true;
}

}  // namespace

namespace mmio {
void failNextMap() {
  std::lock_guard<std::shared_mutex> g(mmioState().m);
  mmioState().failNext = true;
}
size_t liveMappings() {
  std::shared_lock<std::shared_mutex> g(mmioState().m);
  return mmioState().maps.size();
}
bool mapped(const volatile void* address, size_t bytes) {
  Mapping mp;
  return findMapping(reinterpret_cast<uintptr_t>(address), &mp, bytes);
}
}  // namespace mmio

size_t detail::mappingsOf(const DeviceNode* node) {
  std::shared_lock<std::shared_mutex> g(mmioState().m);
  size_t n = 0;
  for (auto& [b, mp] : mmioState().maps) n += mp.owner == node;
  return n;
}

// ---- Interrupts
// ---------------------------------------------------------------------------------------------
}  // namespace host

struct _KINTERRUPT {
  std::shared_ptr<host::detail::DeviceNode> node;
  PKSERVICE_ROUTINE isr;
  PVOID context;
  KSPIN_LOCK ownLock;
  PKSPIN_LOCK lock;
  KIRQL irql;  // synchronize IRQL: the level the ISR runs at
  ULONG vector;
  bool stop = false;      // guarded by node->lineMutex
  unsigned spurious = 0;  // guarded by node->lineMutex
  std::thread thread;
};

namespace host {
namespace {

struct IrqState {
  std::mutex m;
  std::vector<PKINTERRUPT> connected;
  std::atomic<uint64_t> calls{0}, claimed{0};
};
IrqState& irqState() {
  static IrqState* s = new IrqState;
  return *s;
}

bool callIsr(PKINTERRUPT in) {
  setThreadIrql(in->irql);
  detail::acquireRaw(in->lock);
  BOOLEAN mine = kstack::call(in->isr, in, in->context);
  detail::releaseRaw(in->lock);
  if (KeGetCurrentIrql() != in->irql) HOST_MISUSE("ISR returned at an IRQL other than its own");
  irqState().calls.fetch_add(1);
  if (mine) irqState().claimed.fetch_add(1);
  return mine != FALSE;
}

// Calls the ISR while the line is asserted, then runs the DPCs it queued. An ISR that declines an asserted
// line is not called again until the line changes level: a stuck line must not spin a processor (a card
// releases its line before an acknowledging write returns, so a decline is never a stale level).
void interruptThread(PKINTERRUPT in) {
  realtime::enter(realtime::Rank::Interrupt);
  detail::DpcRunner dpcs;
  DeviceNode& n = *in->node;
  uint64_t declinedAt = ~uint64_t(0);  // line generation at which the ISR declined
  std::unique_lock<std::mutex> g(n.lineMutex);
  for (;;) {
    n.lineCv.wait(g, [&] { return in->stop || in->spurious > 0 || (n.line && n.lineGen != declinedAt); });
    if (in->stop) break;
    bool spurious = in->spurious > 0;
    if (spurious) in->spurious--;
    uint64_t gen = n.lineGen;
    g.unlock();
    bool mine = callIsr(in);
    dpcs.runQueued();
    g.lock();
    if (!mine && !spurious && n.line && n.lineGen == gen) declinedAt = gen;
  }
  g.unlock();
  realtime::leave();
}

}  // namespace

void detail::NodeBus::setInterruptLine(bool asserted) {
  {
    std::lock_guard<std::mutex> g(node_->lineMutex);
    if (node_->line == asserted) return;
    node_->line = asserted;
    node_->lineGen++;
  }
  node_->lineCv.notify_all();
}

size_t detail::interruptsOf(const DeviceNode* node) {
  std::lock_guard<std::mutex> g(irqState().m);
  size_t n = 0;
  for (auto* in : irqState().connected) n += in->node.get() == node;
  return n;
}

namespace irq {
size_t connectedCount() {
  std::lock_guard<std::mutex> g(irqState().m);
  return irqState().connected.size();
}
bool raiseSpurious(ULONG vector) {
  std::lock_guard<std::mutex> g(irqState().m);
  bool any = false;
  for (auto* in : irqState().connected) {
    if (in->vector != vector) continue;
    {
      std::lock_guard<std::mutex> lg(in->node->lineMutex);
      in->spurious++;
    }
    in->node->lineCv.notify_all();
    any = true;
  }
  return any;
}
uint64_t isrCalls() { return irqState().calls.load(); }
uint64_t isrClaimed() { return irqState().claimed.load(); }
}  // namespace irq

// ---- DMA
// ----------------------------------------------------------------------------------------------------
namespace {

struct HostAdapter {
  DMA_ADAPTER header;  // first: the driver sees this
  DMA_OPERATIONS ops;
  std::shared_ptr<DeviceNode> node;
};

struct CommonBuffer {
  HostAdapter* adapter;
  uint8_t* va;
  uint64_t bus;
  ULONG length;
};

struct DmaState {
  std::mutex m;  // also held while the card copies into a buffer, so a free waits for the copy
  std::vector<HostAdapter*> adapters;
  std::vector<CommonBuffer> buffers;
  uint64_t nextBus = 0x80000000ULL;
  bool failAdapter = false, failBuffer = false;
};
DmaState& dmaState() {
  static DmaState* s = new DmaState;
  return *s;
}

size_t pagesOf(ULONG length) { return (static_cast<size_t>(length) + 4095) & ~size_t(4095); }

// ThreadSanitizer forgets only the first kilobyte of a freed heap block: a later card's buffer at the same
// address would carry the last card's DPC reads into the new card's DMA writes, a race between two
// machines that never met. Unmapped memory is forgotten whole.
uint8_t* allocateBuffer(size_t bytes) {
#ifdef HOST_TSAN
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
#else
  return static_cast<uint8_t*>(aligned_alloc(4096, bytes));
#endif
}

void freeBuffer(uint8_t* va, size_t bytes) {
#ifdef HOST_TSAN
  munmap(va, bytes);
#else
  (void)bytes;
  free(va);
#endif
}

bool liveAdapter(DMA_ADAPTER* a) {
  auto& v = dmaState().adapters;
  return std::find(v.begin(), v.end(), reinterpret_cast<HostAdapter*>(a)) != v.end();
}

VOID NTAPI putDmaAdapter(DMA_ADAPTER* a) {
  DmaState& s = dmaState();
  const char* problem = nullptr;
  {
    std::lock_guard<std::mutex> g(s.m);
    if (!liveAdapter(a)) {
      problem = "PutDmaAdapter of an adapter that is not live";
    } else {
      auto* ha = reinterpret_cast<HostAdapter*>(a);
      bool busy = std::any_of(s.buffers.begin(), s.buffers.end(), [&](auto& b) { return b.adapter == ha; });
      if (busy) {
        problem = "PutDmaAdapter with common buffers still allocated";
      } else {
        s.adapters.erase(std::find(s.adapters.begin(), s.adapters.end(), ha));
        delete ha;
      }
    }
  }
  if (problem) HOST_MISUSE(problem);
}

PVOID NTAPI allocateCommonBuffer(DMA_ADAPTER* a, ULONG length, PPHYSICAL_ADDRESS logical,
                                 BOOLEAN cacheEnabled) {
  (void)cacheEnabled;
  HOST_REQUIRE(KeGetCurrentIrql() == PASSIVE_LEVEL, "AllocateCommonBuffer above PASSIVE_LEVEL");
  DmaState& s = dmaState();
  std::unique_lock<std::mutex> g(s.m);
  if (!liveAdapter(a)) {
    g.unlock();
    HOST_MISUSE("AllocateCommonBuffer on an adapter that is not live");
    return nullptr;
  }
  if (s.failBuffer || length == 0) {
    s.failBuffer = false;
    return nullptr;
  }
  const size_t rounded = pagesOf(length);
  uint8_t* va = allocateBuffer(rounded);
  if (!va) return nullptr;
  memset(va, 0, rounded);
  uint64_t bus = s.nextBus;
  s.nextBus += (rounded + 0xFFFF) & ~uint64_t(0xFFFF);
  s.buffers.push_back({reinterpret_cast<HostAdapter*>(a), va, bus, length});
  logical->QuadPart = static_cast<LONGLONG>(bus);
  return va;
}

VOID NTAPI freeCommonBuffer(DMA_ADAPTER* a, ULONG length, PHYSICAL_ADDRESS logical, PVOID va,
                            BOOLEAN cacheEnabled) {
  (void)cacheEnabled;
  if (!HOST_REQUIRE(KeGetCurrentIrql() == PASSIVE_LEVEL, "FreeCommonBuffer above PASSIVE_LEVEL")) return;
  DmaState& s = dmaState();
  const char* problem = nullptr;
  {
    std::lock_guard<std::mutex> g(s.m);
    auto it = std::find_if(s.buffers.begin(), s.buffers.end(), [&](auto& b) { return b.va == va; });
    if (it == s.buffers.end())
      problem = "FreeCommonBuffer of an address that is not a live common buffer";
    else if (it->adapter != reinterpret_cast<HostAdapter*>(a))
      problem = "FreeCommonBuffer through another adapter than the one that allocated it";
    else if (it->length != length || it->bus != static_cast<uint64_t>(logical.QuadPart))
      problem = "FreeCommonBuffer with a length or logical address that does not match the allocation";
    else {
      freeBuffer(it->va, pagesOf(it->length));
      s.buffers.erase(it);
    }
  }
  if (problem) HOST_MISUSE(problem);
}

// The operations the emulation does not implement: each reports a misuse naming itself and answers what its
// caller takes for failure (STATUS_NOT_IMPLEMENTED, null, FALSE or 0).
struct MissingDmaOperation {
  const char* report;
  ULONG_PTR failure;
};
constexpr ULONG_PTR kNotImplemented = static_cast<ULONG>(STATUS_NOT_IMPLEMENTED);
constexpr MissingDmaOperation kMissingDmaOperations[] = {
    {"DMA_OPERATIONS.AllocateAdapterChannel is not emulated", kNotImplemented},
    {"DMA_OPERATIONS.FlushAdapterBuffers is not emulated", FALSE},
    {"DMA_OPERATIONS.FreeAdapterChannel is not emulated", 0},
    {"DMA_OPERATIONS.FreeMapRegisters is not emulated", 0},
    {"DMA_OPERATIONS.MapTransfer is not emulated", 0},
    {"DMA_OPERATIONS.GetDmaAlignment is not emulated", 0},
    {"DMA_OPERATIONS.ReadDmaCounter is not emulated", 0},
    {"DMA_OPERATIONS.GetScatterGatherList is not emulated", kNotImplemented},
    {"DMA_OPERATIONS.PutScatterGatherList is not emulated", 0},
    {"DMA_OPERATIONS.CalculateScatterGatherList is not emulated", kNotImplemented},
    {"DMA_OPERATIONS.BuildScatterGatherList is not emulated", kNotImplemented},
    {"DMA_OPERATIONS.BuildMdlFromScatterGatherList is not emulated", kNotImplemented},
};
constexpr size_t kMissingDmaCount = sizeof kMissingDmaOperations / sizeof kMissingDmaOperations[0];
static_assert(offsetof(DMA_OPERATIONS, BuildMdlFromScatterGatherList) -
                      offsetof(DMA_OPERATIONS, AllocateAdapterChannel) ==
                  (kMissingDmaCount - 1) * sizeof(PVOID),
              "one report per slot after FreeCommonBuffer");

template <size_t N>
ULONG_PTR NTAPI missingDmaOperation() {
  HOST_MISUSE(kMissingDmaOperations[N].report);
  return kMissingDmaOperations[N].failure;
}

template <size_t... N>
void fillMissingDmaOperations(DMA_OPERATIONS* ops, std::index_sequence<N...>) {
  const PVOID slots[] = {reinterpret_cast<PVOID>(&missingDmaOperation<N>)...};
  memcpy(&ops->AllocateAdapterChannel, slots, sizeof slots);
}

}  // namespace

bool detail::NodeBus::dmaWrite(uint64_t busAddr, const void* src, size_t len) {
  DmaState& s = dmaState();
  std::lock_guard<std::mutex> g(s.m);
  for (auto& b : s.buffers) {
    if (b.adapter->node.get() != node_) continue;
    if (busAddr >= b.bus && len <= b.length && busAddr - b.bus <= b.length - len) {
      memcpy(b.va + (busAddr - b.bus), src, len);
      return true;
    }
  }
  return false;
}

size_t detail::adaptersOf(const DeviceNode* node) {
  std::lock_guard<std::mutex> g(dmaState().m);
  size_t n = 0;
  for (auto* a : dmaState().adapters) n += a->node.get() == node;
  return n;
}

namespace dma {
void setBusBase(uint64_t base) {
  std::lock_guard<std::mutex> g(dmaState().m);
  dmaState().nextBus = base;
}
void failNextAdapter() {
  std::lock_guard<std::mutex> g(dmaState().m);
  dmaState().failAdapter = true;
}
void failNextCommonBuffer() {
  std::lock_guard<std::mutex> g(dmaState().m);
  dmaState().failBuffer = true;
}
size_t liveAdapters() {
  std::lock_guard<std::mutex> g(dmaState().m);
  return dmaState().adapters.size();
}
size_t liveCommonBuffers() {
  std::lock_guard<std::mutex> g(dmaState().m);
  return dmaState().buffers.size();
}
}  // namespace dma

}  // namespace host

using namespace host;

// ---- Kernel entry points
// --------------------------------------------------------------------------------------
extern "C" PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                              MEMORY_CACHING_TYPE CacheType) {
  (void)CacheType;
  MmioState& s = mmioState();
  {
    std::lock_guard<std::shared_mutex> g(s.m);
    if (s.failNext) {
      s.failNext = false;
      return nullptr;
    }
  }
  if (NumberOfBytes == 0) return nullptr;
  int bar = 0;
  uint64_t phys = static_cast<uint64_t>(PhysicalAddress.QuadPart);
  auto node = detail::nodeByBar(phys, NumberOfBytes, &bar);
  if (!node) {
    DbgPrint("host: MmMapIoSpace(%llx, %llx): no card decodes this range\n", (unsigned long long)phys,
             (unsigned long long)NumberOfBytes);
    return nullptr;
  }
  // A reserved, inaccessible range: the driver must go through the register accessors.
  size_t reserved = (NumberOfBytes + 4095) & ~size_t(4095);
  void* va = mmap(nullptr, reserved, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (va == MAP_FAILED) return nullptr;
  Mapping mp{reinterpret_cast<uintptr_t>(va),
             NumberOfBytes,
             reserved,
             node,
             node.get(),
             bar,
             static_cast<uint32_t>(phys - node->card->barAddress(bar))};
  std::lock_guard<std::shared_mutex> g(s.m);
  s.maps.emplace(mp.base, mp);
  return va;
}

extern "C" VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  MmioState& s = mmioState();
  const char* problem = nullptr;
  {
    std::lock_guard<std::shared_mutex> g(s.m);
    auto it = s.maps.find(reinterpret_cast<uintptr_t>(BaseAddress));
    if (it == s.maps.end()) {
      problem = "MmUnmapIoSpace of an address that is not a mapped I/O range";
    } else if (it->second.length != NumberOfBytes) {
      problem = "MmUnmapIoSpace with a length other than the mapping's";
    } else {
      munmap(BaseAddress, it->second.reserved);
      s.maps.erase(it);
    }
  }
  if (problem) HOST_MISUSE(problem);
}

extern "C" ULONG READ_REGISTER_ULONG(volatile ULONG* Register) {
  Mapping mp;
  if (!findMapping(reinterpret_cast<uintptr_t>(Register), &mp)) {
    HOST_MISUSE("READ_REGISTER_ULONG of an address outside every mapped I/O range");
    return 0xFFFFFFFF;
  }
  auto node = mp.node.lock();
  if (!node) return 0xFFFFFFFF;
  std::shared_lock<std::shared_mutex> g(node->cardMutex);
  if (!node->card) return 0xFFFFFFFF;  // card gone: reads float high as on a real bus
  return node->card->mmioRead(
      mp.bar, mp.barOffset + static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Register) - mp.base));
}

extern "C" VOID WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) {
  Mapping mp;
  if (!findMapping(reinterpret_cast<uintptr_t>(Register), &mp)) {
    HOST_MISUSE("WRITE_REGISTER_ULONG of an address outside every mapped I/O range");
    return;
  }
  auto node = mp.node.lock();
  if (!node) return;
  std::shared_lock<std::shared_mutex> g(node->cardMutex);
  if (!node->card) return;
  node->card->mmioWrite(
      mp.bar, mp.barOffset + static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Register) - mp.base), Value);
}

extern "C" NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine,
                                       PVOID ServiceContext, PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql,
                                       KIRQL SynchronizeIrql, KINTERRUPT_MODE InterruptMode,
                                       BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                                       BOOLEAN FloatingSave) {
  (void)InterruptMode;
  (void)ShareVector;
  (void)FloatingSave;
  HOST_REQUIRE(KeGetCurrentIrql() == PASSIVE_LEVEL, "IoConnectInterrupt above PASSIVE_LEVEL");
  if (!InterruptObject || !ServiceRoutine) return STATUS_INVALID_PARAMETER;
  *InterruptObject = nullptr;
  auto node = detail::nodeByVector(Vector);
  if (!node || Irql <= DISPATCH_LEVEL || SynchronizeIrql < Irql || ProcessorEnableMask == 0)
    return STATUS_INVALID_PARAMETER;
  auto* in = new _KINTERRUPT;
  in->node = node;
  in->isr = ServiceRoutine;
  in->context = ServiceContext;
  in->ownLock = 0;
  in->lock = SpinLock ? SpinLock : &in->ownLock;
  in->irql = SynchronizeIrql;
  in->vector = Vector;
  {
    std::lock_guard<std::mutex> g(irqState().m);
    irqState().connected.push_back(in);
  }
  in->thread = std::thread(interruptThread, in);
  *InterruptObject = in;
  return STATUS_SUCCESS;
}

extern "C" VOID IoDisconnectInterrupt(PKINTERRUPT InterruptObject) {
  if (!HOST_REQUIRE(KeGetCurrentIrql() == PASSIVE_LEVEL, "IoDisconnectInterrupt above PASSIVE_LEVEL")) return;
  {
    std::lock_guard<std::mutex> g(irqState().m);
    auto& v = irqState().connected;
    auto it = std::find(v.begin(), v.end(), InterruptObject);
    if (it == v.end()) {
      HOST_MISUSE("IoDisconnectInterrupt of an interrupt that is not connected");
      return;
    }
    if (InterruptObject->thread.get_id() == std::this_thread::get_id()) {
      HOST_MISUSE("IoDisconnectInterrupt from the interrupt's own ISR");
      return;
    }
    v.erase(it);
  }
  {
    std::lock_guard<std::mutex> g(InterruptObject->node->lineMutex);
    InterruptObject->stop = true;
  }
  InterruptObject->node->lineCv.notify_all();
  InterruptObject->thread.join();
  delete InterruptObject;
}

extern "C" BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                                          PVOID SynchronizeContext) {
  KIRQL old;
  KeRaiseIrql(Interrupt->irql > KeGetCurrentIrql() ? Interrupt->irql : KeGetCurrentIrql(), &old);
  detail::acquireRaw(Interrupt->lock);
  BOOLEAN r = kstack::call(SynchronizeRoutine, SynchronizeContext);
  detail::releaseRaw(Interrupt->lock);
  KeLowerIrql(old);
  return r;
}

extern "C" PDMA_ADAPTER IoGetDmaAdapter(PDEVICE_OBJECT PhysicalDeviceObject,
                                        PDEVICE_DESCRIPTION DeviceDescription, PULONG NumberOfMapRegisters) {
  HOST_REQUIRE(KeGetCurrentIrql() == PASSIVE_LEVEL, "IoGetDmaAdapter above PASSIVE_LEVEL");
  auto node = detail::nodeByDevice(PhysicalDeviceObject);
  if (!node || !DeviceDescription || !NumberOfMapRegisters) return nullptr;
  DmaState& s = dmaState();
  std::lock_guard<std::mutex> g(s.m);
  if (s.failAdapter) {
    s.failAdapter = false;
    return nullptr;
  }
  if (!DeviceDescription->Master) return nullptr;  // the emulation has no system DMA controller
  auto* a = new HostAdapter{};
  a->ops.Size = sizeof(DMA_OPERATIONS);
  a->ops.PutDmaAdapter = putDmaAdapter;
  a->ops.AllocateCommonBuffer = allocateCommonBuffer;
  a->ops.FreeCommonBuffer = freeCommonBuffer;
  fillMissingDmaOperations(&a->ops, std::make_index_sequence<kMissingDmaCount>());
  a->header.Version = 1;
  a->header.Size = sizeof(DMA_ADAPTER);
  a->header.DmaOperations = &a->ops;
  a->node = node;
  ULONG pages = DeviceDescription->MaximumLength / 4096 + 1;
  if (*NumberOfMapRegisters > pages) *NumberOfMapRegisters = pages;
  s.adapters.push_back(a);
  return &a->header;
}
