// Filter factories, filters and pins of the kernel-streaming emulation: creation and teardown with their
// object bags, automation-table routing of property and method requests (node requests reach the node's
// table), data-range intersection, pin state sequencing, _KsEdit, the filter registry with the factories'
// device interfaces, and the device mutex.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

#include "platform/host/host.h"
#include "platform/host/ks/ks_internal.h"
#include "platform/host/kstack.h"

namespace host::ks::detail {

namespace {

struct Registry {
  uint64_t nextId = 1;
  std::vector<Registration> entries;
  std::map<uint64_t, Factory*> factoryOf;  // registration id -> factory (openable entries only)
};

// What the framework keeps per KSDEVICE beside it.
struct DeviceState {
  // The device mutex: recursive for its owner, as a KMUTEX.
  std::recursive_mutex mutex;
  std::atomic<std::thread::id> owner{};
  int depth = 0;  // owner only
  // From the completion of a start to the next stop: factories created or deleted meanwhile need the
  // device mutex.
  std::atomic<bool> started{false};

  bool heldByThisThread() const { return owner.load() == std::this_thread::get_id(); }
};

struct Tables {
  std::map<PKSDEVICE, std::shared_ptr<DeviceState>> states;
  std::map<PDEVICE_OBJECT, PKSDEVICE> devices;  // FDO and PDO -> KSDEVICE
  std::vector<std::shared_ptr<Factory>> factories;
  std::map<PKSFILTER, std::weak_ptr<Filter>> filters;
  std::map<PKSPIN, std::weak_ptr<Pin>> pins;
  Registry registry;
};

Tables& tables() {
  static Tables* t = new Tables;  // lives for the process: DPC threads may look pins up at exit
  return *t;
}

PKSDEVICE deviceOfObject(PDEVICE_OBJECT object) {
  auto& t = tables();
  auto it = t.devices.find(object);
  if (it != t.devices.end()) return it->second;
  return host::ksDeviceOf(object);
}

std::shared_ptr<DeviceState> stateOf(PKSDEVICE device) {
  std::lock_guard<std::mutex> g(globalLock());
  auto& state = tables().states[device];
  if (!state) state = std::make_shared<DeviceState>();
  return state;
}

// Factories come and go after start only under the device mutex (AVStream's rule).
void requireDeviceMutexAfterStart(PKSDEVICE device, const char* what) {
  auto state = stateOf(device);
  if (state->started.load() && !state->heldByThisThread()) KS_MISUSE(what);
}

PDRIVER_OBJECT machineOf(PKSDEVICE device) {
  if (device && device->FunctionalDeviceObject) return device->FunctionalDeviceObject->DriverObject;
  return nullptr;
}

const KSPIN_DESCRIPTOR_EX* pinDescriptor(const KSFILTER_DESCRIPTOR* d, ULONG id) {
  if (!d || id >= d->PinDescriptorsCount || !d->PinDescriptors) return nullptr;
  ULONG stride = d->PinDescriptorSize ? d->PinDescriptorSize : sizeof(KSPIN_DESCRIPTOR_EX);
  return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(reinterpret_cast<const UCHAR*>(d->PinDescriptors) +
                                                      size_t(id) * stride);
}

const KSNODE_DESCRIPTOR* nodeDescriptor(const KSFILTER_DESCRIPTOR* d, ULONG id) {
  if (!d || id >= d->NodeDescriptorsCount || !d->NodeDescriptors) return nullptr;
  ULONG stride = d->NodeDescriptorSize ? d->NodeDescriptorSize : sizeof(KSNODE_DESCRIPTOR);
  return reinterpret_cast<const KSNODE_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d->NodeDescriptors) +
                                                    size_t(id) * stride);
}

std::vector<RegisteredPin> pinsOf(const KSFILTER_DESCRIPTOR* d) {
  std::vector<RegisteredPin> pins;
  for (ULONG i = 0; d && i < d->PinDescriptorsCount; ++i) {
    const KSPIN_DESCRIPTOR_EX* p = pinDescriptor(d, i);
    RegisteredPin rp;
    rp.dataFlow = p->PinDescriptor.DataFlow;
    for (ULONG m = 0; m < p->PinDescriptor.MediumsCount && p->PinDescriptor.Mediums; ++m)
      rp.mediums.push_back(p->PinDescriptor.Mediums[m]);
    pins.push_back(std::move(rp));
  }
  return pins;
}

// Writes (or rewrites) the registry entries of a factory, one per category. Global lock held.
void cacheFactory(Factory* f, const KSFILTER_DESCRIPTOR* d) {
  auto& reg = tables().registry;
  for (ULONG c = 0; d && c < d->CategoriesCount && d->Categories; ++c) {
    const GUID& cat = d->Categories[c];
    Registration* entry = nullptr;
    for (auto& e : reg.entries) {
      auto it = reg.factoryOf.find(e.id);
      if (it != reg.factoryOf.end() && it->second == f && sameGuid(e.category, cat)) entry = &e;
    }
    if (!entry) {
      Registration r;
      r.id = reg.nextId++;
      r.device = f->device;
      r.machine = machineOf(f->device);
      r.category = cat;
      r.openable = true;
      reg.entries.push_back(r);
      entry = &reg.entries.back();
      reg.factoryOf[entry->id] = f;
    }
    entry->reference = d->ReferenceGuid ? *d->ReferenceGuid : GUID_NULL;
    entry->pins = pinsOf(d);
  }
}

void forgetRegistrations(Factory* f, PKSDEVICE device) {
  auto& reg = tables().registry;
  std::vector<Registration> keep;
  for (auto& e : reg.entries) {
    auto it = reg.factoryOf.find(e.id);
    bool ofFactory = it != reg.factoryOf.end() && f && it->second == f;
    bool ofDevice = device && e.device == device;
    if (ofFactory || ofDevice) {
      if (it != reg.factoryOf.end()) reg.factoryOf.erase(it);
    } else {
      keep.push_back(e);
    }
  }
  reg.entries.swap(keep);
}

void requirePassive(const char* what) {
  if (KeGetCurrentIrql() > APC_LEVEL) KS_MISUSE(what);
}

struct Irp {
  IRP irp{};
  IO_STACK_LOCATION stack{};
  explicit Irp(FileObject* file, UCHAR major) {
    irp.Tail.Overlay.CurrentStackLocation = &stack;
    irp.RequestorMode = UserMode;
    stack.MajorFunction = major;
    stack.FileObject = file;
  }
};

bool matchesGuid(const GUID& want, const GUID& have) {
  return sameGuid(want, GUID_NULL) || sameGuid(have, GUID_NULL) || sameGuid(want, have);
}

bool rangeMatches(const KSDATARANGE& caller, const KSDATARANGE& own) {
  return matchesGuid(caller.MajorFormat, own.MajorFormat) && matchesGuid(caller.SubFormat, own.SubFormat) &&
         matchesGuid(caller.Specifier, own.Specifier);
}

// Tears down one filter: its pins (through STOP), the Close dispatch, the BDA state, the bag.
void teardownFilter(const std::shared_ptr<Filter>& f);

}  // namespace

std::mutex& globalLock() {
  static std::mutex* m = new std::mutex;
  return *m;
}

void misuse(const char* what, const char* file, int line) {
  RtlAssert(const_cast<char*>(what), const_cast<char*>(file), ULONG(line), nullptr);
}

std::shared_ptr<Pin> pinOf(PKSPIN pin) {
  std::lock_guard<std::mutex> g(globalLock());
  auto& t = tables();
  auto it = t.pins.find(pin);
  return it == t.pins.end() ? nullptr : it->second.lock();
}

Filter* filterFromIrp(PIRP irp) {
  if (!irp || !irp->Tail.Overlay.CurrentStackLocation) return nullptr;
  auto* file = static_cast<FileObject*>(irp->Tail.Overlay.CurrentStackLocation->FileObject);
  return file ? file->filter : nullptr;
}

// ---- Factories
// --------------------------------------------------------------------------------------------------

