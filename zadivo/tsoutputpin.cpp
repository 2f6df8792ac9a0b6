// TS output pin of the capture filter: context life through the pin's object bag, the state changes that
// start and stop the channel's DMA and hold the reference clock, clone deletion and the format intersection.
// Its traces print unconditionally and without prefix, except the create traces, which follow the trace
// level.
#include "zadivo/tsoutputpin.h"

#include "trace/trace.h"
#include "zadivo/device.h"
#include "zadivo/filter_descriptors.h"
#include "zadivo/instance_table.h"

namespace {

constexpr ULONG kOutputRangeBytes = sizeof(KSDATARANGE);  // 64

// The channel of a capture filter, by its reference GUID; instance 1 for anything else.
const InstanceInfo& instanceOfCapture(PKSPIN pin) {
  PKSFILTER filter = KsPinGetParentFilter(pin);
  const KSFILTER_DESCRIPTOR* descriptor = filter ? filter->Descriptor : nullptr;
  for (ULONG i = 0; descriptor && descriptor->ReferenceGuid && i < kInstanceCount; ++i)
    if (IsEqualGUID(*descriptor->ReferenceGuid, kCaptureReference[i])) return instanceInfo(i + 1);
  return instanceInfo(1);
}

}  // namespace

TSOutputPin::TSOutputPin(PKSPIN pin, Device* device, const InstanceInfo* instance)
    : _p_pin(pin), _p_device(device), _p_clock(nullptr), _p_instance(instance) {
  ZTRACE("TSOutputPin%s::TSOutputPin", instance->suffix);
}

TSOutputPin::~TSOutputPin() {
  DbgPrint("TSOutputPin%s::~TSOutputPin", _p_instance->suffix);
  // The framework stops a pin before it empties the bag; a clock still held here would leak its reference.
  if (_p_clock) {
    _p_clock->Release();
    _p_clock = nullptr;
  }
}

NTSTATUS TSOutputPin::static_Create(PKSPIN pin, PIRP irp) {
  UNREFERENCED_PARAMETER(irp);
  const InstanceInfo& info = instanceOfCapture(pin);
  ZTRACE("TSOutputPin%s::static_Create \n", info.suffix);
  PKSDEVICE ksDevice = KsGetDevice(pin);
  Device* device = ksDevice ? static_cast<Device*>(ksDevice->Context) : nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  TSOutputPin* context = new TSOutputPin(pin, device, &info);
  if (!context) {
    DbgPrint("TSOutputPin%s::STATUS_INSUFFICIENT_RESOURCES \n", info.suffix);
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    status = KsAddItemToObjectBag(pin->Bag, context, static_cleanup);
    if (!NT_SUCCESS(status))
      delete context;
    else
      pin->Context = context;
  }
  ZTRACE("TSOutputPin%s::static_Create end \n", info.suffix);
  return status;
}

void TSOutputPin::static_cleanup(PVOID context) {
  DbgPrint("TSOutputPin::static_cleanup");
  delete static_cast<TSOutputPin*>(context);
}

NTSTATUS TSOutputPin::static_Process(PKSPIN pin) {
  auto* context = static_cast<TSOutputPin*>(pin->Context);
  DbgPrint("TSOutputPin%s::static_Process", context ? context->_p_instance->suffix : "");
  return STATUS_PENDING;
}

// Any format the framework hands over is the pin's fixed one.
NTSTATUS TSOutputPin::static_SetDataFormat(PKSPIN, PKSDATAFORMAT, PKSMULTIPLE_ITEM, const KSDATARANGE*,
                                           const KSATTRIBUTE_LIST*) {
  return STATUS_SUCCESS;
}

NTSTATUS TSOutputPin::static_SetState(PKSPIN pin, KSSTATE toState, KSSTATE fromState) {
  auto* context = static_cast<TSOutputPin*>(pin->Context);
  DbgPrint("TSOutputPin%s::static_SetState", context ? context->_p_instance->suffix : "");
  // A pin whose create failed has no context; there is nothing to start or stop.
  return context ? context->setState(toState, fromState) : STATUS_SUCCESS;
}

