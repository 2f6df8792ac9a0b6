// Register windows, interrupts, DMA common buffers, device properties and configuration IRPs on fake cards.
#include "platform/kernel.h"
#include "tests/host/machine.h"

using hosttest::AssertRecorder;
using hosttest::BareMachine;
using hosttest::FakeCard;
using hosttest::waitFor;

namespace {

constexpr uint64_t kBar = 0xF0000000;

PHYSICAL_ADDRESS phys(uint64_t a) {
  PHYSICAL_ADDRESS p;
  p.QuadPart = static_cast<LONGLONG>(a);
  return p;
}

class Hardware : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(machine.pnp.addCard(card), STATUS_SUCCESS); }
  FakeCard card{3, 7, 0x41, kBar};
  BareMachine machine;
};

TEST_F(Hardware, MmioReachesTheCardsBarAtTheMappedOffset) {
  size_t live = host::mmio::liveMappings();
  auto* regs = static_cast<volatile ULONG*>(MmMapIoSpace(phys(kBar + 0x100), 0x100, MmNonCached));
  ASSERT_NE(regs, nullptr);
  EXPECT_EQ(host::mmio::liveMappings(), live + 1);
  WRITE_REGISTER_ULONG(regs + 4, 0xCAFEF00D);
  EXPECT_EQ(card.reg(0x110), 0xCAFEF00Du);
  EXPECT_EQ(READ_REGISTER_ULONG(regs + 4), 0xCAFEF00Du);
  EXPECT_EQ(card.lastBar.load(), 0);

  // Ranges no card decodes, and the injected failure.
  EXPECT_EQ(MmMapIoSpace(phys(kBar + 0xF00), 0x200, MmNonCached), nullptr);
  EXPECT_EQ(MmMapIoSpace(phys(0x1000), 0x100, MmNonCached), nullptr);
  host::mmio::failNextMap();
  EXPECT_EQ(MmMapIoSpace(phys(kBar), 0x1000, MmNonCached), nullptr);

  AssertRecorder rec;
  READ_REGISTER_ULONG(regs + 64);  // one past the mapped length
  EXPECT_TRUE(rec.saw("outside every mapped I/O range"));
  MmUnmapIoSpace((PVOID)regs, 0x1000);
  EXPECT_TRUE(rec.saw("length other than"));
  EXPECT_EQ(host::mmio::liveMappings(), live + 1) << "a refused unmap keeps the mapping";
  MmUnmapIoSpace((PVOID)regs, 0x100);
  EXPECT_EQ(host::mmio::liveMappings(), live);
  EXPECT_EQ(rec.count(), 2u);
  MmUnmapIoSpace((PVOID)regs, 0x100);
  EXPECT_TRUE(rec.saw("not a mapped I/O range"));
  EXPECT_EQ(READ_REGISTER_ULONG(regs + 4), 0xFFFFFFFFu);
}

using HardwareDeathTest = Hardware;

TEST_F(HardwareDeathTest, DirectDereferenceOfAMappedAddressCrashes) {
  auto* regs = static_cast<volatile ULONG*>(MmMapIoSpace(phys(kBar), 0x1000, MmNonCached));
  ASSERT_NE(regs, nullptr);
  EXPECT_DEATH({ (void)regs[1]; }, "");
  MmUnmapIoSpace((PVOID)regs, 0x1000);
}

struct IsrState {
  volatile ULONG* regs = nullptr;
  std::atomic<int> calls{0}, claimed{0}, atDeviceLevel{0};
  std::atomic<bool> acknowledge{true};
};

BOOLEAN NTAPI testIsr(PKINTERRUPT, PVOID ctx) {
  auto* s = static_cast<IsrState*>(ctx);
  s->calls++;
  if (KeGetCurrentIrql() == host::kDeviceIrql) s->atDeviceLevel++;
  ULONG status = READ_REGISTER_ULONG(s->regs);
  if (status == 0 || !s->acknowledge) return FALSE;
  WRITE_REGISTER_ULONG(s->regs, status);
  s->claimed++;
  return TRUE;
}

BOOLEAN NTAPI syncRoutine(PVOID ctx) {
  *static_cast<KIRQL*>(ctx) = KeGetCurrentIrql();
  return TRUE;
}

