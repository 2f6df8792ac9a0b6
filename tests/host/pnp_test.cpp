// The PnP manager with a tiny driver: add, start with the card's resources or odd lists, stop, remove, power,
// interface queries, object bags and what a sloppy driver leaves behind.
#include "platform/kernel.h"
#include "tests/host/machine.h"

using host::PnpManager;
using host::ResourceList;
using host::pool::makeTag;
using hosttest::AssertRecorder;
using hosttest::FakeCard;
using hosttest::waitFor;

namespace {

constexpr ULONG kTag = makeTag("Tdrv");

struct TinyDevice {
  PVOID regs = nullptr;
  ULONG regsLength = 0;
  PKINTERRUPT irq = nullptr;
  PDMA_ADAPTER adapter = nullptr;
  PVOID buffer = nullptr;
  PHYSICAL_ADDRESS bufferPhys{};
  uint8_t config[64];
  ULONG busNumber = 0, address = 0;
  ULONG resources = 0;
  int stops = 0;
};

struct DriverLog {
  std::vector<std::string> calls;
  bool failAdd = false;
  bool leakOnStop = false;  // the sloppy driver
  int removes = 0;
  int freedItems = 0;
  DEVICE_POWER_STATE lastPower = PowerDeviceUnspecified;
} gLog;

BOOLEAN NTAPI tinyIsr(PKINTERRUPT, PVOID) { return FALSE; }

TinyDevice* dev(PKSDEVICE d) { return static_cast<TinyDevice*>(d->Context); }

void NTAPI freeCounted(PVOID p) {
  gLog.freedItems++;
  ExFreePool(p);
}

NTSTATUS NTAPI tinyAdd(PKSDEVICE d) {
  gLog.calls.push_back("add");
  if (gLog.failAdd) return STATUS_INSUFFICIENT_RESOURCES;
  auto* t = static_cast<TinyDevice*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(TinyDevice), kTag));
  if (!t) return STATUS_INSUFFICIENT_RESOURCES;
  new (t) TinyDevice;
  d->Context = t;
  return KsAddItemToObjectBag(d->Bag, t, freeCounted);
}

NTSTATUS NTAPI tinyStart(PKSDEVICE d, PIRP irp, PCM_RESOURCE_LIST list, PCM_RESOURCE_LIST) {
  gLog.calls.push_back("start");
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MinorFunction, IRP_MN_START_DEVICE);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  TinyDevice* t = dev(d);
  if (!list || list->Count == 0) return STATUS_INSUFFICIENT_RESOURCES;
  auto& partial = list->List[0].PartialResourceList;
  t->resources = partial.Count;
  for (ULONG i = 0; i < partial.Count; ++i) {
    auto& r = partial.PartialDescriptors[i];
    if (r.Type == CmResourceTypeMemory && !t->regs) {
      t->regs = MmMapIoSpace(r.u.Memory.Start, r.u.Memory.Length, MmNonCached);
      if (!t->regs) return STATUS_INSUFFICIENT_RESOURCES;
      t->regsLength = r.u.Memory.Length;
    } else if (r.Type == CmResourceTypeInterrupt && !t->irq) {
      NTSTATUS s = IoConnectInterrupt(
          &t->irq, tinyIsr, t, nullptr, r.u.Interrupt.Vector, static_cast<KIRQL>(r.u.Interrupt.Level),
          static_cast<KIRQL>(r.u.Interrupt.Level), LevelSensitive, TRUE, r.u.Interrupt.Affinity, FALSE);
      if (!NT_SUCCESS(s)) return s;
    }
  }
  if (!t->regs) return STATUS_INSUFFICIENT_RESOURCES;
  DEVICE_DESCRIPTION desc{};
  desc.Master = TRUE;
  desc.Dma32BitAddresses = TRUE;
  desc.InterfaceType = PCIBus;
  desc.MaximumLength = 0x10000;
  ULONG maps = 16;
  t->adapter = IoGetDmaAdapter(d->PhysicalDeviceObject, &desc, &maps);
  if (!t->adapter) return STATUS_ADAPTER_HARDWARE_ERROR;
  t->buffer = t->adapter->DmaOperations->AllocateCommonBuffer(t->adapter, 0x10000, &t->bufferPhys, FALSE);
  if (!t->buffer) return STATUS_MEMORY_NOT_ALLOCATED;
  ULONG len;
  IoGetDeviceProperty(d->PhysicalDeviceObject, DevicePropertyBusNumber, 4, &t->busNumber, &len);
  IoGetDeviceProperty(d->PhysicalDeviceObject, DevicePropertyAddress, 4, &t->address, &len);
  WRITE_REGISTER_ULONG(static_cast<volatile ULONG*>(t->regs) + 1, 0xA5);
  return STATUS_SUCCESS;
}

