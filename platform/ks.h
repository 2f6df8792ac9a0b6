// Windows-compatible kernel-streaming (AVStream) declarations used by the driver (x64 layouts).
#pragma once
#include "platform/kernel.h"

typedef PVOID KSOBJECT_BAG;
typedef VOID (*PFNKSFREE)(PVOID Data);

struct _KSDEVICE;
struct _KSFILTER_DESCRIPTOR;
typedef NTSTATUS (*PFNKSDEVICECREATE)(struct _KSDEVICE* Device);
typedef NTSTATUS (*PFNKSDEVICEPNPSTART)(struct _KSDEVICE* Device, PIRP Irp, PCM_RESOURCE_LIST TranslatedResourceList,
                                        PCM_RESOURCE_LIST UntranslatedResourceList);
typedef NTSTATUS (*PFNKSDEVICE)(struct _KSDEVICE* Device);
typedef NTSTATUS (*PFNKSDEVICEIRP)(struct _KSDEVICE* Device, PIRP Irp);
typedef VOID (*PFNKSDEVICEIRPVOID)(struct _KSDEVICE* Device, PIRP Irp);
typedef NTSTATUS (*PFNKSDEVICEQUERYCAPABILITIES)(struct _KSDEVICE* Device, PIRP Irp, PVOID Capabilities);
typedef NTSTATUS (*PFNKSDEVICEQUERYPOWER)(struct _KSDEVICE* Device, PIRP Irp, DEVICE_POWER_STATE DeviceTo,
                                          DEVICE_POWER_STATE DeviceFrom, SYSTEM_POWER_STATE SystemTo,
                                          SYSTEM_POWER_STATE SystemFrom, POWER_ACTION Action);
typedef VOID (*PFNKSDEVICESETPOWER)(struct _KSDEVICE* Device, PIRP Irp, DEVICE_POWER_STATE To,
                                    DEVICE_POWER_STATE From);

typedef struct _KSDEVICE_DISPATCH {
  PFNKSDEVICECREATE Add;
  PFNKSDEVICEPNPSTART Start;
  PFNKSDEVICE PostStart;
  PFNKSDEVICEIRP QueryStop;
  PFNKSDEVICEIRPVOID CancelStop;
  PFNKSDEVICEIRPVOID Stop;
  PFNKSDEVICEIRP QueryRemove;
  PFNKSDEVICEIRPVOID CancelRemove;
  PFNKSDEVICEIRPVOID Remove;
  PFNKSDEVICEQUERYCAPABILITIES QueryCapabilities;
  PFNKSDEVICEIRPVOID SurpriseRemoval;
  PFNKSDEVICEQUERYPOWER QueryPower;
  PFNKSDEVICESETPOWER SetPower;
  PFNKSDEVICEIRP QueryInterface;
} KSDEVICE_DISPATCH, *PKSDEVICE_DISPATCH;

#define KSDEVICE_DESCRIPTOR_VERSION 0x100
typedef struct _KSDEVICE_DESCRIPTOR {
  const KSDEVICE_DISPATCH* Dispatch;
  ULONG FilterDescriptorsCount;
  const struct _KSFILTER_DESCRIPTOR* const* FilterDescriptors;
  ULONG Version;
  ULONG Flags;
} KSDEVICE_DESCRIPTOR, *PKSDEVICE_DESCRIPTOR;

typedef struct _KSDEVICE {
  const KSDEVICE_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  PDEVICE_OBJECT FunctionalDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT NextDeviceObject;
  BOOLEAN Started;
  SYSTEM_POWER_STATE SystemPowerState;
  DEVICE_POWER_STATE DevicePowerState;
} KSDEVICE, *PKSDEVICE;

extern "C" {
NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                            const KSDEVICE_DESCRIPTOR* Descriptor);
NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free);
ULONG KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free);
}
