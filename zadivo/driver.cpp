// Driver entry, the device descriptor handed to the streaming framework, driver-wide trace state and the pool
// allocator of driver objects.
#include "zadivo/device.h"
#include "zadivo/trace.h"

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

void* zdPoolNew(size_t size) noexcept {
  void* p = ExAllocatePoolWithTag(NonPagedPool, size, kTagDevice);
  ZTRACE_ALLOC("new(%x) returned %p\n", (unsigned)size, p);
  return p;
}

void zdPoolDelete(void* p) noexcept {
  ZTRACE_ALLOC("delete(%p)\n", p);
  if (p) ExFreePool(p);
}

namespace {
// No static filters: factories are created per card at start.
const KSDEVICE_DISPATCH kDeviceDispatch = {
    Device::dispatchCreate,          // Add
    Device::dispatchPnpStart,        // Start
    nullptr,                         // PostStart
    nullptr,                         // QueryStop
    nullptr,                         // CancelStop
    Device::dispatchPnpStop,         // Stop
    nullptr,                         // QueryRemove
    nullptr,                         // CancelRemove
    Device::dispatchRemove,          // Remove
    nullptr,                         // QueryCapabilities
    nullptr,                         // SurpriseRemoval
    Device::dispatchQueryPower,      // QueryPower
    Device::dispatchSetPower,        // SetPower
    Device::dispatchQueryInterface,  // QueryInterface
};

const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {
    &kDeviceDispatch,
    0,        // FilterDescriptorsCount
    nullptr,  // FilterDescriptors
    0,        // Version
    0,        // Flags
};
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
