// The PnP manager, resource lists, driver registration with the streaming class (KsInitializeDriver) and
// object bags.
#include "platform/host/pnp.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "platform/host/internal.h"
#include "platform/host/kstack.h"

#if ZADIVO_HOST_KS_HOOKS
#include "platform/host/ks/ks_host.h"
#endif

namespace host {

// ---- Object bags
// --------------------------------------------------------------------------------------------
namespace {

struct Bag {
  std::vector<PVOID> items;  // guarded by BagState::m
};

// An item may sit in several bags (KsCopyObjectBagItems); it is freed when the last of them lets it go.
struct ItemRef {
  size_t bags = 0;
  PFNKSFREE free = nullptr;
};

struct BagState {
  std::mutex m;
  std::set<Bag*> live;
  std::map<PVOID, ItemRef> items;
};
BagState& bagState() {
  static BagState* s = new BagState;
  return *s;
}
Bag* liveBag_locked(KSOBJECT_BAG b) {
  auto* bag = static_cast<Bag*>(b);
  return bagState().live.count(bag) ? bag : nullptr;
}

void freeItem(PVOID item, PFNKSFREE free) {
  if (free)
    kstack::call(free, item);
  else
    ExFreePool(item);
}

// Adds the item to the bag (once); a first reference records how it is freed.
void addItem_locked(Bag* b, PVOID item, PFNKSFREE free) {
  if (std::find(b->items.begin(), b->items.end(), item) != b->items.end()) return;
  b->items.push_back(item);
  ItemRef& ref = bagState().items[item];
  if (ref.bags++ == 0) ref.free = free;
}

// Drops the bag's reference; true (with its free callback) when it was the item's last one.
bool dropItem_locked(PVOID item, PFNKSFREE* free) {
  auto it = bagState().items.find(item);
  if (it == bagState().items.end()) return false;
  *free = it->second.free;
  if (--it->second.bags != 0) return false;
  bagState().items.erase(it);
  return true;
}

}  // namespace

namespace bag {
KSOBJECT_BAG create() {
  auto* b = new Bag;
  std::lock_guard<std::mutex> g(bagState().m);
  bagState().live.insert(b);
  return b;
}

void destroy(KSOBJECT_BAG handle) {
  Bag* b;
  {
    std::lock_guard<std::mutex> g(bagState().m);
    b = liveBag_locked(handle);
    if (b) bagState().live.erase(b);
  }
  if (!b) {
    HOST_MISUSE("object bag destroyed twice or never created");
    return;
  }
  // Free callbacks run without the lock: they may free other bags' items.
  for (;;) {
    PVOID item = nullptr;
    PFNKSFREE free = nullptr;
    bool last = false;
    {
      std::lock_guard<std::mutex> g(bagState().m);
      if (b->items.empty()) break;
      item = b->items.back();
      b->items.pop_back();
      last = dropItem_locked(item, &free);
    }
    if (last) freeItem(item, free);
  }
  delete b;
}

size_t itemCount(KSOBJECT_BAG handle) {
  std::lock_guard<std::mutex> g(bagState().m);
  Bag* b = liveBag_locked(handle);
  return b ? b->items.size() : 0;
}
}  // namespace bag

// ---- Driver registration
// ------------------------------------------------------------------------------------
namespace {
struct KsDriverState {
  std::mutex m;
  std::map<PDRIVER_OBJECT, const KSDEVICE_DESCRIPTOR*> descriptors;
  NTSTATUS failNext = STATUS_SUCCESS;
};
KsDriverState& ksDrivers() {
  static KsDriverState* s = new KsDriverState;
  return *s;
}
}  // namespace

const KSDEVICE_DESCRIPTOR* deviceDescriptorOf(PDRIVER_OBJECT driver) {
  std::lock_guard<std::mutex> g(ksDrivers().m);
  auto it = ksDrivers().descriptors.find(driver);
  return it == ksDrivers().descriptors.end() ? nullptr : it->second;
}

void failNextKsInitializeDriver(NTSTATUS status) {
  std::lock_guard<std::mutex> g(ksDrivers().m);
  ksDrivers().failNext = status;
}

void detail::forgetDriver(PDRIVER_OBJECT driver) {
  std::lock_guard<std::mutex> g(ksDrivers().m);
  ksDrivers().descriptors.erase(driver);
}

PKSDEVICE ksDeviceOf(PDEVICE_OBJECT deviceObject) {
  auto node = detail::nodeByDevice(deviceObject);
  return node && node->added ? &node->ks : nullptr;
}

PDRIVER_OBJECT detail::busDriverObject() {
  static DRIVER_OBJECT* bus = [] {
    auto* d = new DRIVER_OBJECT{};
    d->Type = 4;  // IO_TYPE_DRIVER
    d->Size = sizeof(DRIVER_OBJECT);
    return d;
  }();
  return bus;
}

// ---- Resource lists
// -----------------------------------------------------------------------------------------
ResourceList ResourceList::forCard(const PciFunction& card) {
  ResourceList r(card.busNumber());
  r.memory(card.barAddress(0), card.barLength(0));
  r.interrupt(card.interruptVector(), kDeviceIrql, 1, false);
  return r;
}

ResourceList ResourceList::empty() {
  ResourceList r;
  r.empty_ = true;
  return r;
}

ResourceList ResourceList::none() {
  ResourceList r;
  r.none_ = true;
  return r;
}

ResourceList& ResourceList::add(const CM_PARTIAL_RESOURCE_DESCRIPTOR& d) {
  partials_.push_back(d);
  return *this;
}

ResourceList& ResourceList::port(uint64_t start, ULONG length, bool inIoSpace) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypePort;
  d.ShareDisposition = 1;  // device exclusive
  d.Flags = inIoSpace ? CM_RESOURCE_PORT_IO : CM_RESOURCE_PORT_MEMORY;
  d.u.Port.Start.QuadPart = static_cast<LONGLONG>(start);
  d.u.Port.Length = length;
  return add(d);
}