void release(TinyDevice* t) {
  if (t->irq) IoDisconnectInterrupt(t->irq);
  if (t->regs) MmUnmapIoSpace(t->regs, t->regsLength);
  if (t->buffer)
    t->adapter->DmaOperations->FreeCommonBuffer(t->adapter, 0x10000, t->bufferPhys, t->buffer, FALSE);
  if (t->adapter) t->adapter->DmaOperations->PutDmaAdapter(t->adapter);
  t->irq = nullptr;
  t->regs = nullptr;
  t->buffer = nullptr;
  t->adapter = nullptr;
}

void NTAPI tinyStop(PKSDEVICE d, PIRP) {
  gLog.calls.push_back("stop");
  dev(d)->stops++;
  if (!gLog.leakOnStop) release(dev(d));
}

void NTAPI tinyRemove(PKSDEVICE d, PIRP) {
  gLog.calls.push_back("remove");
  gLog.removes++;
  EXPECT_NE(d->Context, nullptr);
}

NTSTATUS NTAPI tinyQueryPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE, SYSTEM_POWER_STATE,
                              SYSTEM_POWER_STATE, POWER_ACTION) {
  return to == PowerDeviceD0 || to == PowerDeviceD3 ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

void NTAPI tinySetPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE) { gLog.lastPower = to; }

NTSTATUS NTAPI tinyQueryInterface(PKSDEVICE d, PIRP irp) {
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MinorFunction, IRP_MN_QUERY_INTERFACE);
  return dev(d)->regs ? STATUS_NOT_SUPPORTED : STATUS_DEVICE_NOT_READY;
}

const KSDEVICE_DISPATCH kDispatch = {
    tinyAdd, tinyStart,  nullptr, nullptr, nullptr,        tinyStop,     nullptr,
    nullptr, tinyRemove, nullptr, nullptr, tinyQueryPower, tinySetPower, tinyQueryInterface,
};
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr, 0, 0};

NTSTATUS NTAPI tinyEntry(PDRIVER_OBJECT d, PUNICODE_STRING path) {
  gLog.calls.push_back("entry");
  EXPECT_NE(path, nullptr);
  return KsInitializeDriver(d, path, &kDescriptor);
}

class Pnp : public ::testing::Test {
 protected:
  void SetUp() override {
    gLog = DriverLog{};
    blocksBefore = host::pool::outstanding()[kTag].blocks;
    ASSERT_EQ(pnp.loadDriver(tinyEntry), STATUS_SUCCESS);
    EXPECT_EQ(host::deviceDescriptorOf(pnp.driverObject()), &kDescriptor);
  }
  size_t blocksBefore = 0;
  FakeCard a{2, 4, 0x51, 0xE0000000};
  FakeCard b{5, 1, 0x52, 0xE1000000};
  PnpManager pnp;
};

