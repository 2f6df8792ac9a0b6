// Driver entry, the device descriptor handed to the streaming framework, driver-wide trace state and the pool
// allocator of driver objects.
#include "trace/trace.h"
#include "zadivo/device.h"

extern "C" {
LONG ZadivoTraceLevel = 1;
LONG ZadivoBreakOnError = 0;
}

ZTraceScope::ZTraceScope(const char* name) {
  ULONG i = 0;
  for (; name && name[i] && i < sizeof(_name) - 1; ++i) _name[i] = name[i];
  _name[i] = 0;
  if (ZadivoTraceLevel >= 0) {
    DbgPrint(ZD_PREFIX);
    DbgPrint("Entering %s\n", _name);
  }
}

ZTraceScope::~ZTraceScope() {
  if (ZadivoTraceLevel >= 0) {
    DbgPrint(ZD_PREFIX);
    DbgPrint("Exiting  %s\n", _name);
  }
}

void* zdPoolNew(size_t size, POOL_TYPE pool) noexcept {
  void* p = ExAllocatePoolWithTag(pool, size, kTagDevice);
  ZTRACE_ALLOC("new(%x) returned %p\n", (unsigned)size, p);
  return p;
}

void zdPoolDelete(void* p) noexcept {
  ZTRACE_ALLOC("delete(%p)\n", p);
  if (p) ExFreePool(p);
}

namespace {
// No static filters: factories are created per card at start.
constexpr KSDEVICE_DISPATCH kDeviceDispatch = {
    .Add = Device::dispatchCreate,
    .Start = Device::dispatchPnpStart,
    .PostStart = nullptr,
    .QueryStop = nullptr,
    .CancelStop = nullptr,
    .Stop = Device::dispatchPnpStop,
    .QueryRemove = nullptr,
    .CancelRemove = nullptr,
    .Remove = Device::dispatchRemove,
    .QueryCapabilities = nullptr,
    .SurpriseRemoval = nullptr,
    .QueryPower = Device::dispatchQueryPower,
    .SetPower = Device::dispatchSetPower,
    .QueryInterface = Device::dispatchQueryInterface,
};

// Version 0: the framework reads no member after Version, and not every edition of the headers declares one.
constexpr KSDEVICE_DESCRIPTOR deviceDescriptor() {
  KSDEVICE_DESCRIPTOR d{};
  d.Dispatch = &kDeviceDispatch;
  return d;
}
constexpr KSDEVICE_DESCRIPTOR kDeviceDescriptor = deviceDescriptor();
// mingw-w64's descriptor is 8 bytes shorter than Microsoft's (no Flags, no Alignment): only version 0 makes
// that harmless.
static_assert(kDeviceDescriptor.Version == 0,
              "the framework must read no device descriptor member after Version");
}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  ZTRACE_SCOPE("DriverEntry");
  NTSTATUS status = KsInitializeDriver(driverObject, registryPath, &kDeviceDescriptor);
  if (!NT_SUCCESS(status)) {
    DbgPrint("KsInitializeDriver error!\n");
    return STATUS_UNSUCCESSFUL;
  }
  return status;
}