TEST_F(Hardware, InterruptThreadCallsTheIsrWhileTheLineIsAsserted) {
  IsrState s;
  s.regs = static_cast<volatile ULONG*>(MmMapIoSpace(phys(kBar), 0x1000, MmNonCached));
  PKINTERRUPT irq = nullptr;
  EXPECT_EQ(IoConnectInterrupt(&irq, testIsr, &s, nullptr, 0x99, host::kDeviceIrql, host::kDeviceIrql,
                               LevelSensitive, TRUE, 1, FALSE),
            STATUS_INVALID_PARAMETER);
  ASSERT_EQ(IoConnectInterrupt(&irq, testIsr, &s, nullptr, 0x41, host::kDeviceIrql, host::kDeviceIrql,
                               LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  EXPECT_EQ(host::irq::connectedCount(), 1u);

  card.raise(0x10);
  ASSERT_TRUE(waitFor([&] { return s.claimed.load() == 1; }));
  EXPECT_EQ(card.reg(0), 0u);
  EXPECT_EQ(s.atDeviceLevel.load(), s.calls.load());

  // A spurious call: the ISR finds no status bit and declines.
  int before = s.calls.load();
  EXPECT_TRUE(host::irq::raiseSpurious(0x41));
  ASSERT_TRUE(waitFor([&] { return s.calls.load() == before + 1; }));
  EXPECT_EQ(s.claimed.load(), 1);
  EXPECT_FALSE(host::irq::raiseSpurious(0x77));

  // A line the ISR declines is not hammered: one call until the level changes.
  s.acknowledge = false;
  before = s.calls.load();
  card.raise(0x20);
  ASSERT_TRUE(waitFor([&] { return s.calls.load() == before + 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(s.calls.load(), before + 1);
  s.acknowledge = true;
  card.setLine(false);
  card.setLine(true);
  ASSERT_TRUE(waitFor([&] { return s.claimed.load() == 2; }));

  KIRQL seen = 0;
  EXPECT_TRUE(KeSynchronizeExecution(irq, syncRoutine, &seen));
  EXPECT_EQ(seen, host::kDeviceIrql);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  {
    AssertRecorder rec;
    host::setThreadIrql(DISPATCH_LEVEL);
    IoDisconnectInterrupt(irq);
    host::setThreadIrql(PASSIVE_LEVEL);
    EXPECT_TRUE(rec.saw("IoDisconnectInterrupt above PASSIVE_LEVEL"));
    EXPECT_EQ(host::irq::connectedCount(), 1u) << "a refused disconnect leaves the interrupt connected";
  }
  IoDisconnectInterrupt(irq);
  EXPECT_EQ(host::irq::connectedCount(), 0u);
  MmUnmapIoSpace((PVOID)s.regs, 0x1000);
}

struct DpcProbe {
  std::atomic<bool> hold{false}, started{false};
  std::atomic<int> runs{0}, atDispatch{0};
};

VOID NTAPI probeDpc(PKDPC, PVOID ctx, PVOID, PVOID) {
  auto* p = static_cast<DpcProbe*>(ctx);
  p->started = true;
  if (KeGetCurrentIrql() == DISPATCH_LEVEL) p->atDispatch++;
  while (p->hold.load()) std::this_thread::sleep_for(std::chrono::microseconds(50));
  p->runs++;
}

struct QueueingIsr {
  volatile ULONG* regs = nullptr;
  KDPC* dpc = nullptr;
};

BOOLEAN NTAPI queueingIsr(PKINTERRUPT, PVOID ctx) {
  auto* q = static_cast<QueueingIsr*>(ctx);
  ULONG status = READ_REGISTER_ULONG(q->regs);
  if (status == 0) return FALSE;
  WRITE_REGISTER_ULONG(q->regs, status);
  KeInsertQueueDpc(q->dpc, nullptr, nullptr);
  return TRUE;
}

// The interrupt thread runs the DPC its ISR queued on its way down from the interrupt's level, as the
// processor that took an interrupt does: it does not wait for a DPC thread, even when both are busy.
TEST_F(Hardware, DpcQueuedByTheIsrRunsRightAfterItWhileDpcThreadsAreBusy) {
  DpcProbe busy[2], served;
  KDPC busyDpc[2], servedDpc;
  for (int i = 0; i < 2; ++i) {
    busy[i].hold = true;
    KeInitializeDpc(&busyDpc[i], probeDpc, &busy[i]);
    ASSERT_TRUE(KeInsertQueueDpc(&busyDpc[i], nullptr, nullptr));
  }
  ASSERT_TRUE(waitFor([&] { return busy[0].started && busy[1].started; }));
  KeInitializeDpc(&servedDpc, probeDpc, &served);
  QueueingIsr q{static_cast<volatile ULONG*>(MmMapIoSpace(phys(kBar), 0x1000, MmNonCached)), &servedDpc};
  PKINTERRUPT irq = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&irq, queueingIsr, &q, nullptr, 0x41, host::kDeviceIrql, host::kDeviceIrql,
                               LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  card.raise(0x10);
  EXPECT_TRUE(waitFor([&] { return served.runs.load() == 1; }));
  EXPECT_EQ(served.atDispatch.load(), 1);
  EXPECT_EQ(busy[0].runs.load() + busy[1].runs.load(), 0) << "both DPC threads were still held";
  busy[0].hold = busy[1].hold = false;
  KeFlushQueuedDpcs();
  IoDisconnectInterrupt(irq);
  MmUnmapIoSpace((PVOID)q.regs, 0x1000);
}

TEST_F(Hardware, CommonBuffersGetHostBusAddressesTheCardCanWriteWhileLive) {
  host::dma::setBusBase(0x1FFF00000ULL);
  DEVICE_DESCRIPTION desc{};
  desc.Master = TRUE;
  desc.Dma32BitAddresses = TRUE;
  desc.InterfaceType = PCIBus;
  desc.MaximumLength = 0x400000;
  ULONG mapRegs = 1024;
  PDMA_ADAPTER a = IoGetDmaAdapter(machine.pnp.pdo(card), &desc, &mapRegs);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(host::dma::liveAdapters(), 1u);
  PHYSICAL_ADDRESS la{};
  auto* va = static_cast<uint8_t*>(a->DmaOperations->AllocateCommonBuffer(a, 0x400000, &la, FALSE));
  ASSERT_NE(va, nullptr);
  EXPECT_EQ(la.QuadPart, 0x1FFF00000LL);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(va) % 4096, 0u);
  // Low half near the top so a driver's 32-bit channel offsets wrap.
  EXPECT_EQ(la.LowPart, 0xFFF00000u);
  EXPECT_EQ(la.HighPart, 1);

  const char data[] = "transport";
  ASSERT_TRUE(card.hostBus.load()->dmaWrite(la.QuadPart + 3 * 0x5E000, data, sizeof data));
  EXPECT_EQ(memcmp(va + 3 * 0x5E000, data, sizeof data), 0);
  EXPECT_FALSE(card.hostBus.load()->dmaWrite(la.QuadPart + 0x400000 - 4, data, sizeof data))
      << "runs past the end";
  EXPECT_FALSE(card.hostBus.load()->dmaWrite(la.QuadPart - 16, data, 8));

  FakeCard other(4, 1, 0x42, 0xF1000000);
  ASSERT_EQ(machine.pnp.addCard(other), STATUS_SUCCESS);
  EXPECT_FALSE(other.hostBus.load()->dmaWrite(la.QuadPart, data, 8)) << "not the other card's buffer";
  EXPECT_EQ(machine.pnp.remove(other), STATUS_SUCCESS);

  {
    AssertRecorder rec;
    a->DmaOperations->FreeCommonBuffer(a, 0x200000, la, va, FALSE);
    EXPECT_TRUE(rec.saw("does not match"));
    a->DmaOperations->PutDmaAdapter(a);
    EXPECT_TRUE(rec.saw("still allocated"));
    host::setThreadIrql(DISPATCH_LEVEL);
    a->DmaOperations->FreeCommonBuffer(a, 0x400000, la, va, FALSE);
    host::setThreadIrql(PASSIVE_LEVEL);
    EXPECT_TRUE(rec.saw("FreeCommonBuffer above PASSIVE_LEVEL"));
    EXPECT_EQ(host::dma::liveCommonBuffers(), 1u);
    // Every slot of the table leads somewhere: the operations not emulated report themselves and fail.
    EXPECT_EQ(a->DmaOperations->Size, sizeof(DMA_OPERATIONS));
    using Operation = ULONG_PTR(NTAPI*)();
    EXPECT_EQ(static_cast<ULONG>(reinterpret_cast<Operation>(a->DmaOperations->GetScatterGatherList)()),
              static_cast<ULONG>(STATUS_NOT_IMPLEMENTED));
    EXPECT_TRUE(rec.saw("DMA_OPERATIONS.GetScatterGatherList is not emulated"));
    EXPECT_EQ(reinterpret_cast<Operation>(a->DmaOperations->MapTransfer)(), 0u);
    EXPECT_TRUE(rec.saw("DMA_OPERATIONS.MapTransfer is not emulated"));
  }
  a->DmaOperations->FreeCommonBuffer(a, 0x400000, la, va, FALSE);
  EXPECT_EQ(host::dma::liveCommonBuffers(), 0u);
  EXPECT_FALSE(card.hostBus.load()->dmaWrite(la.QuadPart, data, 8)) << "a freed buffer is no DMA target";

  host::dma::failNextCommonBuffer();
  EXPECT_EQ(a->DmaOperations->AllocateCommonBuffer(a, 0x1000, &la, FALSE), nullptr);
  a->DmaOperations->PutDmaAdapter(a);
  EXPECT_EQ(host::dma::liveAdapters(), 0u);
  host::dma::failNextAdapter();
  EXPECT_EQ(IoGetDmaAdapter(machine.pnp.pdo(card), &desc, &mapRegs), nullptr);
  host::dma::setBusBase(0x80000000ULL);
}

TEST_F(Hardware, DevicePropertiesComeFromTheCardsIdentity) {
  PDEVICE_OBJECT pdo = machine.pnp.pdo(card);
  ULONG v = 0, len = 0;
  ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyBusNumber, 4, &v, &len), STATUS_SUCCESS);
  EXPECT_EQ(v, 3u);
  EXPECT_EQ(len, 4u);
  ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyAddress, 4, &v, &len), STATUS_SUCCESS);
  EXPECT_EQ(v, 7u << 16);
  ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyUINumber, 4, &v, &len), STATUS_SUCCESS);
  EXPECT_EQ(v, 107u);
  UCHAR small[2];
  len = 0;
  EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyBusNumber, 2, small, &len), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 4u);
  machine.pnp.failProperty(card, DevicePropertyUINumber, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyUINumber, 4, &v, &len), STATUS_UNSUCCESSFUL);
  machine.pnp.clearPropertyFailures(card);
  EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyUINumber, 4, &v, &len), STATUS_SUCCESS);
}