static NTSTATUS createFactory(PDEVICE_OBJECT deviceObject, const KSFILTER_DESCRIPTOR* descriptor, ULONG flags,
                              PKSFILTERFACTORY* out) {
  requirePassive("KsCreateFilterFactory above APC_LEVEL");
  if (!deviceObject || !descriptor) return STATUS_INVALID_PARAMETER;
  PKSDEVICE device = nullptr;
  {
    std::lock_guard<std::mutex> g(globalLock());
    device = deviceOfObject(deviceObject);
  }
  if (!device) return STATUS_INVALID_DEVICE_REQUEST;
  requireDeviceMutexAfterStart(
      device, "KsCreateFilterFactory after start without the device mutex (KsAcquireDevice)");
  std::lock_guard<std::mutex> g(globalLock());
  auto f = std::make_shared<Factory>();
  f->ks.FilterDescriptor = descriptor;
  f->ks.Bag = host::bag::create();
  if (!f->ks.Bag) return STATUS_INSUFFICIENT_RESOURCES;
  f->device = device;
  f->createFlags = flags;
  tables().factories.push_back(f);
  cacheFactory(f.get(), descriptor);
  if (out) *out = &f->ks;
  return STATUS_SUCCESS;
}

static std::shared_ptr<Factory> factoryOf(PKSFILTERFACTORY ks) {
  for (auto& f : tables().factories)
    if (&f->ks == ks && !f->dead && !f->deleted) return f;
  return nullptr;
}

// Closes every filter of the factory and empties its bag. Called without the global lock.
static void teardownFactory(const std::shared_ptr<Factory>& f) {
  std::vector<std::shared_ptr<Filter>> filters;
  {
    std::lock_guard<std::mutex> g(globalLock());
    if (f->dead) return;
    f->dead = true;
    filters = f->filters;
    forgetRegistrations(f.get(), nullptr);
  }
  for (auto& filter : filters) teardownFilter(filter);
  host::bag::destroy(f->ks.Bag);
  f->ks.Bag = nullptr;
  std::lock_guard<std::mutex> g(globalLock());
  auto& v = tables().factories;
  v.erase(std::remove(v.begin(), v.end(), f), v.end());
}

static void teardownDevice(PKSDEVICE device, bool onlyFreeOnStop) {
  std::vector<std::shared_ptr<Factory>> victims;
  {
    std::lock_guard<std::mutex> g(globalLock());
    for (auto& f : tables().factories)
      if (f->device == device && (!onlyFreeOnStop || (f->createFlags & KSCREATE_ITEM_FREEONSTOP)))
        victims.push_back(f);
  }
  // Last created first, as the framework unwinds create items.
  for (auto it = victims.rbegin(); it != victims.rend(); ++it) teardownFactory(*it);
  if (!onlyFreeOnStop) {
    std::lock_guard<std::mutex> g(globalLock());
    forgetRegistrations(nullptr, device);
    auto& d = tables().devices;
    for (auto it = d.begin(); it != d.end();) it = it->second == device ? d.erase(it) : std::next(it);
  }
}

// ---- Filters
// ----------------------------------------------------------------------------------------------------

