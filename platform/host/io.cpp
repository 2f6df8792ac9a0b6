// The I/O manager part the driver uses: device properties from the card's identity, device object references,
// synchronous IRPs and the bus driver's answer to PCI configuration requests.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>

#include "platform/host/internal.h"

namespace host {
namespace {

// An IRP built by IoBuildSynchronousFsdRequest, with its stack and where its completion is reported.
struct HostIrp {
  IRP irp;  // first: the driver sees this
  IO_STACK_LOCATION stack[2];
  PIO_STATUS_BLOCK iosb;
  PKEVENT event;
};

struct IrpState {
  std::mutex m;
  std::set<IRP*> live;
};
IrpState& irpState() {
  static IrpState* s = new IrpState;
  return *s;
}

bool isLiveIrp(PIRP irp) {
  std::lock_guard<std::mutex> g(irpState().m);
  return irpState().live.count(irp) != 0;
}

void completeIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  auto* h = reinterpret_cast<HostIrp*>(irp);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  {
    std::lock_guard<std::mutex> g(irpState().m);
    irpState().live.erase(irp);
  }
  if (h->iosb) *h->iosb = irp->IoStatus;
  if (h->event) KeSetEvent(h->event, 0, FALSE);
  delete h;
}

// The bus driver's PCI configuration access. Returns the status and bytes moved.
NTSTATUS configAccess(detail::DeviceNode& node, PIO_STACK_LOCATION loc, ULONG_PTR* moved) {
  auto& p = loc->Parameters.ReadWriteConfig;
  *moved = 0;
  if (p.WhichSpace != PCI_WHICHSPACE_CONFIG || !p.Buffer || p.Offset > 256 || p.Length > 256 - p.Offset)
    return STATUS_INVALID_PARAMETER;
  std::shared_lock<std::shared_mutex> g(node.cardMutex);
  if (!node.card) return STATUS_DEVICE_NOT_CONNECTED;
  if (loc->MinorFunction == IRP_MN_READ_CONFIG)
    node.card->configRead(p.Offset, p.Buffer, p.Length);
  else
    node.card->configWrite(p.Offset, p.Buffer, p.Length);
  *moved = p.Length;
  return STATUS_SUCCESS;
}

NTSTATUS pdoDispatch(const std::shared_ptr<detail::DeviceNode>& node, PIRP irp) {
  PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
  bool config = loc->MajorFunction == IRP_MJ_PNP &&
                (loc->MinorFunction == IRP_MN_READ_CONFIG || loc->MinorFunction == IRP_MN_WRITE_CONFIG);
  if (!config) {
    // A bus driver leaves the status of a PnP request it does not handle as it found it.
    NTSTATUS s = irp->IoStatus.Status;
    completeIrp(irp, s, irp->IoStatus.Information);
    return s;
  }
  bool pending;
  {
    std::lock_guard<std::mutex> g(node->hookMutex);
    pending = node->configPending;
  }
  if (!pending) {
    ULONG_PTR moved;
    NTSTATUS s = configAccess(*node, loc, &moved);
    completeIrp(irp, s, moved);
    return s;
  }
  irp->PendingReturned = TRUE;
  std::lock_guard<std::mutex> g(node->hookMutex);
  node->completions.emplace_back([node, irp, loc] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the caller is waiting by now, usually
    ULONG_PTR moved;
    NTSTATUS s = configAccess(*node, loc, &moved);
    completeIrp(irp, s, moved);
  });
  return STATUS_PENDING;
}

}  // namespace

size_t liveIrps() {
  std::lock_guard<std::mutex> g(irpState().m);
  return irpState().live.size();
}

}  // namespace host

using namespace host;