TEST_F(Pnp, FullLifecycleOfTwoCardsLeavesNothingBehind) {
  ASSERT_EQ(pnp.addCard(a), STATUS_SUCCESS);
  ASSERT_EQ(pnp.addCard(b), STATUS_SUCCESS);
  EXPECT_EQ(pnp.addCard(a), STATUS_INVALID_PARAMETER);
  PKSDEVICE ka = pnp.ksDevice(a);
  ASSERT_NE(ka, nullptr);
  EXPECT_EQ(ka->Descriptor, &kDescriptor);
  EXPECT_EQ(ka->PhysicalDeviceObject, pnp.pdo(a));
  EXPECT_EQ(ka->NextDeviceObject, pnp.pdo(a));
  EXPECT_EQ(ka->FunctionalDeviceObject->DriverObject, pnp.driverObject());
  EXPECT_EQ(host::ksDeviceOf(ka->FunctionalDeviceObject), ka);
  EXPECT_EQ(IoGetAttachedDeviceReference(pnp.pdo(a)), ka->FunctionalDeviceObject);
  ObfDereferenceObject(ka->FunctionalDeviceObject);

  EXPECT_EQ(pnp.queryInterface(a), STATUS_DEVICE_NOT_READY);
  ASSERT_EQ(pnp.start(a), STATUS_SUCCESS);
  ASSERT_EQ(pnp.start(b), STATUS_SUCCESS);
  EXPECT_TRUE(pnp.started(a));
  EXPECT_EQ(dev(ka)->resources, 2u);
  EXPECT_EQ(dev(ka)->busNumber, 2u);
  EXPECT_EQ(dev(ka)->address, 4u << 16);
  EXPECT_EQ(dev(pnp.ksDevice(b))->busNumber, 5u);
  EXPECT_EQ(a.reg(4), 0xA5u);
  EXPECT_EQ(b.reg(4), 0xA5u) << "each card gets its own window";
  EXPECT_EQ(host::irq::connectedCount(), 2u);
  EXPECT_NE(dev(ka)->bufferPhys.QuadPart, dev(pnp.ksDevice(b))->bufferPhys.QuadPart);
  EXPECT_EQ(pnp.queryInterface(a), STATUS_NOT_SUPPORTED);

  EXPECT_EQ(pnp.queryPower(a, PowerDeviceD2), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(pnp.queryPower(a, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(pnp.setPower(a, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(gLog.lastPower, PowerDeviceD3);
  EXPECT_EQ(ka->DevicePowerState, PowerDeviceD3);

  EXPECT_EQ(pnp.stop(a), STATUS_SUCCESS);
  EXPECT_EQ(pnp.stop(a), STATUS_INVALID_DEVICE_STATE);
  EXPECT_FALSE(pnp.started(a));
  host::Leftovers left;
  EXPECT_EQ(pnp.remove(a, &left), STATUS_SUCCESS);
  EXPECT_TRUE(left.clean());
  EXPECT_EQ(a.hostBus.load(), nullptr) << "the card is unplugged";
  EXPECT_EQ(pnp.ksDevice(a), nullptr);
  // b is still started: remove stops it first.
  EXPECT_EQ(pnp.remove(b, &left), STATUS_SUCCESS);
  EXPECT_TRUE(left.clean());
  EXPECT_EQ(gLog.removes, 2);
  EXPECT_EQ(gLog.freedItems, 2) << "the device bag frees the context with its callback";
  EXPECT_EQ(host::pool::outstanding()[kTag].blocks, blocksBefore);
  EXPECT_EQ(host::mmio::liveMappings(), 0u);
  EXPECT_EQ(host::irq::connectedCount(), 0u);
  EXPECT_EQ(host::dma::liveAdapters(), 0u);
  std::vector<std::string> expected = {"entry", "add",    "add",  "start", "start",
                                       "stop",  "remove", "stop", "remove"};
  EXPECT_EQ(gLog.calls, expected);
}

TEST_F(Pnp, OddResourceListsReachTheDriverAsBuilt) {
  ASSERT_EQ(pnp.addCard(a), STATUS_SUCCESS);
  ResourceList none = ResourceList::none();
  EXPECT_EQ(pnp.start(a, none), STATUS_INSUFFICIENT_RESOURCES);
  ResourceList empty = ResourceList::empty();
  EXPECT_EQ(pnp.start(a, empty), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(pnp.started(a));

  ResourceList odd(a.busNumber());
  odd.port(0x3F8, 8).busNumber(2).dma(3).memory(a.barAddress(0), 0x1000).interrupt(a.interruptVector(), 5);
  for (int i = 0; i < 4; ++i) odd.port(0x400 + 0x10 * i, 0x10, false);
  EXPECT_EQ(odd.count(), 9u);
  ASSERT_EQ(pnp.start(a, odd), STATUS_SUCCESS);
  PCM_PARTIAL_RESOURCE_DESCRIPTOR pd = odd.get()->List[0].PartialResourceList.PartialDescriptors;
  EXPECT_EQ(pd[0].Flags, CM_RESOURCE_PORT_IO);
  EXPECT_EQ(pd[5].Flags, CM_RESOURCE_PORT_MEMORY);
  LONGLONG memStart = pd[3].u.Memory.Start.QuadPart;  // packed: copy before binding a reference
  EXPECT_EQ(memStart, 0xE0000000LL);
  EXPECT_EQ(dev(pnp.ksDevice(a))->resources, 9u);

  // An interrupt at a vector no card owns fails the connection.
  ASSERT_EQ(pnp.stop(a), STATUS_SUCCESS);
  ResourceList badIrq(a.busNumber());
  badIrq.memory(a.barAddress(0), 0x1000).interrupt(0x3333, 5);
  EXPECT_EQ(pnp.start(a, badIrq), STATUS_INVALID_PARAMETER);
  release(dev(pnp.ksDevice(a)));
}

TEST_F(Pnp, RemoveReportsWhatASloppyDriverLeftBehind) {
  gLog.leakOnStop = true;
  ASSERT_EQ(pnp.addCard(a), STATUS_SUCCESS);
  ASSERT_EQ(pnp.start(a), STATUS_SUCCESS);
  TinyDevice leaked = *dev(pnp.ksDevice(a));  // the bag frees the original
  host::Leftovers left;
  ASSERT_EQ(pnp.remove(a, &left), STATUS_SUCCESS);
  EXPECT_FALSE(left.clean());
  EXPECT_EQ(left.mappings, 1u);
  EXPECT_EQ(left.interrupts, 1u);
  EXPECT_EQ(left.adapters, 1u);
  // A late register access after the card is gone reads all ones and never reaches the card.
  int reads = a.reads.load();
  EXPECT_EQ(READ_REGISTER_ULONG(static_cast<volatile ULONG*>(leaked.regs)), 0xFFFFFFFFu);
  EXPECT_EQ(a.reads.load(), reads);
  release(&leaked);
}

TEST_F(Pnp, FailedAddUnplugsTheCardAndFreesItsBag) {
  gLog.failAdd = true;
  EXPECT_EQ(pnp.addCard(a), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(pnp.ksDevice(a), nullptr);
  EXPECT_EQ(a.hostBus.load(), nullptr);
  gLog.failAdd = false;
  EXPECT_EQ(pnp.addCard(a), STATUS_SUCCESS);
}

TEST(PnpDriver, FailedRegistrationRefusesCards) {
  host::failNextKsInitializeDriver(STATUS_INSUFFICIENT_RESOURCES);
  PnpManager pnp;
  EXPECT_EQ(pnp.loadDriver(tinyEntry), STATUS_INSUFFICIENT_RESOURCES);
  FakeCard c{1, 1, 0x61, 0xD0000000};
  EXPECT_EQ(pnp.addCard(c), STATUS_INVALID_DEVICE_REQUEST);
}

void NTAPI freeOrder(PVOID p) {
  gLog.calls.push_back(std::to_string(*static_cast<int*>(p)));
  ExFreePool(p);
}

TEST(ObjectBag, FreesItemsLastFirstWithTheirCallbackOrExFreePool) {
  gLog = DriverLog{};
  const ULONG tag = makeTag("Tbag");
  KSOBJECT_BAG bag = host::bag::create();
  int* items[3];
  for (int i = 0; i < 3; ++i) {
    items[i] = static_cast<int*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(int), tag));
    *items[i] = i;
    ASSERT_EQ(KsAddItemToObjectBag(bag, items[i], freeOrder), STATUS_SUCCESS);
  }
  void* plain = ExAllocatePoolWithTag(NonPagedPoolNx, 16, tag);
  ASSERT_EQ(KsAddItemToObjectBag(bag, plain, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KsRemoveItemFromObjectBag(bag, items[1], TRUE), 1u);
  EXPECT_EQ(KsRemoveItemFromObjectBag(bag, items[1], TRUE), 0u);
  EXPECT_EQ(host::bag::itemCount(bag), 3u);
  host::bag::destroy(bag);
  std::vector<std::string> expected = {"1", "2", "0"};
  EXPECT_EQ(gLog.calls, expected);
  EXPECT_EQ(host::pool::outstandingBytes(tag), 0u);
  AssertRecorder rec;
  host::bag::destroy(bag);
  EXPECT_TRUE(rec.saw("destroyed twice"));
}

}  // namespace