NTSTATUS openFilter(uint64_t registrationId, std::shared_ptr<Filter>& out) {
  requirePassive("filter create above APC_LEVEL");
  auto f = std::make_shared<Filter>();
  std::shared_ptr<Factory> owner;
  {
    std::lock_guard<std::mutex> g(globalLock());
    auto& reg = tables().registry;
    auto it = reg.factoryOf.find(registrationId);
    if (it != reg.factoryOf.end())
      for (auto& candidate : tables().factories)
        if (candidate.get() == it->second) owner = candidate;
  }
  if (!owner) return STATUS_OBJECT_NAME_NOT_FOUND;
  // A filter is created under its device's mutex, as the framework creates it.
  DeviceHold deviceHold(owner->device);
  Factory* factory = owner.get();
  {
    std::lock_guard<std::mutex> g(globalLock());
    // A disabled interface has no name to open.
    if (factory->dead || factory->deleted || !factory->interfacesEnabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    f->factory = factory;
    f->ks.Descriptor = factory->ks.FilterDescriptor;
    f->ks.Context = factory->ks.Context;
    f->file.filter = f.get();
  }
  f->ks.Bag = host::bag::create();
  if (!f->ks.Bag) return STATUS_INSUFFICIENT_RESOURCES;
  {
    std::lock_guard<std::mutex> g(globalLock());
    tables().filters[&f->ks] = f;
  }
  NTSTATUS status = STATUS_SUCCESS;
  const KSFILTER_DISPATCH* dispatch = f->ks.Descriptor->Dispatch;
  if (dispatch && dispatch->Create) {
    Irp irp(&f->file, IRP_MJ_CREATE);
    std::lock_guard<ControlMutex> c(f->control);
    status = kstack::call(dispatch->Create, &f->ks, &irp.irp);
  }
  std::lock_guard<std::mutex> g(globalLock());
  if (!NT_SUCCESS(status) || factory->dead || factory->deleted) {
    tables().filters.erase(&f->ks);
    f->closed = true;
    bdaForget(*f);
    host::bag::destroy(f->ks.Bag);
    f->ks.Bag = nullptr;
    return NT_SUCCESS(status) ? STATUS_DEVICE_NOT_CONNECTED : status;
  }
  factory->filters.push_back(f);
  out = f;
  return status;
}

namespace {

void teardownFilter(const std::shared_ptr<Filter>& f) {
  std::vector<std::shared_ptr<Pin>> pins;
  {
    std::lock_guard<ControlMutex> c(f->control);
    if (f->closed) return;
    pins = f->pins;
  }
  for (auto& p : pins) closePin(p);
  std::lock_guard<ControlMutex> c(f->control);
  if (f->closed) return;
  const KSFILTER_DISPATCH* dispatch = f->ks.Descriptor ? f->ks.Descriptor->Dispatch : nullptr;
  if (dispatch && dispatch->Close) {
    Irp irp(&f->file, IRP_MJ_CLOSE);
    kstack::call(dispatch->Close, &f->ks, &irp.irp);
  }
  f->closed = true;
  bdaForget(*f);
  host::bag::destroy(f->ks.Bag);
  f->ks.Bag = nullptr;
  std::shared_ptr<Factory> finished;
  {
    std::lock_guard<std::mutex> g(globalLock());
    tables().filters.erase(&f->ks);
    if (Factory* factory = f->factory) {
      auto& v = factory->filters;
      v.erase(std::remove(v.begin(), v.end(), f), v.end());
      // A factory the driver deleted while this filter was open goes with it.
      if (factory->deleted && !factory->dead && v.empty())
        for (auto& candidate : tables().factories)
          if (candidate.get() == factory) finished = candidate;
    }
    f->factory = nullptr;
  }
  if (finished) teardownFactory(finished);
}

}  // namespace

NTSTATUS closeFilter(const std::shared_ptr<Filter>& filter) {
  requirePassive("filter close above APC_LEVEL");
  {
    std::lock_guard<ControlMutex> c(filter->control);
    if (filter->closed) return STATUS_DEVICE_NOT_CONNECTED;
  }
  teardownFilter(filter);
  return STATUS_SUCCESS;
}

// ---- The framework's own property sets
// ------------------------------------------------------------------------------

namespace {

ULONG instancesOf(const Filter& filter, ULONG pinId) {
  ULONG n = 0;
  for (auto& p : filter.pins) n += p->ks.Id == pinId;
  return n;
}

// A value of known size: a zero-length buffer asks for the size, a short one is refused.
NTSTATUS reply(const void* value, ULONG size, void* data, ULONG dataSize, ULONG* returned) {
  if (dataSize == 0) {
    *returned = size;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (dataSize < size) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(data, value, size);
  *returned = size;
  return STATUS_SUCCESS;
}

// A KSMULTIPLE_ITEM and its items, each on an 8-byte boundary. A buffer of one ULONG gets the total size.
NTSTATUS replyList(const std::vector<std::vector<UCHAR>>& items, bool aligned, void* data, ULONG dataSize,
                   ULONG* returned) {
  std::vector<UCHAR> out(sizeof(KSMULTIPLE_ITEM));
  for (auto& item : items) {
    out.insert(out.end(), item.begin(), item.end());
    if (aligned) out.resize((out.size() + 7) & ~size_t(7));
  }
  KSMULTIPLE_ITEM head{ULONG(out.size()), ULONG(items.size())};
  std::memcpy(out.data(), &head, sizeof(head));
  if (dataSize == sizeof(ULONG)) {
    std::memcpy(data, &head.Size, sizeof(ULONG));
    *returned = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  return reply(out.data(), ULONG(out.size()), data, dataSize, returned);
}

template <typename T>
std::vector<UCHAR> bytesOf(const T& v) {
  const auto* b = reinterpret_cast<const UCHAR*>(&v);
  return std::vector<UCHAR>(b, b + sizeof(T));
}

// KSPROPERTY_TYPE_BASICSUPPORT: by the buffer's size, the access flags or a description of the property.
NTSTATUS basicSupport(ULONG access, void* data, ULONG dataSize, ULONG* returned) {
  if (dataSize >= sizeof(KSPROPERTY_DESCRIPTION)) {
    KSPROPERTY_DESCRIPTION desc{};
    desc.AccessFlags = access;
    desc.DescriptionSize = sizeof(desc);
    std::memcpy(data, &desc, sizeof(desc));
    *returned = sizeof(desc);
    return STATUS_SUCCESS;
  }
  if (dataSize >= sizeof(ULONG)) {
    std::memcpy(data, &access, sizeof(access));
    *returned = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  *returned = sizeof(ULONG);
  return STATUS_BUFFER_OVERFLOW;
}

// The host keeps no registry of media category names: a pin or node is named by its GUID in text form.
NTSTATUS replyName(const GUID* name, void* data, ULONG dataSize, ULONG* returned) {
  if (!name) return STATUS_NOT_FOUND;
  char text[40];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                unsigned(name->Data1), name->Data2, name->Data3, name->Data4[0], name->Data4[1],
                name->Data4[2], name->Data4[3], name->Data4[4], name->Data4[5], name->Data4[6],
                name->Data4[7]);
  WCHAR wide[40] = {};
  ULONG n = 0;
  for (; text[n]; ++n) wide[n] = WCHAR(text[n]);
  return reply(wide, (n + 1) * sizeof(WCHAR), data, dataSize, returned);
}

bool isFrameworkSet(const GUID& set, bool onPin) {
  return onPin ? sameGuid(set, KSPROPSETID_Connection)
               : sameGuid(set, KSPROPSETID_Pin) || sameGuid(set, KSPROPSETID_Topology);
}

// KSPROPSETID_Pin on a filter handle. Filter control held.
NTSTATUS pinProperty(Filter& filter, const UCHAR* req, ULONG reqSize, void* data, ULONG dataSize,
                     ULONG* returned) {
  const auto* id = reinterpret_cast<const KSIDENTIFIER*>(req);
  const KSFILTER_DESCRIPTOR* fd = filter.ks.Descriptor;
  ULONG verb = id->Flags;
  if (verb == KSPROPERTY_TYPE_BASICSUPPORT)
    return basicSupport(KSPROPERTY_TYPE_GET, data, dataSize, returned);
  if (verb == KSPROPERTY_TYPE_SET) return STATUS_INVALID_DEVICE_REQUEST;
  if (verb != KSPROPERTY_TYPE_GET) return STATUS_INVALID_PARAMETER;
  if (id->Id == KSPROPERTY_PIN_CTYPES) {
    ULONG count = fd->PinDescriptorsCount;
    return reply(&count, sizeof(count), data, dataSize, returned);
  }
  if (reqSize < sizeof(KSP_PIN)) return STATUS_BUFFER_TOO_SMALL;
  ULONG pinId = reinterpret_cast<const KSP_PIN*>(req)->PinId;
  const KSPIN_DESCRIPTOR_EX* pd = pinDescriptor(fd, pinId);
  if (!pd) return STATUS_INVALID_PARAMETER;
  const KSPIN_DESCRIPTOR& d = pd->PinDescriptor;
  switch (id->Id) {
    case KSPROPERTY_PIN_CINSTANCES: {
      KSPIN_CINSTANCES c{pd->InstancesPossible, instancesOf(filter, pinId)};
      return reply(&c, sizeof(c), data, dataSize, returned);
    }
    case KSPROPERTY_PIN_NECESSARYINSTANCES:
      return reply(&pd->InstancesNecessary, sizeof(ULONG), data, dataSize, returned);
    case KSPROPERTY_PIN_DATAFLOW:
      return reply(&d.DataFlow, sizeof(d.DataFlow), data, dataSize, returned);
    case KSPROPERTY_PIN_COMMUNICATION:
      return reply(&d.Communication, sizeof(d.Communication), data, dataSize, returned);
    case KSPROPERTY_PIN_DATARANGES:
    case KSPROPERTY_PIN_CONSTRAINEDDATARANGES: {
      std::vector<std::vector<UCHAR>> ranges;
      for (ULONG i = 0; i < d.DataRangesCount; ++i) {
        const auto* r = reinterpret_cast<const UCHAR*>(d.DataRanges[i]);
        ranges.emplace_back(r, r + d.DataRanges[i]->FormatSize);
      }
      return replyList(ranges, true, data, dataSize, returned);
    }
    case KSPROPERTY_PIN_INTERFACES:
    case KSPROPERTY_PIN_MEDIUMS: {
      bool mediums = id->Id == KSPROPERTY_PIN_MEDIUMS;
      ULONG count = mediums ? d.MediumsCount : d.InterfacesCount;
      const KSIDENTIFIER* list = mediums ? d.Mediums : d.Interfaces;
      std::vector<std::vector<UCHAR>> items;
      for (ULONG i = 0; list && i < count; ++i) items.push_back(bytesOf(list[i]));
      if (items.empty()) {
        KSIDENTIFIER standard{};
        standard.Set = mediums ? KSMEDIUMSETID_Standard : KSINTERFACESETID_Standard;
        standard.Id = mediums ? ULONG(KSMEDIUM_TYPE_ANYINSTANCE) : ULONG(KSINTERFACE_STANDARD_STREAMING);
        items.push_back(bytesOf(standard));
      }
      return replyList(items, false, data, dataSize, returned);
    }
    case KSPROPERTY_PIN_CATEGORY:
      if (!d.Category) return STATUS_NOT_FOUND;
      return reply(d.Category, sizeof(GUID), data, dataSize, returned);
    case KSPROPERTY_PIN_NAME:
      return replyName(d.Name ? d.Name : d.Category, data, dataSize, returned);
    case KSPROPERTY_PIN_DATAINTERSECTION: {
      // The caller's ranges follow the request as a KSMULTIPLE_ITEM; the first that fits gives the format.
      if (reqSize < sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM)) return STATUS_BUFFER_TOO_SMALL;
      KSMULTIPLE_ITEM head;
      std::memcpy(&head, req + sizeof(KSP_PIN), sizeof(head));
      if (head.Size < sizeof(head) || head.Size > reqSize - sizeof(KSP_PIN)) return STATUS_INVALID_PARAMETER;
      ULONG at = sizeof(KSMULTIPLE_ITEM);
      for (ULONG i = 0; i < head.Count; ++i) {
        if (head.Size - at < sizeof(KSDATARANGE)) return STATUS_INVALID_PARAMETER;
        const auto* range = reinterpret_cast<const KSDATARANGE*>(req + sizeof(KSP_PIN) + at);
        ULONG size = range->FormatSize;
        if (size < sizeof(KSDATARANGE) || size > head.Size - at) return STATUS_INVALID_PARAMETER;
        std::vector<UCHAR> format;
        NTSTATUS st = intersect(&filter, pinId, range, size, format);
        if (NT_SUCCESS(st)) return reply(format.data(), ULONG(format.size()), data, dataSize, returned);
        if (st != STATUS_NO_MATCH) return st;
        at += (size + 7) & ~ULONG(7);
        if (at > head.Size) break;
      }
      return STATUS_NO_MATCH;
    }
    default:
      return STATUS_NOT_FOUND;
  }
}

// KSPROPSETID_Topology on a filter handle, from the descriptor's categories, nodes and connections.
NTSTATUS topologyProperty(Filter& filter, const UCHAR* req, ULONG reqSize, void* data, ULONG dataSize,
                          ULONG* returned) {
  const auto* id = reinterpret_cast<const KSIDENTIFIER*>(req);
  const KSFILTER_DESCRIPTOR* fd = filter.ks.Descriptor;
  if (id->Flags == KSPROPERTY_TYPE_BASICSUPPORT)
    return basicSupport(KSPROPERTY_TYPE_GET, data, dataSize, returned);
  if (id->Flags == KSPROPERTY_TYPE_SET) return STATUS_INVALID_DEVICE_REQUEST;
  if (id->Flags != KSPROPERTY_TYPE_GET) return STATUS_INVALID_PARAMETER;
  std::vector<std::vector<UCHAR>> items;
  switch (id->Id) {
    case KSPROPERTY_TOPOLOGY_CATEGORIES:
      for (ULONG i = 0; i < fd->CategoriesCount; ++i) items.push_back(bytesOf(fd->Categories[i]));
      return replyList(items, false, data, dataSize, returned);
    case KSPROPERTY_TOPOLOGY_NODES:
      for (ULONG i = 0; i < fd->NodeDescriptorsCount; ++i) {
        const KSNODE_DESCRIPTOR* node = nodeDescriptor(fd, i);
        items.push_back(bytesOf(node->Type ? *node->Type : GUID_NULL));
      }
      return replyList(items, false, data, dataSize, returned);
    case KSPROPERTY_TOPOLOGY_CONNECTIONS:
      for (ULONG i = 0; i < fd->ConnectionsCount; ++i) items.push_back(bytesOf(fd->Connections[i]));
      return replyList(items, false, data, dataSize, returned);
    case KSPROPERTY_TOPOLOGY_NAME: {
      if (reqSize < sizeof(KSP_NODE)) return STATUS_BUFFER_TOO_SMALL;
      const KSNODE_DESCRIPTOR* node = nodeDescriptor(fd, reinterpret_cast<const KSP_NODE*>(req)->NodeId);
      if (!node) return STATUS_INVALID_PARAMETER;
      return replyName(node->Name ? node->Name : node->Type, data, dataSize, returned);
    }
    default:
      return STATUS_NOT_FOUND;
  }
}

// KSPROPSETID_Connection on a pin handle. Filter control held (it is recursive: the state change takes it
// again).
NTSTATUS connectionProperty(Pin& pin, const UCHAR* req, void* data, ULONG dataSize, ULONG* returned) {
  const auto* id = reinterpret_cast<const KSIDENTIFIER*>(req);
  bool settable = id->Id == KSPROPERTY_CONNECTION_STATE;
  bool known = settable || id->Id == KSPROPERTY_CONNECTION_DATAFORMAT ||
               id->Id == KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX;
  if (!known) return STATUS_NOT_FOUND;
  if (id->Flags == KSPROPERTY_TYPE_BASICSUPPORT)
    return basicSupport(KSPROPERTY_TYPE_GET | (settable ? KSPROPERTY_TYPE_SET : 0), data, dataSize, returned);
  if (id->Flags == KSPROPERTY_TYPE_SET) {
    if (!settable) return STATUS_INVALID_DEVICE_REQUEST;
    if (dataSize < sizeof(KSSTATE)) return STATUS_BUFFER_TOO_SMALL;
    KSSTATE state;
    std::memcpy(&state, data, sizeof(state));
    auto self = pinOf(&pin.ks);
    return self ? setPinState(self, state) : STATUS_DEVICE_NOT_CONNECTED;
  }
  if (id->Flags != KSPROPERTY_TYPE_GET) return STATUS_INVALID_PARAMETER;
  switch (id->Id) {
    case KSPROPERTY_CONNECTION_STATE:
      return reply(&pin.ks.DeviceState, sizeof(KSSTATE), data, dataSize, returned);
    case KSPROPERTY_CONNECTION_DATAFORMAT:
      return reply(pin.format.data(), ULONG(pin.format.size()), data, dataSize, returned);
    default: {
      const KSALLOCATOR_FRAMING_EX* f = pin.ks.Descriptor->AllocatorFraming;
      if (!f || !f->CountItems) return STATUS_NOT_FOUND;
      ULONG size =
          ULONG(offsetof(KSALLOCATOR_FRAMING_EX, FramingItem) + f->CountItems * sizeof(KS_FRAMING_ITEM));
      return reply(f, size, data, dataSize, returned);
    }
  }
}

}  // namespace

// ---- Requests
// ---------------------------------------------------------------------------------------------------

NTSTATUS request(Filter* filter, Pin* pin, ULONG ioctl, const void* req, ULONG reqSize, void* data,
                 ULONG dataSize, ULONG* bytesReturned) {
  requirePassive("property or method request above APC_LEVEL");
  if (bytesReturned) *bytesReturned = 0;
  if (!filter || !req) return STATUS_INVALID_PARAMETER;
  if (!data && dataSize) return STATUS_INVALID_PARAMETER;
  if (reqSize < sizeof(KSIDENTIFIER)) return STATUS_BUFFER_TOO_SMALL;
  bool isMethod = ioctl == IOCTL_KS_METHOD;
  if (!isMethod && ioctl != IOCTL_KS_PROPERTY) return STATUS_INVALID_DEVICE_REQUEST;

  std::lock_guard<ControlMutex> c(filter->control);
  if (filter->closed || (pin && pin->closed)) return STATUS_DEVICE_NOT_CONNECTED;

  // Exact-size copies, so a handler that strays beyond the buffers it was given is caught by the sanitizers.
  std::vector<UCHAR> reqBuf(static_cast<const UCHAR*>(req), static_cast<const UCHAR*>(req) + reqSize);
  std::unique_ptr<UCHAR[]> dataBuf(dataSize ? new UCHAR[dataSize] : nullptr);
  if (dataSize) std::memcpy(dataBuf.get(), data, dataSize);
  auto* id = reinterpret_cast<KSIDENTIFIER*>(reqBuf.data());

  // What the framework answers itself, from the descriptors.
  if (!isMethod && !(id->Flags & KSPROPERTY_TYPE_TOPOLOGY) && isFrameworkSet(id->Set, pin != nullptr)) {
    ULONG returned = 0;
    NTSTATUS status = STATUS_NOT_FOUND;
    if (pin)
      status = connectionProperty(*pin, reqBuf.data(), dataBuf.get(), dataSize, &returned);
    else if (sameGuid(id->Set, KSPROPSETID_Pin))
      status = pinProperty(*filter, reqBuf.data(), reqSize, dataBuf.get(), dataSize, &returned);
    else
      status = topologyProperty(*filter, reqBuf.data(), reqSize, dataBuf.get(), dataSize, &returned);
    if (NT_SUCCESS(status) && dataSize) std::memcpy(data, dataBuf.get(), dataSize);
    if (bytesReturned) *bytesReturned = returned;
    return status;
  }

  const KSFILTER_DESCRIPTOR* fd = filter->ks.Descriptor;
  const KSAUTOMATION_TABLE* table = nullptr;
  if (id->Flags & KSPROPERTY_TYPE_TOPOLOGY) {
    if (reqSize < sizeof(KSP_NODE)) return STATUS_BUFFER_TOO_SMALL;
    ULONG nodeId = reinterpret_cast<KSP_NODE*>(reqBuf.data())->NodeId;
    const KSNODE_DESCRIPTOR* node = nodeDescriptor(fd, nodeId);
    if (!node) return STATUS_INVALID_DEVICE_REQUEST;
    table = node->AutomationTable;
  } else {
    table = pin ? pin->ks.Descriptor->AutomationTable : fd->AutomationTable;
  }
  if (!table) return STATUS_NOT_FOUND;

  PFNKSHANDLER handler = nullptr;
  ULONG minReq = sizeof(KSIDENTIFIER), minData = 0;
  bool isGet = false;
  if (!isMethod) {
    const KSPROPERTY_SET* set = nullptr;
    for (ULONG i = 0; i < table->PropertySetsCount; ++i)
      if (table->PropertySets[i].Set && sameGuid(*table->PropertySets[i].Set, id->Set))
        set = &table->PropertySets[i];
    if (!set) return STATUS_NOT_FOUND;
    ULONG stride = table->PropertyItemSize ? table->PropertyItemSize : sizeof(KSPROPERTY_ITEM);
    const KSPROPERTY_ITEM* item = nullptr;
    for (ULONG i = 0; i < set->PropertiesCount; ++i) {
      auto* it = reinterpret_cast<const KSPROPERTY_ITEM*>(reinterpret_cast<const UCHAR*>(set->PropertyItem) +
                                                          size_t(i) * stride);
      if (it->PropertyId == id->Id) item = it;
    }
    if (!item) return STATUS_NOT_FOUND;
    ULONG verb = id->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
    if (verb == KSPROPERTY_TYPE_SETSUPPORT) return STATUS_SUCCESS;
    if (verb == KSPROPERTY_TYPE_BASICSUPPORT && !item->SupportHandler) {
      ULONG access = (item->GetPropertyHandler ? KSPROPERTY_TYPE_GET : 0) |
                     (item->SetPropertyHandler ? KSPROPERTY_TYPE_SET : 0);
      ULONG returned = 0;
      NTSTATUS status = basicSupport(access, data, dataSize, &returned);
      if (bytesReturned) *bytesReturned = returned;
      return status;
    }
    if (verb == KSPROPERTY_TYPE_BASICSUPPORT) {
      handler = item->SupportHandler;
    } else if (verb == KSPROPERTY_TYPE_GET) {
      handler = item->GetPropertyHandler;
      isGet = true;
    } else if (verb == KSPROPERTY_TYPE_SET) {
      handler = item->SetPropertyHandler;
    } else {
      return STATUS_INVALID_PARAMETER;
    }
    if (!handler) return STATUS_NOT_FOUND;
    minReq = std::max<ULONG>(minReq, item->MinProperty);
    minData = item->MinData;
  } else {
    const KSMETHOD_SET* set = nullptr;
    for (ULONG i = 0; i < table->MethodSetsCount; ++i)
      if (table->MethodSets[i].Set && sameGuid(*table->MethodSets[i].Set, id->Set))
        set = &table->MethodSets[i];
    if (!set) return STATUS_NOT_FOUND;
    ULONG stride = table->MethodItemSize ? table->MethodItemSize : sizeof(KSMETHOD_ITEM);
    const KSMETHOD_ITEM* item = nullptr;
    for (ULONG i = 0; i < set->MethodsCount; ++i) {
      auto* it = reinterpret_cast<const KSMETHOD_ITEM*>(reinterpret_cast<const UCHAR*>(set->MethodItem) +
                                                        size_t(i) * stride);
      if (it->MethodId == id->Id) item = it;
    }
    if (!item) return STATUS_NOT_FOUND;
    ULONG verb = id->Flags & ~KSMETHOD_TYPE_TOPOLOGY;
    if (verb == KSMETHOD_TYPE_SETSUPPORT) return STATUS_SUCCESS;
    handler = verb == KSMETHOD_TYPE_BASICSUPPORT ? item->SupportHandler : item->MethodHandler;
    if (!handler) return STATUS_NOT_FOUND;
    minReq = std::max<ULONG>(minReq, item->MinMethod);
    minData = item->MinData;
  }

  if (reqSize < minReq) return STATUS_BUFFER_TOO_SMALL;
  if (isGet && dataSize == 0 && minData > 0) {
    if (bytesReturned) *bytesReturned = minData;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (dataSize < minData) return STATUS_BUFFER_TOO_SMALL;

  Irp irp(pin ? &pin->file : &filter->file, IRP_MJ_DEVICE_CONTROL);
  auto& p = irp.stack.Parameters.DeviceIoControl;
  p.IoControlCode = ioctl;
  p.InputBufferLength = reqSize;
  p.OutputBufferLength = dataSize;
  p.Type3InputBuffer = reqBuf.data();
  irp.irp.UserBuffer = dataBuf.get();
  irp.irp.AssociatedIrp.SystemBuffer = dataBuf.get();
  irp.irp.IoStatus.Information = isGet ? minData : 0;

  NTSTATUS status = kstack::call(handler, &irp.irp, id, dataBuf.get());
  irp.irp.IoStatus.Status = status;
  ULONG_PTR info = irp.irp.IoStatus.Information;
  if (dataSize) std::memcpy(data, dataBuf.get(), dataSize);
  if (bytesReturned) {
    // An overflow or a partial answer reports the size needed; otherwise no more than the caller's buffer was
    // returned.
    *bytesReturned = (status == STATUS_BUFFER_OVERFLOW || status == STATUS_MORE_ENTRIES)
                         ? ULONG(info)
                         : ULONG(std::min<ULONG_PTR>(info, dataSize));
  }
  return status;
}

// ---- Pins
// -------------------------------------------------------------------------------------------------------

NTSTATUS intersect(Filter* filter, ULONG pinId, const KSDATARANGE* range, ULONG rangeSize,
                   std::vector<UCHAR>& format) {
  if (!range || rangeSize < sizeof(KSDATARANGE)) return STATUS_INVALID_PARAMETER;
  const KSPIN_DESCRIPTOR_EX* pd = pinDescriptor(filter->ks.Descriptor, pinId);
  if (!pd) return STATUS_INVALID_PARAMETER;
  std::vector<UCHAR> caller(reinterpret_cast<const UCHAR*>(range),
                            reinterpret_cast<const UCHAR*>(range) + rangeSize);
  auto* callerRange = reinterpret_cast<KSDATARANGE*>(caller.data());
  for (ULONG i = 0; i < pd->PinDescriptor.DataRangesCount; ++i) {
    PKSDATARANGE own = pd->PinDescriptor.DataRanges[i];
    if (!own || !rangeMatches(*callerRange, *own)) continue;
    if (!pd->IntersectHandler) {
      // Without a handler the pin's own range is the format.
      format.assign(reinterpret_cast<UCHAR*>(own), reinterpret_cast<UCHAR*>(own) + own->FormatSize);
      return STATUS_SUCCESS;
    }
    KSP_PIN pinReq{};
    pinReq.Property.Set = GUID_NULL;
    pinReq.PinId = pinId;
    Irp irp(&filter->file, IRP_MJ_DEVICE_CONTROL);
    irp.stack.Parameters.DeviceIoControl.Type3InputBuffer = &pinReq;
    irp.stack.Parameters.DeviceIoControl.InputBufferLength = sizeof(pinReq);
    ULONG size = 0;
    NTSTATUS st = kstack::call(pd->IntersectHandler, &filter->ks, &irp.irp, &pinReq, callerRange, own, 0,
                               nullptr, &size);
    if (st == STATUS_NO_MATCH) continue;
    if (st != STATUS_BUFFER_OVERFLOW && !NT_SUCCESS(st)) return st;
    if (size == 0 || size > 0x10000) return STATUS_INVALID_PARAMETER;
    std::vector<UCHAR> buf(size);
    ULONG got = 0;
    st = kstack::call(pd->IntersectHandler, &filter->ks, &irp.irp, &pinReq, callerRange, own, size,
                      buf.data(), &got);
    if (st == STATUS_NO_MATCH) continue;
    if (!NT_SUCCESS(st)) return st;
    if (got < sizeof(KSDATAFORMAT) || got > size) return STATUS_INVALID_PARAMETER;
    buf.resize(got);
    format.swap(buf);
    return STATUS_SUCCESS;
  }
  return STATUS_NO_MATCH;
}

namespace {

// The pin object behind a create: format agreed, connection given (null: the factory's first medium and the
// standard interface). Filter control held.
NTSTATUS makePin(const std::shared_ptr<Filter>& filter, const KSPIN_DESCRIPTOR_EX* pd, ULONG pinId,
                 std::vector<UCHAR> format, const KSPIN_CONNECT* connect, std::shared_ptr<Pin>& out) {
  auto p = std::make_shared<Pin>();
  p->filter = filter.get();
  p->file.filter = filter.get();
  p->file.pin = p.get();
  p->format = std::move(format);
  KSPIN& k = p->ks;
  k.Descriptor = pd;
  k.Context = filter->ks.Context;
  k.Id = pinId;
  k.Communication = pd->PinDescriptor.Communication;
  k.ConnectionIsExternal = TRUE;
  k.ConnectionInterface.Set = KSINTERFACESETID_Standard;
  k.ConnectionMedium.Set = KSMEDIUMSETID_Standard;
  if (pd->PinDescriptor.MediumsCount && pd->PinDescriptor.Mediums)
    k.ConnectionMedium = pd->PinDescriptor.Mediums[0];
  k.ConnectionPriority.PriorityClass = 1;
  if (connect) {
    k.ConnectionInterface = connect->Interface;
    k.ConnectionMedium = connect->Medium;
    k.ConnectionPriority = connect->Priority;
    k.ConnectionIsExternal = connect->PinToHandle ? FALSE : TRUE;
  }
  k.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(p->format.data());
  k.StreamHeaderSize = sizeof(KSSTREAM_HEADER);
  k.DataFlow = pd->PinDescriptor.DataFlow;
  k.DeviceState = KSSTATE_STOP;
  k.ClientState = KSSTATE_STOP;
  k.Bag = host::bag::create();
  if (!k.Bag) return STATUS_INSUFFICIENT_RESOURCES;
  {
    std::lock_guard<std::mutex> g(globalLock());
    tables().pins[&k] = p;
  }
  NTSTATUS status = STATUS_SUCCESS;
  const KSPIN_DISPATCH* dispatch = pd->Dispatch;
  if (dispatch && dispatch->SetDataFormat) {
    const KSDATARANGE* matched = nullptr;
    for (ULONG i = 0; i < pd->PinDescriptor.DataRangesCount && !matched; ++i)
      if (rangeMatches(*k.ConnectionFormat, *pd->PinDescriptor.DataRanges[i]))
        matched = pd->PinDescriptor.DataRanges[i];
    status = kstack::call(dispatch->SetDataFormat, &k, nullptr, nullptr, matched, nullptr);
  }
  if (NT_SUCCESS(status) && dispatch && dispatch->Create) {
    Irp irp(&p->file, IRP_MJ_CREATE);
    status = kstack::call(dispatch->Create, &k, &irp.irp);
  }
  if (!NT_SUCCESS(status)) {
    {
      std::lock_guard<std::mutex> g(globalLock());
      tables().pins.erase(&k);
    }
    p->closed = true;
    host::bag::destroy(k.Bag);
    k.Bag = nullptr;
    return status;
  }
  filter->pins.push_back(p);
  out = p;
  return STATUS_SUCCESS;
}

bool sameIdentifier(const KSIDENTIFIER& a, const KSIDENTIFIER& b) {
  return sameGuid(a.Set, b.Set) && a.Id == b.Id;
}

// A factory that lists no interface (medium) takes the standard one.
bool takesInterface(const KSPIN_DESCRIPTOR& d, const KSPIN_INTERFACE& want) {
  if (!d.InterfacesCount || !d.Interfaces)
    return sameGuid(want.Set, KSINTERFACESETID_Standard) && want.Id == KSINTERFACE_STANDARD_STREAMING;
  for (ULONG i = 0; i < d.InterfacesCount; ++i)
    if (sameIdentifier(d.Interfaces[i], want)) return true;
  return false;
}

bool takesMedium(const KSPIN_DESCRIPTOR& d, const KSPIN_MEDIUM& want) {
  if (!d.MediumsCount || !d.Mediums)
    return sameGuid(want.Set, KSMEDIUMSETID_Standard) && want.Id == KSMEDIUM_TYPE_ANYINSTANCE;
  for (ULONG i = 0; i < d.MediumsCount; ++i)
    if (sameIdentifier(d.Mediums[i], want)) return true;
  return false;
}

// A connection format names what it carries: the factory's range may be a wildcard, the format may not.
bool formatFits(const KSDATAFORMAT& format, const KSDATARANGE& range) {
  auto fits = [](const GUID& f, const GUID& r) { return sameGuid(r, GUID_NULL) || sameGuid(f, r); };
  return fits(format.MajorFormat, range.MajorFormat) && fits(format.SubFormat, range.SubFormat) &&
         fits(format.Specifier, range.Specifier);
}

}  // namespace

NTSTATUS createPin(const std::shared_ptr<Filter>& filter, ULONG pinId, const KSDATARANGE* range,
                   ULONG rangeSize, std::shared_ptr<Pin>& out) {
  requirePassive("pin create above APC_LEVEL");
  std::lock_guard<ControlMutex> c(filter->control);
  if (filter->closed) return STATUS_DEVICE_NOT_CONNECTED;
  const KSPIN_DESCRIPTOR_EX* pd = pinDescriptor(filter->ks.Descriptor, pinId);
  if (!pd) return STATUS_INVALID_PARAMETER;
  if (instancesOf(*filter, pinId) >= pd->InstancesPossible) return STATUS_DEVICE_BUSY;

  std::vector<UCHAR> format;
  if (!range) {
    if (!pd->PinDescriptor.DataRangesCount) return STATUS_NO_MATCH;
    range = pd->PinDescriptor.DataRanges[0];
    rangeSize = range->FormatSize;
  }
  NTSTATUS status = intersect(filter.get(), pinId, range, rangeSize, format);
  if (!NT_SUCCESS(status)) return status;
  return makePin(filter, pd, pinId, std::move(format), nullptr, out);
}

NTSTATUS connectPin(const std::shared_ptr<Filter>& filter, const KSPIN_CONNECT& connect,
                    const KSDATAFORMAT* format, ULONG formatSize, const std::shared_ptr<Pin>& peer,
                    std::shared_ptr<Pin>& out) {
  requirePassive("pin create above APC_LEVEL");
  if (!format || formatSize < sizeof(KSDATAFORMAT) || format->FormatSize < sizeof(KSDATAFORMAT) ||
      format->FormatSize > formatSize)
    return STATUS_INVALID_PARAMETER;
  // The peer's side of the join, read under its own filter's control and not under ours.
  KSPIN_DATAFLOW peerFlow = KSPIN_DATAFLOW_IN;
  if (peer) {
    std::lock_guard<ControlMutex> c(peer->filter->control);
    if (peer->closed) return STATUS_DEVICE_NOT_CONNECTED;
    if (!sameIdentifier(peer->ks.ConnectionMedium, connect.Medium)) return STATUS_NO_MATCH;
    peerFlow = peer->ks.DataFlow;
  }
  std::lock_guard<ControlMutex> c(filter->control);
  if (filter->closed) return STATUS_DEVICE_NOT_CONNECTED;
  const KSPIN_DESCRIPTOR_EX* pd = pinDescriptor(filter->ks.Descriptor, connect.PinId);
  if (!pd) return STATUS_INVALID_PARAMETER;
  const KSPIN_DESCRIPTOR& d = pd->PinDescriptor;
  if (!takesInterface(d, connect.Interface) || !takesMedium(d, connect.Medium)) return STATUS_NO_MATCH;
  if (peer && (peerFlow == d.DataFlow || d.Communication == KSPIN_COMMUNICATION_NONE)) return STATUS_NO_MATCH;
  bool fits = false;
  for (ULONG i = 0; i < d.DataRangesCount && !fits; ++i)
    fits = d.DataRanges[i] && formatFits(*format, *d.DataRanges[i]);
  if (!fits) return STATUS_NO_MATCH;
  if (instancesOf(*filter, connect.PinId) >= pd->InstancesPossible) return STATUS_DEVICE_BUSY;

  const auto* bytes = reinterpret_cast<const UCHAR*>(format);
  std::shared_ptr<Pin> pin;
  NTSTATUS status = makePin(filter, pd, connect.PinId, std::vector<UCHAR>(bytes, bytes + format->FormatSize),
                            &connect, pin);
  if (!NT_SUCCESS(status)) return status;
  pin->requestDriven = true;
  if (peer) {
    std::lock_guard<std::mutex> g(globalLock());
    if (peer->gone || peer->peer) {
      status = peer->gone ? STATUS_DEVICE_NOT_CONNECTED : STATUS_INVALID_DEVICE_STATE;
    } else {
      peer->peer = pin.get();
      pin->peer = peer.get();
    }
  }
  if (!NT_SUCCESS(status)) {
    closePin(pin);
    return status;
  }
  out = pin;
  return STATUS_SUCCESS;
}

// One step of the state machine: the driver sees every intermediate state.
static NTSTATUS stepState(Pin& p, KSSTATE to) {
  KSSTATE from = p.ks.DeviceState;
  if (from == KSSTATE_STOP && to == KSSTATE_ACQUIRE) streamStart(p);
  const KSPIN_DISPATCH* dispatch = p.ks.Descriptor->Dispatch;
  NTSTATUS status = STATUS_SUCCESS;
  if (dispatch && dispatch->SetDeviceState) status = kstack::call(dispatch->SetDeviceState, &p.ks, to, from);
  if (!NT_SUCCESS(status)) {
    if (from == KSSTATE_STOP) streamStop(p);
    return status;
  }
  p.ks.DeviceState = to;
  if (to == KSSTATE_STOP) streamStop(p);
  return status;
}

NTSTATUS setPinState(const std::shared_ptr<Pin>& pin, KSSTATE state) {
  requirePassive("pin state change above APC_LEVEL");
  Filter* f = pin->filter;
  std::lock_guard<ControlMutex> c(f->control);
  if (pin->closed) return STATUS_DEVICE_NOT_CONNECTED;
  if (ULONG(state) > ULONG(KSSTATE_RUN)) {
    // Not a state: delivered once so the driver can refuse it; the pin stays where it is.
    const KSPIN_DISPATCH* dispatch = pin->ks.Descriptor->Dispatch;
    if (!dispatch || !dispatch->SetDeviceState) return STATUS_INVALID_PARAMETER;
    return kstack::call(dispatch->SetDeviceState, &pin->ks, state, pin->ks.DeviceState);
  }
  pin->ks.ClientState = state;
  while (pin->ks.DeviceState != state) {
    KSSTATE next = KSSTATE(int(pin->ks.DeviceState) + (int(state) > int(pin->ks.DeviceState) ? 1 : -1));
    NTSTATUS status = stepState(*pin, next);
    if (!NT_SUCCESS(status)) {
      pin->ks.ClientState = pin->ks.DeviceState;
      return status;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS closePin(const std::shared_ptr<Pin>& pin) {
  requirePassive("pin close above APC_LEVEL");
  Filter* f = pin->filter;
  std::lock_guard<ControlMutex> c(f->control);
  if (pin->closed) return STATUS_DEVICE_NOT_CONNECTED;
  // Closing a running pin walks it down to STOP first; a refused step is forced.
  while (pin->ks.DeviceState != KSSTATE_STOP) {
    KSSTATE next = KSSTATE(int(pin->ks.DeviceState) - 1);
    if (!NT_SUCCESS(stepState(*pin, next))) {
      pin->ks.DeviceState = next;
      if (next == KSSTATE_STOP) streamStop(*pin);
    }
  }
  const KSPIN_DISPATCH* dispatch = pin->ks.Descriptor->Dispatch;
  if (dispatch && dispatch->Close) {
    Irp irp(&pin->file, IRP_MJ_CLOSE);
    kstack::call(dispatch->Close, &pin->ks, &irp.irp);
  }
  pin->closed = true;
  {
    std::lock_guard<std::mutex> g(globalLock());
    tables().pins.erase(&pin->ks);
    pin->gone = true;
    if (pin->peer) pin->peer->peer = nullptr;
    pin->peer = nullptr;
  }
  streamClose(*pin);
  host::bag::destroy(pin->ks.Bag);
  pin->ks.Bag = nullptr;
  auto& v = f->pins;
  v.erase(std::remove(v.begin(), v.end(), pin), v.end());
  return STATUS_SUCCESS;
}

}  // namespace host::ks::detail

// ---- Host API
// ---------------------------------------------------------------------------------------------------

namespace host::ks {

using namespace detail;

void deviceCreated(PKSDEVICE device) {
  if (!device) return;
  std::lock_guard<std::mutex> g(globalLock());
  if (device->FunctionalDeviceObject) tables().devices[device->FunctionalDeviceObject] = device;
  if (device->PhysicalDeviceObject) tables().devices[device->PhysicalDeviceObject] = device;
}

// The interfaces of every factory the device has go on as its start completes (ks.sys enables them then),
// and off as it stops.
static void setInterfaces(PKSDEVICE device, bool enabled) {
  std::lock_guard<std::mutex> g(globalLock());
  for (auto& f : tables().factories)
    if (f->device == device && !f->dead) f->interfacesEnabled = enabled;
}

void deviceStarted(PKSDEVICE device) {
  if (!device) return;
  stateOf(device)->started = true;
  setInterfaces(device, true);
}

void deviceStopped(PKSDEVICE device) {
  if (!device) return;
  stateOf(device)->started = false;
  setInterfaces(device, false);
  teardownDevice(device, true);
}

void deviceRemoved(PKSDEVICE device) {
  if (!device) return;
  stateOf(device)->started = false;
  teardownDevice(device, false);
}

std::vector<Registration> registered(const GUID& category, PDRIVER_OBJECT machine) {
  std::lock_guard<std::mutex> g(globalLock());
  std::vector<Registration> out;
  auto& reg = tables().registry;
  for (auto& e : reg.entries) {
    if (!sameGuid(e.category, category) || (machine && e.machine != machine)) continue;
    // A factory's interface is listed only while enabled.
    auto it = reg.factoryOf.find(e.id);
    if (it == reg.factoryOf.end() || it->second->interfacesEnabled) out.push_back(e);
  }
  return out;
}

size_t liveFactories() {
  std::lock_guard<std::mutex> g(globalLock());
  return tables().factories.size();
}
size_t liveFilters() {
  std::lock_guard<std::mutex> g(globalLock());
  return tables().filters.size();
}
size_t livePins() {
  std::lock_guard<std::mutex> g(globalLock());
  return tables().pins.size();
}

}  // namespace host::ks

// ---- Framework functions
// ----------------------------------------------------------------------------------------

using namespace host::ks::detail;
using host::ks::RegisteredPin;
using host::ks::Registration;

extern "C" {

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor,
                               PWSTR RefString, PSECURITY_DESCRIPTOR SecurityDescriptor,
                               ULONG CreateItemFlags, PFNKSFILTERFACTORYPOWER SleepCallback,
                               PFNKSFILTERFACTORYPOWER WakeCallback, PKSFILTERFACTORY* FilterFactory) {
  UNREFERENCED_PARAMETER(RefString);
  UNREFERENCED_PARAMETER(SecurityDescriptor);
  UNREFERENCED_PARAMETER(SleepCallback);
  UNREFERENCED_PARAMETER(WakeCallback);
  return createFactory(DeviceObject, Descriptor, CreateItemFlags, FilterFactory);
}

NTSTATUS KsFilterFactoryUpdateCacheData(PKSFILTERFACTORY FilterFactory,
                                        const KSFILTER_DESCRIPTOR* FilterDescriptor) {
  requirePassive("KsFilterFactoryUpdateCacheData above APC_LEVEL");
  std::lock_guard<std::mutex> g(globalLock());
  auto f = factoryOf(FilterFactory);
  if (!f) return STATUS_INVALID_PARAMETER;
  cacheFactory(f.get(), FilterDescriptor ? FilterDescriptor : f->ks.FilterDescriptor);
  return STATUS_SUCCESS;
}

NTSTATUS KsFilterFactorySetDeviceClassesState(PKSFILTERFACTORY FilterFactory, BOOLEAN NewState) {
  requirePassive("KsFilterFactorySetDeviceClassesState above APC_LEVEL");
  std::lock_guard<std::mutex> g(globalLock());
  auto f = factoryOf(FilterFactory);
  if (!f) return STATUS_INVALID_PARAMETER;
  f->interfacesEnabled = NewState != FALSE;
  return STATUS_SUCCESS;
}

NTSTATUS KsDeleteFilterFactory(PKSFILTERFACTORY FilterFactory) {
  requirePassive("KsDeleteFilterFactory above APC_LEVEL");
  // Filters open on the factory stay open: it opens no more of them and goes away with the last one.
  std::shared_ptr<Factory> f;
  {
    std::lock_guard<std::mutex> g(globalLock());
    f = factoryOf(FilterFactory);
  }
  if (!f) return STATUS_INVALID_PARAMETER;
  requireDeviceMutexAfterStart(
      f->device, "KsDeleteFilterFactory after start without the device mutex (KsAcquireDevice)");
  bool idle = false;
  {
    std::lock_guard<std::mutex> g(globalLock());
    if (f->dead || f->deleted) return STATUS_INVALID_PARAMETER;
    f->deleted = true;
    forgetRegistrations(f.get(), nullptr);
    idle = f->filters.empty();
  }
  if (idle) teardownFactory(f);
  return STATUS_SUCCESS;
}

VOID KsAcquireDevice(PKSDEVICE Device) {
  requirePassive("KsAcquireDevice above APC_LEVEL");
  if (!Device) return KS_MISUSE("KsAcquireDevice of a null device");
  auto state = stateOf(Device);
  if (!state->heldByThisThread() && ControlMutex::heldByThisThread() > 0)
    KS_MISUSE("KsAcquireDevice while holding a filter's control mutex (the device mutex comes first)");
  state->mutex.lock();
  state->owner = std::this_thread::get_id();
  ++state->depth;
}

VOID KsReleaseDevice(PKSDEVICE Device) {
  auto state = Device ? stateOf(Device) : nullptr;
  if (!state || !state->heldByThisThread())
    return KS_MISUSE("KsReleaseDevice by a thread that does not hold the device mutex");
  if (--state->depth == 0) state->owner = std::thread::id();
  state->mutex.unlock();
}

NTSTATUS KsRegisterFilterWithNoKSPins(PDEVICE_OBJECT DeviceObject, const GUID* InterfaceClassGUID,
                                      ULONG PinCount, BOOL* PinDirection, KSPIN_MEDIUM* MediumList,
                                      GUID* CategoryList) {
  UNREFERENCED_PARAMETER(CategoryList);
  requirePassive("KsRegisterFilterWithNoKSPins above APC_LEVEL");
  if (!DeviceObject || !InterfaceClassGUID) return STATUS_INVALID_PARAMETER;
  if (PinCount && (!PinDirection || !MediumList)) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> g(globalLock());
  auto& t = tables();
  PKSDEVICE device = deviceOfObject(DeviceObject);
  if (!device) return STATUS_INVALID_DEVICE_REQUEST;
  std::vector<RegisteredPin> pins;
  for (ULONG i = 0; i < PinCount; ++i) {
    RegisteredPin p;
    p.dataFlow = PinDirection[i] ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
    p.mediums.push_back(MediumList[i]);
    pins.push_back(std::move(p));
  }
  // The factory this registration describes: same device and category, and every real medium on its pin.
  auto describes = [&](Factory* f) {
    const KSFILTER_DESCRIPTOR* d = f->ks.FilterDescriptor;
    bool hasCategory = false;
    for (ULONG c = 0; c < d->CategoriesCount; ++c)
      hasCategory |= sameGuid(d->Categories[c], *InterfaceClassGUID);
    if (!hasCategory || d->PinDescriptorsCount != PinCount) return false;
    for (ULONG i = 0; i < PinCount; ++i) {
      if (sameGuid(MediumList[i].Set, GUID_NULL)) continue;
      const KSPIN_DESCRIPTOR_EX* pd = pinDescriptor(d, i);
      bool found = false;
      for (ULONG m = 0; m < pd->PinDescriptor.MediumsCount; ++m) {
        const KSPIN_MEDIUM& have = pd->PinDescriptor.Mediums[m];
        found |= sameGuid(have.Set, MediumList[i].Set) && have.Id == MediumList[i].Id;
      }
      if (!found) return false;
    }
    return true;
  };
  for (auto& e : t.registry.entries) {
    auto it = t.registry.factoryOf.find(e.id);
    if (e.device != device || !sameGuid(e.category, *InterfaceClassGUID)) continue;
    bool same = it != t.registry.factoryOf.end() ? describes(it->second) : false;
    if (!same && it == t.registry.factoryOf.end() && e.pins.size() == pins.size()) {
      same = true;
      for (size_t i = 0; i < pins.size(); ++i)
        same = same && e.pins[i].mediums.size() == 1 &&
               std::memcmp(&e.pins[i].mediums[0], &pins[i].mediums[0], sizeof(KSPIN_MEDIUM)) == 0;
    }
    if (same) {
      e.pins = pins;
      return STATUS_SUCCESS;
    }
  }
  Registration r;
  r.id = t.registry.nextId++;
  r.device = device;
  r.machine = machineOf(device);
  r.category = *InterfaceClassGUID;
  r.pins = pins;
  for (auto& f : t.factories) {
    if (f->dead || f->device != device || !describes(f.get())) continue;
    r.openable = true;
    r.reference = f->ks.FilterDescriptor->ReferenceGuid ? *f->ks.FilterDescriptor->ReferenceGuid : GUID_NULL;
    t.registry.factoryOf[r.id] = f.get();
    break;
  }
  t.registry.entries.push_back(r);
  return STATUS_SUCCESS;
}

NTSTATUS _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize, ULONG OldSize,
                 ULONG Tag) {
  requirePassive("_KsEdit above APC_LEVEL");
  if (!ObjectBag || !PointerToPointerToItem || !NewSize) return STATUS_INVALID_PARAMETER;
  PVOID fresh = ExAllocatePoolWithTag(PagedPool, NewSize, Tag);
  if (!fresh) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(fresh, 0, NewSize);
  PVOID old = *PointerToPointerToItem;
  if (old) std::memcpy(fresh, old, std::min(NewSize, OldSize));
  NTSTATUS status = KsAddItemToObjectBag(ObjectBag, fresh, nullptr);
  if (!NT_SUCCESS(status)) {
    ExFreePool(fresh);
    return status;
  }
  // An earlier copy in the bag is freed; a static original is left alone.
  if (old) KsRemoveItemFromObjectBag(ObjectBag, old, TRUE);
  *PointerToPointerToItem = fresh;
  return STATUS_SUCCESS;
}

PKSDEVICE KsGetDevice(PVOID Object) {
  if (!Object) return nullptr;
  std::lock_guard<std::mutex> g(globalLock());
  auto& t = tables();
  auto fi = t.filters.find(static_cast<PKSFILTER>(Object));
  if (fi != t.filters.end()) {
    auto f = fi->second.lock();
    return f && f->factory ? f->factory->device : nullptr;
  }
  auto pi = t.pins.find(static_cast<PKSPIN>(Object));
  if (pi != t.pins.end()) {
    auto p = pi->second.lock();
    return p && p->filter->factory ? p->filter->factory->device : nullptr;
  }
  for (auto& f : t.factories)
    if (&f->ks == Object) return f->device;
  for (auto& d : t.devices)
    if (d.second == Object) return d.second;
  return static_cast<PKSDEVICE>(Object);  // the device itself
}

// Filter -> factory, pin -> filter, factory -> device (mingw-w64's ks.h inlines the typed getters onto it).
PVOID KsGetParent(PVOID Object) {
  if (!Object) return nullptr;
  {
    std::lock_guard<std::mutex> g(globalLock());
    auto& t = tables();
    if (t.filters.count(static_cast<PKSFILTER>(Object)))
      return KsFilterGetParentFilterFactory(static_cast<PKSFILTER>(Object));
    if (t.pins.count(static_cast<PKSPIN>(Object))) return KsPinGetParentFilter(static_cast<PKSPIN>(Object));
  }
  return KsGetDevice(Object);
}

// KsDeleteFilterFactory is this on Windows (the header is the device's; the context is the factory).
NTSTATUS KsFreeObjectCreateItemsByContext(PVOID, PVOID Context) {
  return KsDeleteFilterFactory(static_cast<PKSFILTERFACTORY>(Context));
}

PKSFILTER KsGetFilterFromIrp(PIRP Irp) {
  Filter* f = filterFromIrp(Irp);
  return f ? &f->ks : nullptr;
}

PKSPIN KsGetPinFromIrp(PIRP Irp) {
  if (!Irp || !Irp->Tail.Overlay.CurrentStackLocation) return nullptr;
  auto* file = static_cast<FileObject*>(Irp->Tail.Overlay.CurrentStackLocation->FileObject);
  return file && file->pin ? &file->pin->ks : nullptr;
}

PKSFILTER KsPinGetParentFilter(PKSPIN Pin) {
  return Pin ? &reinterpret_cast<host::ks::detail::Pin*>(Pin)->filter->ks : nullptr;
}

PKSFILTERFACTORY KsFilterGetParentFilterFactory(PKSFILTER Filter) {
  auto* f = reinterpret_cast<host::ks::detail::Filter*>(Filter);
  return f && f->factory ? &f->factory->ks : nullptr;
}

PKSPIN KsFilterGetFirstChildPin(PKSFILTER Filter, ULONG PinId) {
  auto* f = reinterpret_cast<host::ks::detail::Filter*>(Filter);
  if (!f) return nullptr;
  std::lock_guard<ControlMutex> c(f->control);
  for (auto& p : f->pins)
    if (p->ks.Id == PinId) return &p->ks;
  return nullptr;
}

ULONG KsFilterGetChildPinCount(PKSFILTER Filter, ULONG PinId) {
  auto* f = reinterpret_cast<host::ks::detail::Filter*>(Filter);
  if (!f) return 0;
  std::lock_guard<ControlMutex> c(f->control);
  ULONG n = 0;
  for (auto& p : f->pins) n += p->ks.Id == PinId;
  return n;
}

PKSPIN KsPinGetNextSiblingPin(PKSPIN Pin) {
  if (!Pin) return nullptr;
  auto* self = reinterpret_cast<host::ks::detail::Pin*>(Pin);
  Filter* f = self->filter;
  std::lock_guard<ControlMutex> c(f->control);
  bool seen = false;
  for (auto& p : f->pins) {
    if (seen && p->ks.Id == Pin->Id) return &p->ks;
    seen |= p.get() == self;
  }
  return nullptr;
}

}  // extern "C"
