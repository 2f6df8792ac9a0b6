// The capture filter's output pin: it moves no data itself. Running it starts the channel's DMA, whose DPC
// fills the frames at the pin's leading edge; leaving RUN stops it. A channel streams into one pin at a time:
// RUN is refused (STATUS_DEVICE_BUSY) while another capture filter's pin streams the channel. The pin also
// holds the reference clock between ACQUIRE and STOP and agrees on its one fixed format.
#pragma once
#include "platform/bda.h"
#include "platform/platform.h"
#include "zadivo/pool_object.h"

class Device;
struct InstanceInfo;

class TSOutputPin {
 public:
  // Pin dispatch (KSPIN_DISPATCH) and intersection.
  static NTSTATUS NTAPI static_Create(PKSPIN pin, PIRP irp);
  static void NTAPI static_cleanup(PVOID context);
  static NTSTATUS NTAPI static_Process(PKSPIN pin);
  static NTSTATUS NTAPI static_SetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat,
                                             PKSMULTIPLE_ITEM oldAttributes, const KSDATARANGE* dataRange,
                                             const KSATTRIBUTE_LIST* attributeRange);
  static NTSTATUS NTAPI static_SetState(PKSPIN pin, KSSTATE toState, KSSTATE fromState);
  static NTSTATUS NTAPI static_IntersectHandler(PVOID filter, PIRP irp, PKSP_PIN pinRequest,
                                                PKSDATARANGE callerRange, PKSDATARANGE descriptorRange,
                                                ULONG bufferSize, PVOID data, PULONG dataSize);

  TSOutputPin(PKSPIN pin, Device* device, const InstanceInfo* instance);
  ~TSOutputPin();
  NTSTATUS setState(KSSTATE toState, KSSTATE fromState);

  // Non-paged: the DMA DPC reads the first field at DISPATCH_LEVEL.
  ZD_POOL_OBJECT

  // Fields in order. The pin must come first: Device::startTSn takes it from the context's first field.
  PKSPIN _p_pin;
  Device* _p_device;
  // Held from ACQUIRE (out of STOP) until STOP; PASSIVE_LEVEL state changes only.
  PIKSREFERENCECLOCK _p_clock;
  const InstanceInfo* _p_instance;

 private:
  NTSTATUS startChannel();
  void stopChannel();
  void deleteClones();
};