NTSTATUS TSOutputPin::static_IntersectHandler(PVOID filter, PIRP irp, PKSP_PIN pinRequest,
                                              PKSDATARANGE callerRange, PKSDATARANGE descriptorRange,
                                              ULONG bufferSize, PVOID data, PULONG dataSize) {
  UNREFERENCED_PARAMETER(filter);
  UNREFERENCED_PARAMETER(irp);
  UNREFERENCED_PARAMETER(pinRequest);
  UNREFERENCED_PARAMETER(callerRange);
  DbgPrint("TSOutputPin::static_IntersectHandler");
  if (bufferSize == 0) {
    *dataSize = kOutputRangeBytes;
    DbgPrint("TSOutputPin::static_IntersectHandler STATUS_BUFFER_OVERFLOW");
    return STATUS_BUFFER_OVERFLOW;
  }
  if (bufferSize < kOutputRangeBytes) {
    DbgPrint("TSOutputPin::static_IntersectHandler STATUS_BUFFER_TOO_SMALL");
    return STATUS_BUFFER_TOO_SMALL;
  }
  // The pin's own range, whatever the caller asked for: the format is fixed.
  RtlCopyMemory(data, descriptorRange, kOutputRangeBytes);
  *dataSize = kOutputRangeBytes;
  return STATUS_SUCCESS;
}

NTSTATUS TSOutputPin::setState(KSSTATE toState, KSSTATE fromState) {
  DbgPrint("TSOutputPin%s::setState", _p_instance->suffix);
  switch (toState) {
    case KSSTATE_STOP:
      stopChannel();
      deleteClones();
      if (_p_clock) {
        _p_clock->Release();
        _p_clock = nullptr;
      }
      break;
    case KSSTATE_ACQUIRE:
      if (fromState == KSSTATE_STOP) {
        if (!_p_clock && !NT_SUCCESS(KsPinGetReferenceClockInterface(_p_pin, &_p_clock))) _p_clock = nullptr;
      } else {
        stopChannel();
        deleteClones();
      }
      break;
    case KSSTATE_PAUSE:
      if (fromState == KSSTATE_RUN) {
        stopChannel();
        deleteClones();
      }
      break;
    case KSSTATE_RUN:
      return startChannel();
    default:
      break;
  }
  return STATUS_SUCCESS;
}

NTSTATUS TSOutputPin::startChannel() {
  if (!_p_device) return STATUS_DEVICE_NOT_CONNECTED;
  const ULONG base = _p_instance->blockBase;
  switch (_p_instance->number) {
    case 1:
      return _p_device->startTS0(this, base);
    case 2:
      return _p_device->startTS1(this, base);
    case 3:
      return _p_device->startTS2(this, base);
    case 4:
      return _p_device->startTS3(this, base);
    case 5:
      return _p_device->startTS4(this, base);
    case 6:
      return _p_device->startTS5(this, base);
    case 7:
      return _p_device->startTS6(this, base);
    case 8:
      return _p_device->startTS7(this, base);
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

// A pin refused at start must not stop the stream of the pin that has the channel.
void TSOutputPin::stopChannel() {
  if (_p_device) _p_device->stopTS(_p_instance->blockBase, this);
}

// Frames the DPC was filling go back empty; the next one is taken after the next start.
void TSOutputPin::deleteClones() {
  PKSSTREAM_POINTER clone = KsPinGetFirstCloneStreamPointer(_p_pin);
  while (clone) {
    PKSSTREAM_POINTER next = KsStreamPointerGetNextClone(clone);
    if (clone->StreamHeader) clone->StreamHeader->DataUsed = 0;
    KsStreamPointerDelete(clone);
    clone = next;
  }
}