ResourceList& ResourceList::memory(uint64_t start, ULONG length) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypeMemory;
  d.ShareDisposition = 1;
  d.Flags = 0;  // read/write
  d.u.Memory.Start.QuadPart = static_cast<LONGLONG>(start);
  d.u.Memory.Length = length;
  return add(d);
}

ResourceList& ResourceList::interrupt(ULONG vector, KIRQL level, KAFFINITY affinity, bool latched) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypeInterrupt;
  d.ShareDisposition = 3;  // shared
  d.Flags = latched ? CM_RESOURCE_INTERRUPT_LATCHED : CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
  d.u.Interrupt.Level = level;
  d.u.Interrupt.Group = 0;
  d.u.Interrupt.Vector = vector;
  d.u.Interrupt.Affinity = affinity;
  return add(d);
}

ResourceList& ResourceList::dma(ULONG channel) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypeDma;
  d.u.Dma.Channel = channel;
  return add(d);
}

ResourceList& ResourceList::busNumber(ULONG start, ULONG length) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypeBusNumber;
  d.u.BusNumber.Start = start;
  d.u.BusNumber.Length = length;
  return add(d);
}

PCM_RESOURCE_LIST ResourceList::get() {
  if (none_) return nullptr;
  size_t n = partials_.size();
  size_t bytes = offsetof(CM_RESOURCE_LIST, List) +
                 offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                 offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors) +
                 std::max<size_t>(n, 1) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
  storage_.assign(bytes + 8, 0);
  auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(storage_.data());
  list->Count = empty_ ? 0 : 1;
  CM_FULL_RESOURCE_DESCRIPTOR& full = list->List[0];
  full.InterfaceType = PCIBus;
  full.BusNumber = busNumber_;
  full.PartialResourceList.Version = 1;
  full.PartialResourceList.Revision = 1;
  full.PartialResourceList.Count = static_cast<ULONG>(n);
  if (n) memcpy(full.PartialResourceList.PartialDescriptors, partials_.data(), n * sizeof partials_[0]);
  return list;
}

// ---- PnP manager
// ----------------------------------------------------------------------------------------------
namespace {

// A PnP or power request as the PnP manager sends it down the stack (the driver only looks at it).
struct PnpIrp {
  IRP irp{};
  IO_STACK_LOCATION stack[1]{};
  PnpIrp(UCHAR major, UCHAR minor) {
    irp.Type = 6;
    irp.Size = sizeof(PnpIrp);
    irp.StackCount = 1;
    irp.CurrentLocation = 1;
    irp.Tail.Overlay.CurrentStackLocation = &stack[0];
    irp.IoStatus.Status = STATUS_NOT_SUPPORTED;
    stack[0].MajorFunction = major;
    stack[0].MinorFunction = minor;
  }
};

constexpr UCHAR kMnQueryPower = 0x03, kMnSetPower = 0x02, kMnQueryRemove = 0x01, kMnQueryStop = 0x05;

const char16_t kDriverName[] = u"\\Driver\\zadivo";
const char16_t kRegistryPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\zadivo";

void initUnicode(UNICODE_STRING* u, const char16_t* s) {
  size_t n = 0;
  while (s[n]) ++n;
  u->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  u->MaximumLength = static_cast<USHORT>((n + 1) * sizeof(WCHAR));
  u->Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(s));
}