// What the driver does to read configuration space.
NTSTATUS configRequest(PDEVICE_OBJECT pdo, UCHAR minor, void* buf, ULONG offset, ULONG length) {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PDEVICE_OBJECT target = IoGetAttachedDeviceReference(pdo);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, target, nullptr, 0, nullptr, &event, &iosb);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION loc = IoGetNextIrpStackLocation(irp);
  loc->MinorFunction = minor;
  loc->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
  loc->Parameters.ReadWriteConfig.Buffer = buf;
  loc->Parameters.ReadWriteConfig.Offset = offset;
  loc->Parameters.ReadWriteConfig.Length = length;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  NTSTATUS s = IofCallDriver(target, irp);
  if (s == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    s = iosb.Status;
  }
  ObfDereferenceObject(target);
  return s;
}

TEST_F(Hardware, ConfigurationSpaceThroughAnIrpSynchronousAndPending) {
  PDEVICE_OBJECT pdo = machine.pnp.pdo(card);
  uint8_t expected[256], got[256];
  card.configRead(0, expected, 256);
  memset(got, 0, sizeof got);
  ASSERT_EQ(configRequest(pdo, IRP_MN_READ_CONFIG, got, 0, 256), STATUS_SUCCESS);
  EXPECT_EQ(memcmp(got, expected, 256), 0);

  machine.pnp.setConfigPending(card, true);
  uint32_t word = 0x12345678;
  ASSERT_EQ(configRequest(pdo, IRP_MN_WRITE_CONFIG, &word, 0x40, 4), STATUS_SUCCESS);
  uint32_t back = 0;
  ASSERT_EQ(configRequest(pdo, IRP_MN_READ_CONFIG, &back, 0x40, 4), STATUS_SUCCESS);
  EXPECT_EQ(back, 0x12345678u);
  machine.pnp.setConfigPending(card, false);

  EXPECT_EQ(configRequest(pdo, IRP_MN_READ_CONFIG, got, 0xF0, 0x20), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(host::liveIrps(), 0u);
  EXPECT_EQ(pdo->AttachedDevice->ReferenceCount, 0);

  AssertRecorder rec;
  ObfDereferenceObject(pdo->AttachedDevice);
  EXPECT_TRUE(rec.saw("below zero"));
}

}  // namespace