extern "C" NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                        ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
  auto node = detail::nodeByDevice(DeviceObject);
  if (!node || DeviceObject != &node->pdo) {
    HOST_MISUSE("IoGetDeviceProperty on a device object that is not a physical device object");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  {
    std::lock_guard<std::mutex> g(node->hookMutex);
    auto it = node->failedProperties.find(DeviceProperty);
    if (it != node->failedProperties.end()) return it->second;
  }
  uint8_t value[16];
  ULONG size = 4;
  {
    std::shared_lock<std::shared_mutex> g(node->cardMutex);
    if (!node->card) return STATUS_DEVICE_NOT_CONNECTED;
    ULONG v;
    switch (DeviceProperty) {
      case DevicePropertyBusNumber:
        v = node->card->busNumber();
        break;
      case DevicePropertyAddress:
        v = (node->card->deviceNumber() << 16) | (node->card->functionNumber() & 0xFFFF);
        break;
      case DevicePropertyUINumber:
        v = node->card->uiNumber();
        break;
      case DevicePropertyLegacyBusType:
        v = PCIBus;
        break;
      case DevicePropertyBusTypeGuid: {
        static const GUID kPciBus = {
            0xc8ebdfb0, 0xb510, 0x11d0, {0x80, 0xe5, 0x00, 0xa0, 0xc9, 0x25, 0x42, 0xe3}};
        memcpy(value, &kPciBus, sizeof kPciBus);
        size = sizeof kPciBus;
        v = 0;
        break;
      }
      default:
        return STATUS_INVALID_PARAMETER;
    }
    if (size == 4) memcpy(value, &v, 4);
  }
  if (ResultLength) *ResultLength = size;
  if (BufferLength < size || !PropertyBuffer) return STATUS_BUFFER_TOO_SMALL;
  memcpy(PropertyBuffer, value, size);
  return STATUS_SUCCESS;
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  if (!DeviceObject) {
    HOST_MISUSE("IoGetAttachedDeviceReference of a null device object");
    return nullptr;
  }
  PDEVICE_OBJECT top = DeviceObject;
  while (top->AttachedDevice) top = top->AttachedDevice;
  __atomic_fetch_add(&top->ReferenceCount, 1, __ATOMIC_RELAXED);
  return top;
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object) {
  auto* dev = static_cast<PDEVICE_OBJECT>(Object);
  if (!detail::nodeByDevice(dev)) {
    HOST_MISUSE("ObfDereferenceObject of an object the host does not know");
    return 0;
  }
  LONG now = __atomic_sub_fetch(&dev->ReferenceCount, 1, __ATOMIC_RELAXED);
  if (now < 0) {
    __atomic_fetch_add(&dev->ReferenceCount, 1, __ATOMIC_RELAXED);
    HOST_MISUSE("ObfDereferenceObject below zero references");
    return 0;
  }
  return now;
}

extern "C" PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                             ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                             PIO_STATUS_BLOCK IoStatusBlock) {
  (void)StartingOffset;
  HOST_REQUIRE(KeGetCurrentIrql() <= APC_LEVEL, "IoBuildSynchronousFsdRequest above APC_LEVEL");
  if (!DeviceObject || !Event || !IoStatusBlock) {
    HOST_MISUSE("IoBuildSynchronousFsdRequest without a device object, event or status block");
    return nullptr;
  }
  auto* h = new HostIrp{};
  h->irp.Type = 6;  // IO_TYPE_IRP
  h->irp.Size = sizeof(HostIrp);
  h->irp.StackCount = 2;
  h->irp.CurrentLocation = 3;
  h->irp.Tail.Overlay.CurrentStackLocation = &h->stack[2];
  h->irp.UserBuffer = Buffer;
  h->irp.AssociatedIrp.SystemBuffer = Buffer;
  h->irp.IoStatus.Status = STATUS_SUCCESS;
  h->irp.IoStatus.Information = Length;
  h->iosb = IoStatusBlock;
  h->event = Event;
  IoGetNextIrpStackLocation(&h->irp)->MajorFunction = static_cast<UCHAR>(MajorFunction);
  std::lock_guard<std::mutex> g(irpState().m);
  irpState().live.insert(&h->irp);
  return &h->irp;
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!Irp || !isLiveIrp(Irp)) {
    HOST_MISUSE("IofCallDriver with an IRP the I/O manager did not build (or already completed)");
    return STATUS_INVALID_PARAMETER;
  }
  if (Irp->CurrentLocation <= 1) {
    HOST_MISUSE("IofCallDriver with no stack location left");
    completeIrp(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(Irp);
  loc->DeviceObject = DeviceObject;
  auto node = detail::nodeByDevice(DeviceObject);
  if (!node) {
    HOST_MISUSE("IofCallDriver to a device object the host does not know");
    completeIrp(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (DeviceObject == &node->fdo) {
    // The streaming class passes requests it does not handle down to the bus driver.
    *IoGetNextIrpStackLocation(Irp) = *loc;
    return IofCallDriver(&node->pdo, Irp);
  }
  return pdoDispatch(node, Irp);
}