void checkPassive(const char* what) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) HOST_MISUSE(what);
}

// The framework calls a device's PnP dispatches under its device mutex, so factories created or deleted
// there need no KsAcquireDevice of the driver's own.
class UnderDeviceMutex {
 public:
#if ZADIVO_HOST_KS_HOOKS
  explicit UnderDeviceMutex(PKSDEVICE device) : device_(device) { KsAcquireDevice(device_); }
  ~UnderDeviceMutex() { KsReleaseDevice(device_); }
#else
  explicit UnderDeviceMutex(PKSDEVICE device) : device_(device) {}
#endif
  UnderDeviceMutex(const UnderDeviceMutex&) = delete;
  UnderDeviceMutex& operator=(const UnderDeviceMutex&) = delete;

 private:
  [[maybe_unused]] PKSDEVICE device_;
};

}  // namespace

struct PnpManager::Impl {
  DRIVER_OBJECT driver{};
  UNICODE_STRING registryPath{};
  bool loaded = false;
  std::vector<std::shared_ptr<detail::DeviceNode>> nodes;  // in the order added

  std::shared_ptr<detail::DeviceNode> find(PciFunction& card) {
    for (auto& n : nodes)
      if (n->card == &card) return n;
    return nullptr;
  }
  const KSDEVICE_DISPATCH* dispatch(detail::DeviceNode& n) {
    return n.ks.Descriptor ? n.ks.Descriptor->Dispatch : nullptr;
  }
  void unplug(const std::shared_ptr<detail::DeviceNode>& n) {
    std::vector<std::thread> pending;
    {
      std::lock_guard<std::mutex> g(n->hookMutex);
      pending.swap(n->completions);
    }
    for (auto& t : pending) t.join();
    detail::unregisterNode(n.get());
    PciFunction* card = n->card;
    {
      std::unique_lock<std::shared_mutex> g(n->cardMutex);
      n->card = nullptr;
    }
    card->attach(nullptr);
    nodes.erase(std::remove(nodes.begin(), nodes.end(), n), nodes.end());
  }
};

PnpManager::PnpManager() : impl_(std::make_unique<Impl>()) {}

PnpManager::~PnpManager() {
  while (!impl_->nodes.empty()) {
    auto n = impl_->nodes.back();
    PciFunction* card = n->card;
    remove(*card);
  }
  detail::forgetDriver(&impl_->driver);
}

PDRIVER_OBJECT PnpManager::driverObject() { return &impl_->driver; }

NTSTATUS PnpManager::loadDriver(PDRIVER_INITIALIZE entry) {
  checkPassive("PnpManager::loadDriver above PASSIVE_LEVEL");
  if (impl_->loaded || !entry) return STATUS_INVALID_DEVICE_REQUEST;
  DRIVER_OBJECT& d = impl_->driver;
  d = DRIVER_OBJECT{};
  d.Type = 4;
  d.Size = sizeof(DRIVER_OBJECT);
  d.DriverInit = reinterpret_cast<PVOID>(entry);
  initUnicode(&d.DriverName, kDriverName);
  initUnicode(&impl_->registryPath, kRegistryPath);
  NTSTATUS s = kstack::call(entry, &d, &impl_->registryPath);
  impl_->loaded = NT_SUCCESS(s);
  return s;
}

NTSTATUS PnpManager::addCard(PciFunction& card) {
  checkPassive("PnpManager::addCard above PASSIVE_LEVEL");
  const KSDEVICE_DESCRIPTOR* desc = deviceDescriptorOf(&impl_->driver);
  if (!impl_->loaded || !desc) return STATUS_INVALID_DEVICE_REQUEST;
  if (impl_->find(card)) return STATUS_INVALID_PARAMETER;
  auto n = std::make_shared<detail::DeviceNode>(card);
  n->driver = &impl_->driver;

  DEVICE_OBJECT& pdo = n->pdo;
  pdo.Type = 3;  // IO_TYPE_DEVICE
  pdo.Size = sizeof(DEVICE_OBJECT);
  pdo.DriverObject = detail::busDriverObject();
  pdo.AttachedDevice = &n->fdo;
  pdo.DeviceType = 0x2A;  // FILE_DEVICE_BUS_EXTENDER
  pdo.StackSize = 1;

  DEVICE_OBJECT& fdo = n->fdo;
  fdo.Type = 3;
  fdo.Size = sizeof(DEVICE_OBJECT);
  fdo.DriverObject = &impl_->driver;
  fdo.DeviceType = 0x2F;  // FILE_DEVICE_KS
  fdo.StackSize = 2;
  fdo.DeviceExtension = &n->ks;
  fdo.NextDevice = impl_->driver.DeviceObject;
  impl_->driver.DeviceObject = &fdo;

  KSDEVICE& ks = n->ks;
  ks.Descriptor = desc;
  ks.Bag = bag::create();
  ks.Context = nullptr;
  ks.FunctionalDeviceObject = &fdo;
  ks.PhysicalDeviceObject = &pdo;
  ks.NextDeviceObject = &pdo;
  ks.Started = FALSE;
  ks.SystemPowerState = PowerSystemWorking;
  ks.DevicePowerState = PowerDeviceD0;

  detail::registerNode(n);
  impl_->nodes.push_back(n);
  card.attach(&n->bus);
  n->added = true;
  NTSTATUS s = STATUS_SUCCESS;
  const KSDEVICE_DISPATCH* dispatch = impl_->dispatch(*n);
  if (dispatch && dispatch->Add) s = kstack::call(dispatch->Add, &ks);
  if (NT_SUCCESS(s)) {
#if ZADIVO_HOST_KS_HOOKS
    host::ks::deviceCreated(&ks);
#endif
  } else {
    n->added = false;
    bag::destroy(ks.Bag);
    ks.Bag = nullptr;
    impl_->driver.DeviceObject = fdo.NextDevice;
    impl_->unplug(n);
  }
  return s;
}

NTSTATUS PnpManager::start(PciFunction& card) {
  ResourceList list = ResourceList::forCard(card);
  return start(card, list);
}

NTSTATUS PnpManager::start(PciFunction& card, ResourceList& translated) {
  checkPassive("PnpManager::start above PASSIVE_LEVEL");
  auto n = impl_->find(card);
  if (!n) return STATUS_NO_SUCH_DEVICE;
  PnpIrp irp(IRP_MJ_PNP, IRP_MN_START_DEVICE);
  PCM_RESOURCE_LIST list = translated.get();
  NTSTATUS s = STATUS_SUCCESS;
  const KSDEVICE_DISPATCH* d = impl_->dispatch(*n);
  {
    UnderDeviceMutex hold(&n->ks);
    if (d && d->Start) s = kstack::call(d->Start, &n->ks, &irp.irp, list, list);
    if (NT_SUCCESS(s) && d && d->PostStart) s = kstack::call(d->PostStart, &n->ks);
    n->ks.Started = NT_SUCCESS(s) ? TRUE : FALSE;
  }
#if ZADIVO_HOST_KS_HOOKS
  if (NT_SUCCESS(s)) host::ks::deviceStarted(&n->ks);
#endif
  return s;
}

NTSTATUS PnpManager::stop(PciFunction& card) {
  checkPassive("PnpManager::stop above PASSIVE_LEVEL");
  auto n = impl_->find(card);
  if (!n) return STATUS_NO_SUCH_DEVICE;
  if (!n->ks.Started) return STATUS_INVALID_DEVICE_STATE;
  const KSDEVICE_DISPATCH* d = impl_->dispatch(*n);
  if (d && d->QueryStop) {
    PnpIrp q(IRP_MJ_PNP, kMnQueryStop);
    NTSTATUS s = kstack::call(d->QueryStop, &n->ks, &q.irp);
    if (!NT_SUCCESS(s)) {
      if (d->CancelStop) kstack::call(d->CancelStop, &n->ks, &q.irp);
      return s;
    }
  }
  PnpIrp irp(IRP_MJ_PNP, IRP_MN_STOP_DEVICE);
  {
    UnderDeviceMutex hold(&n->ks);
    if (d && d->Stop) kstack::call(d->Stop, &n->ks, &irp.irp);
    n->ks.Started = FALSE;
  }
#if ZADIVO_HOST_KS_HOOKS
  host::ks::deviceStopped(&n->ks);
#endif
  return STATUS_SUCCESS;
}

NTSTATUS PnpManager::remove(PciFunction& card, Leftovers* leftovers) {
  checkPassive("PnpManager::remove above PASSIVE_LEVEL");
  auto n = impl_->find(card);
  if (!n) return STATUS_NO_SUCH_DEVICE;
  const KSDEVICE_DISPATCH* d = impl_->dispatch(*n);
  if (d && d->QueryRemove) {
    PnpIrp q(IRP_MJ_PNP, kMnQueryRemove);
    NTSTATUS s = kstack::call(d->QueryRemove, &n->ks, &q.irp);
    if (!NT_SUCCESS(s)) {
      if (d->CancelRemove) d->CancelRemove(&n->ks, &q.irp);
      return s;
    }
  }
  if (n->ks.Started) {
    PnpIrp stopIrp(IRP_MJ_PNP, IRP_MN_STOP_DEVICE);
    {
      UnderDeviceMutex hold(&n->ks);
      if (d && d->Stop) kstack::call(d->Stop, &n->ks, &stopIrp.irp);
      n->ks.Started = FALSE;
    }
#if ZADIVO_HOST_KS_HOOKS
    host::ks::deviceStopped(&n->ks);
#endif
  }
  // Factories, filters and pins go first, while the driver's device context still exists.
#if ZADIVO_HOST_KS_HOOKS
  host::ks::deviceRemoved(&n->ks);
#endif
  PnpIrp irp(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
  {
    UnderDeviceMutex hold(&n->ks);
    if (d && d->Remove) kstack::call(d->Remove, &n->ks, &irp.irp);
  }
  n->added = false;
  bag::destroy(n->ks.Bag);
  n->ks.Bag = nullptr;

  // Unlink the FDO from the driver's device list.
  for (PDEVICE_OBJECT* p = &impl_->driver.DeviceObject; *p; p = &(*p)->NextDevice)
    if (*p == &n->fdo) {
      *p = n->fdo.NextDevice;
      break;
    }

  // The device object outlives the work items that hold a reference on it.
  detail::waitForWorkItems(&n->fdo);
  detail::waitForWorkItems(&n->pdo);
  Leftovers left;
  left.mappings = detail::mappingsOf(n.get());
  left.interrupts = detail::interruptsOf(n.get());
  left.adapters = detail::adaptersOf(n.get());
  left.pdoReferences = n->pdo.ReferenceCount;
  left.fdoReferences = n->fdo.ReferenceCount;
  if (!left.clean())
    DbgPrint(
        "host: card removed with %zu mappings, %zu interrupts, %zu DMA adapters, %d+%d references left\n",
        left.mappings, left.interrupts, left.adapters, left.pdoReferences, left.fdoReferences);
  if (leftovers) *leftovers = left;
  impl_->unplug(n);
  return STATUS_SUCCESS;
}

NTSTATUS PnpManager::queryPower(PciFunction& card, DEVICE_POWER_STATE to) {
  checkPassive("PnpManager::queryPower above PASSIVE_LEVEL");
  auto n = impl_->find(card);
  if (!n) return STATUS_NO_SUCH_DEVICE;
  const KSDEVICE_DISPATCH* d = impl_->dispatch(*n);
  if (!d || !d->QueryPower) return STATUS_SUCCESS;
  PnpIrp irp(IRP_MJ_POWER, kMnQueryPower);
  return kstack::call(d->QueryPower, &n->ks, &irp.irp, to, n->ks.DevicePowerState, PowerSystemWorking,
                      PowerSystemWorking, PowerActionNone);
}

NTSTATUS PnpManager::setPower(PciFunction& card, DEVICE_POWER_STATE to) {
  checkPassive("PnpManager::setPower above PASSIVE_LEVEL");
  auto n = impl_->find(card);
  if (!n) return STATUS_NO_SUCH_DEVICE;
  const KSDEVICE_DISPATCH* d = impl_->dispatch(*n);
  DEVICE_POWER_STATE from = n->ks.DevicePowerState;
  PnpIrp irp(IRP_MJ_POWER, kMnSetPower);
  if (d && d->SetPower) kstack::call(d->SetPower, &n->ks, &irp.irp, to, from);
  n->ks.DevicePowerState = to;
  return STATUS_SUCCESS;
}

NTSTATUS PnpManager::queryInterface(PciFunction& card) {
  checkPassive("PnpManager::queryInterface above PASSIVE_LEVEL");
  auto n = impl_->find(card);
  if (!n) return STATUS_NO_SUCH_DEVICE;
  const KSDEVICE_DISPATCH* d = impl_->dispatch(*n);
  if (!d || !d->QueryInterface) return STATUS_NOT_SUPPORTED;
  PnpIrp irp(IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE);
  return d->QueryInterface(&n->ks, &irp.irp);
}

PKSDEVICE PnpManager::ksDevice(PciFunction& card) {
  auto n = impl_->find(card);
  return n ? &n->ks : nullptr;
}

PDEVICE_OBJECT PnpManager::pdo(PciFunction& card) {
  auto n = impl_->find(card);
  return n ? &n->pdo : nullptr;
}

bool PnpManager::started(PciFunction& card) {
  auto n = impl_->find(card);
  return n && n->ks.Started;
}

void PnpManager::failProperty(PciFunction& card, DEVICE_REGISTRY_PROPERTY property, NTSTATUS status) {
  auto n = impl_->find(card);
  if (!n) return;
  std::lock_guard<std::mutex> g(n->hookMutex);
  n->failedProperties[property] = status;
}

void PnpManager::clearPropertyFailures(PciFunction& card) {
  auto n = impl_->find(card);
  if (!n) return;
  std::lock_guard<std::mutex> g(n->hookMutex);
  n->failedProperties.clear();
}

void PnpManager::setConfigPending(PciFunction& card, bool pending) {
  auto n = impl_->find(card);
  if (!n) return;
  std::lock_guard<std::mutex> g(n->hookMutex);
  n->configPending = pending;
}

}  // namespace host

using namespace host;

extern "C" NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                                       const KSDEVICE_DESCRIPTOR* Descriptor) {
  (void)RegistryPath;
  if (!DriverObject) {
    HOST_MISUSE("KsInitializeDriver without a driver object");
    return STATUS_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> g(ksDrivers().m);
  if (!NT_SUCCESS(ksDrivers().failNext)) {
    NTSTATUS s = ksDrivers().failNext;
    ksDrivers().failNext = STATUS_SUCCESS;
    return s;
  }
  // A driver with no descriptor still gets devices, with the class's default handling.
  static const KSDEVICE_DESCRIPTOR kDefault = {nullptr, 0, nullptr, 0, 0};
  ksDrivers().descriptors[DriverObject] = Descriptor ? Descriptor : &kDefault;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free) {
  std::lock_guard<std::mutex> g(bagState().m);
  Bag* b = liveBag_locked(ObjectBag);
  if (!b || !Item) {
    HOST_MISUSE("KsAddItemToObjectBag with a bag that is not live or a null item");
    return STATUS_INVALID_PARAMETER;
  }
  addItem_locked(b, Item, Free);
  return STATUS_SUCCESS;
}

extern "C" ULONG KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free) {
  PFNKSFREE fn = nullptr;
  bool last = false;
  {
    std::lock_guard<std::mutex> g(bagState().m);
    Bag* b = liveBag_locked(ObjectBag);
    if (!b) {
      HOST_MISUSE("KsRemoveItemFromObjectBag with a bag that is not live");
      return 0;
    }
    auto it = std::find(b->items.begin(), b->items.end(), Item);
    if (it == b->items.end()) return 0;
    b->items.erase(it);
    last = dropItem_locked(Item, &fn);
  }
  if (last && Free) freeItem(Item, fn);
  return 1;  // the references to the item this bag held
}

extern "C" NTSTATUS KsAllocateObjectBag(PKSDEVICE Device, KSOBJECT_BAG* ObjectBag) {
  if (!Device || !ObjectBag) {
    HOST_MISUSE("KsAllocateObjectBag without a device or an out pointer");
    return STATUS_INVALID_PARAMETER;
  }
  *ObjectBag = bag::create();
  return STATUS_SUCCESS;
}

extern "C" VOID KsFreeObjectBag(KSOBJECT_BAG ObjectBag) { bag::destroy(ObjectBag); }

extern "C" NTSTATUS KsCopyObjectBagItems(KSOBJECT_BAG ObjectBagDestination, KSOBJECT_BAG ObjectBagSource) {
  std::lock_guard<std::mutex> g(bagState().m);
  Bag* to = liveBag_locked(ObjectBagDestination);
  Bag* from = liveBag_locked(ObjectBagSource);
  if (!to || !from) {
    HOST_MISUSE("KsCopyObjectBagItems with a bag that is not live");
    return STATUS_INVALID_PARAMETER;
  }
  for (PVOID item : from->items) addItem_locked(to, item, nullptr);
  return STATUS_SUCCESS;
}
