// Windows-compatible kernel-streaming (AVStream) declarations used by the driver (x64 layouts).
#pragma once
#ifdef ZADIVO_WDK
#include "platform/win/ks.h"
#else
#include "platform/kernel.h"

typedef PVOID KSOBJECT_BAG;
typedef VOID(NTAPI* PFNKSFREE)(PVOID Data);

struct _KSDEVICE;
struct _KSFILTER_DESCRIPTOR;
typedef NTSTATUS(NTAPI* PFNKSDEVICECREATE)(struct _KSDEVICE* Device);
typedef NTSTATUS(NTAPI* PFNKSDEVICEPNPSTART)(struct _KSDEVICE* Device, PIRP Irp,
                                             PCM_RESOURCE_LIST TranslatedResourceList,
                                             PCM_RESOURCE_LIST UntranslatedResourceList);
typedef NTSTATUS(NTAPI* PFNKSDEVICE)(struct _KSDEVICE* Device);
typedef NTSTATUS(NTAPI* PFNKSDEVICEIRP)(struct _KSDEVICE* Device, PIRP Irp);
typedef VOID(NTAPI* PFNKSDEVICEIRPVOID)(struct _KSDEVICE* Device, PIRP Irp);
typedef NTSTATUS(NTAPI* PFNKSDEVICEQUERYCAPABILITIES)(struct _KSDEVICE* Device, PIRP Irp, PVOID Capabilities);
typedef NTSTATUS(NTAPI* PFNKSDEVICEQUERYPOWER)(struct _KSDEVICE* Device, PIRP Irp,
                                               DEVICE_POWER_STATE DeviceTo, DEVICE_POWER_STATE DeviceFrom,
                                               SYSTEM_POWER_STATE SystemTo, SYSTEM_POWER_STATE SystemFrom,
                                               POWER_ACTION Action);
typedef VOID(NTAPI* PFNKSDEVICESETPOWER)(struct _KSDEVICE* Device, PIRP Irp, DEVICE_POWER_STATE To,
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

// ---- Filters, pins, automation (x64 layouts)
// ------------------------------------------------------------------
#ifndef _BOOL_DEFINED
#define _BOOL_DEFINED
typedef int BOOL;
#endif
typedef PVOID PSECURITY_DESCRIPTOR;
typedef LONGLONG REFERENCE_TIME;

typedef struct {
  union {
    struct {
      GUID Set;
      ULONG Id;
      ULONG Flags;
    };
    LONGLONG Alignment;
  };
} KSIDENTIFIER, *PKSIDENTIFIER;
typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY, KSMETHOD, *PKSMETHOD, KSEVENT, *PKSEVENT;
typedef KSIDENTIFIER KSPIN_MEDIUM, *PKSPIN_MEDIUM, KSPIN_INTERFACE, *PKSPIN_INTERFACE;

typedef struct {
  KSPROPERTY Property;
  ULONG NodeId;
  ULONG Reserved;
} KSP_NODE, *PKSP_NODE;
typedef struct {
  KSMETHOD Method;
  ULONG NodeId;
  ULONG Reserved;
} KSM_NODE, *PKSM_NODE;
typedef struct {
  KSPROPERTY Property;
  ULONG PinId;
  ULONG Reserved;
} KSP_PIN, *PKSP_PIN;

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_SETSUPPORT 0x00000100
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_RELATIONS 0x00000400
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000
#define KSMETHOD_TYPE_NONE 0x00000000
#define KSMETHOD_TYPE_READ 0x00000001
#define KSMETHOD_TYPE_WRITE 0x00000002
#define KSMETHOD_TYPE_MODIFY 0x00000003
#define KSMETHOD_TYPE_SOURCE 0x00000004
#define KSMETHOD_TYPE_SEND 0x00000001
#define KSMETHOD_TYPE_SETSUPPORT 0x00000100
#define KSMETHOD_TYPE_BASICSUPPORT 0x00000200
#define KSMETHOD_TYPE_TOPOLOGY 0x10000000

#define FILE_DEVICE_KS 0x0000002f
#define IOCTL_KS_PROPERTY 0x002f0003
#define IOCTL_KS_ENABLE_EVENT 0x002f0007
#define IOCTL_KS_DISABLE_EVENT 0x002f000b
#define IOCTL_KS_METHOD 0x002f000f

typedef union {
  struct {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
  };
  LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

typedef struct {
  ULONG Size;
  ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;
typedef struct {
  ULONG Size;
  ULONG Flags;
  GUID Attribute;
} KSATTRIBUTE, *PKSATTRIBUTE;
typedef struct _KSATTRIBUTE_LIST KSATTRIBUTE_LIST, *PKSATTRIBUTE_LIST;

// A fixed underlying type: requests may carry values beyond RUN, which the pins must be able to refuse.
typedef enum : LONG { KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN } KSSTATE, *PKSSTATE;
typedef enum { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT } KSPIN_DATAFLOW, *PKSPIN_DATAFLOW;
typedef enum {
  KSPIN_COMMUNICATION_NONE,
  KSPIN_COMMUNICATION_SINK,
  KSPIN_COMMUNICATION_SOURCE,
  KSPIN_COMMUNICATION_BOTH,
  KSPIN_COMMUNICATION_BRIDGE
} KSPIN_COMMUNICATION,
    *PKSPIN_COMMUNICATION;
typedef enum { KSRESET_BEGIN, KSRESET_END } KSRESET;
typedef enum { KSSTREAM_POINTER_STATE_UNLOCKED = 0, KSSTREAM_POINTER_STATE_LOCKED } KSSTREAM_POINTER_STATE;

typedef struct {
  ULONG PriorityClass;
  ULONG PrioritySubClass;
} KSPRIORITY, *PKSPRIORITY;

#define KSFILTER_NODE ((ULONG)-1)
#define KSALL_NODES ((ULONG)-1)
#define KSFILTER_DESCRIPTOR_VERSION ((ULONG)-1)
#define KSCREATE_ITEM_SECURITYCHANGED 0x00000001
#define KSCREATE_ITEM_WILDCARD 0x00000002
#define KSCREATE_ITEM_NOPARAMETERS 0x00000004
#define KSCREATE_ITEM_FREEONSTOP 0x00000008

#define KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING 0x00000001
#define KSPIN_FLAG_CRITICAL_PROCESSING 0x00000002
#define KSPIN_FLAG_HYPERCRITICAL_PROCESSING 0x00000004
#define KSPIN_FLAG_ASYNCHRONOUS_PROCESSING 0x00000008
#define KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING 0x00000010
#define KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL 0x00000020
#define KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING 0x00000040
#define KSPIN_FLAG_ENFORCE_FIFO 0x00000080
#define KSPIN_FLAG_GENERATE_MAPPINGS 0x00000100
#define KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY 0x00010000
#define KSPIN_FLAG_SPLITTER 0x00020000
#define KSPIN_FLAG_USE_STANDARD_TRANSPORT 0x00040000
#define KSPIN_FLAG_DO_NOT_USE_STANDARD_TRANSPORT 0x00080000
#define KSPIN_FLAG_FIXED_FORMAT 0x00100000
#define KSPIN_FLAG_GENERATE_EOS_EVENTS 0x00200000
#define KSPIN_FLAG_RENDERER (KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_GENERATE_EOS_EVENTS)
#define KSPIN_FLAG_IMPLEMENT_CLOCK 0x00400000
#define KSPIN_FLAG_SOME_FRAMES_REQUIRED_FOR_PROCESSING 0x00800000
#define KSPIN_FLAG_PROCESS_IF_ANY_IN_RUN_STATE 0x01000000

struct _IRP;
struct _KSFILTER;
struct _KSPIN;
struct _KSFILTERFACTORY;
struct _KSSTREAM_POINTER;
typedef struct _KSFILTER KSFILTER, *PKSFILTER;
typedef struct _KSPIN KSPIN, *PKSPIN;
typedef struct _KSFILTERFACTORY KSFILTERFACTORY, *PKSFILTERFACTORY;
typedef struct _KSSTREAM_POINTER KSSTREAM_POINTER, *PKSSTREAM_POINTER;
typedef struct _KSAUTOMATION_TABLE_ KSAUTOMATION_TABLE, *PKSAUTOMATION_TABLE;
typedef struct _KSPIN_DESCRIPTOR_EX KSPIN_DESCRIPTOR_EX, *PKSPIN_DESCRIPTOR_EX;
typedef struct _KSFILTER_DESCRIPTOR KSFILTER_DESCRIPTOR, *PKSFILTER_DESCRIPTOR;
typedef struct _KSPROCESSPIN_INDEXENTRY KSPROCESSPIN_INDEXENTRY, *PKSPROCESSPIN_INDEXENTRY;
typedef struct _KSCOMPONENTID KSCOMPONENTID, *PKSCOMPONENTID;

typedef NTSTATUS(NTAPI* PFNKSHANDLER)(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);

typedef struct {
  ULONG AccessFlags;
  ULONG DescriptionSize;
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;
typedef struct _KSPROPERTY_VALUES KSPROPERTY_VALUES, *PKSPROPERTY_VALUES;
typedef struct _KSFASTPROPERTY_ITEM KSFASTPROPERTY_ITEM, *PKSFASTPROPERTY_ITEM;
typedef struct _KSFASTMETHOD_ITEM KSFASTMETHOD_ITEM, *PKSFASTMETHOD_ITEM;

typedef struct {
  ULONG PropertyId;
  union {
    PFNKSHANDLER GetPropertyHandler;
    BOOLEAN GetSupported;
  };
  ULONG MinProperty;
  ULONG MinData;
  union {
    PFNKSHANDLER SetPropertyHandler;
    BOOLEAN SetSupported;
  };
  const KSPROPERTY_VALUES* Values;
  ULONG RelationsCount;
  const KSPROPERTY* Relations;
  PFNKSHANDLER SupportHandler;
  ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;

typedef struct {
  const GUID* Set;
  ULONG PropertiesCount;
  const KSPROPERTY_ITEM* PropertyItem;
  ULONG FastIoCount;
  const KSFASTPROPERTY_ITEM* FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;

typedef struct {
  ULONG MethodId;
  union {
    PFNKSHANDLER MethodHandler;
    BOOLEAN MethodSupported;
  };
  ULONG MinMethod;
  ULONG MinData;
  PFNKSHANDLER SupportHandler;
  ULONG Flags;
} KSMETHOD_ITEM, *PKSMETHOD_ITEM;

typedef struct {
  const GUID* Set;
  ULONG MethodsCount;
  const KSMETHOD_ITEM* MethodItem;
  ULONG FastIoCount;
  const KSFASTMETHOD_ITEM* FastIoTable;
} KSMETHOD_SET, *PKSMETHOD_SET;

typedef struct _KSEVENT_ENTRY KSEVENT_ENTRY, *PKSEVENT_ENTRY;
typedef struct {
  ULONG NotificationType;
  union {
    struct {
      PVOID Event;
      ULONG_PTR Reserved[2];
    } EventHandle;
    struct {
      PVOID Unused;
      LONG_PTR Alignment[2];
    } Alignment;
  };
} KSEVENTDATA, *PKSEVENTDATA;
typedef NTSTATUS(NTAPI* PFNKSADDEVENT)(PIRP Irp, PKSEVENTDATA EventData, PKSEVENT_ENTRY EventEntry);
typedef VOID(NTAPI* PFNKSREMOVEEVENT)(PVOID FileObject, PKSEVENT_ENTRY EventEntry);
typedef struct {
  ULONG EventId;
  ULONG DataInput;
  ULONG ExtraEntryData;
  PFNKSADDEVENT AddHandler;
  PFNKSREMOVEEVENT RemoveHandler;
  PFNKSHANDLER SupportHandler;
} KSEVENT_ITEM, *PKSEVENT_ITEM;
typedef struct {
  const GUID* Set;
  ULONG EventsCount;
  const KSEVENT_ITEM* EventItem;
} KSEVENT_SET, *PKSEVENT_SET;

struct _KSAUTOMATION_TABLE_ {
  ULONG PropertySetsCount;
  ULONG PropertyItemSize;
  const KSPROPERTY_SET* PropertySets;
  ULONG MethodSetsCount;
  ULONG MethodItemSize;
  const KSMETHOD_SET* MethodSets;
  ULONG EventSetsCount;
  ULONG EventItemSize;
  const KSEVENT_SET* EventSets;
};

#define SIZEOF_ARRAY(a) (sizeof(a) / sizeof((a)[0]))
#define DEFINE_KSPROPERTY_TABLE(tablename) const KSPROPERTY_ITEM tablename[] =
#define DEFINE_KSPROPERTY_SET_TABLE(tablename) const KSPROPERTY_SET tablename[] =
#define DEFINE_KSMETHOD_TABLE(tablename) const KSMETHOD_ITEM tablename[] =
#define DEFINE_KSMETHOD_SET_TABLE(tablename) const KSMETHOD_SET tablename[] =
#define DEFINE_KSAUTOMATION_TABLE(table) const KSAUTOMATION_TABLE table =
#define DEFINE_KSAUTOMATION_PROPERTIES(table) SIZEOF_ARRAY(table), sizeof(KSPROPERTY_ITEM), table
#define DEFINE_KSAUTOMATION_METHODS(table) SIZEOF_ARRAY(table), sizeof(KSMETHOD_ITEM), table
#define DEFINE_KSAUTOMATION_EVENTS(table) SIZEOF_ARRAY(table), sizeof(KSEVENT_ITEM), table
#define DEFINE_KSAUTOMATION_PROPERTIES_NULL 0, sizeof(KSPROPERTY_ITEM), NULL
#define DEFINE_KSAUTOMATION_METHODS_NULL 0, sizeof(KSMETHOD_ITEM), NULL
#define DEFINE_KSAUTOMATION_EVENTS_NULL 0, sizeof(KSEVENT_ITEM), NULL

typedef struct {
  ULONG InterfacesCount;
  const KSPIN_INTERFACE* Interfaces;
  ULONG MediumsCount;
  const KSPIN_MEDIUM* Mediums;
  ULONG DataRangesCount;
  const PKSDATARANGE* DataRanges;
  KSPIN_DATAFLOW DataFlow;
  KSPIN_COMMUNICATION Communication;
  const GUID* Category;
  const GUID* Name;
  union {
    LONGLONG Reserved;
    struct {
      ULONG ConstrainedDataRangesCount;
      PKSMULTIPLE_ITEM* ConstrainedDataRanges;
    };
  };
} KSPIN_DESCRIPTOR, *PKSPIN_DESCRIPTOR;

// Allocator framing.
typedef struct {
  ULONG MinFrameSize;
  ULONG MaxFrameSize;
  ULONG Stepping;
} KS_FRAMING_RANGE, *PKS_FRAMING_RANGE;
typedef struct {
  KS_FRAMING_RANGE Range;
  ULONG InPlaceWeight;
  ULONG NotInPlaceWeight;
} KS_FRAMING_RANGE_WEIGHTED, *PKS_FRAMING_RANGE_WEIGHTED;
typedef struct {
  ULONG RatioNumerator;
  ULONG RatioDenominator;
  ULONG RatioConstantMargin;
} KS_COMPRESSION, *PKS_COMPRESSION;
typedef struct {
  GUID MemoryType;
  GUID BusType;
  ULONG MemoryFlags;
  ULONG BusFlags;
  ULONG Flags;
  ULONG Frames;
  union {
    ULONG FileAlignment;
    LONG FramePitch;
  };
  ULONG MemoryTypeWeight;
  KS_FRAMING_RANGE PhysicalRange;
  KS_FRAMING_RANGE_WEIGHTED FramingRange;
} KS_FRAMING_ITEM, *PKS_FRAMING_ITEM;
typedef struct {
  ULONG CountItems;
  ULONG PinFlags;
  KS_COMPRESSION OutputCompression;
  ULONG PinWeight;
  KS_FRAMING_ITEM FramingItem[1];
} KSALLOCATOR_FRAMING_EX, *PKSALLOCATOR_FRAMING_EX;
#define KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER 0x00000001
#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY 0x00000002
#define KSALLOCATOR_REQUIREMENTF_FRAME_INTEGRITY 0x00000004
#define KSALLOCATOR_REQUIREMENTF_MUST_ALLOCATE 0x00000008
#define KSALLOCATOR_FLAG_PARTIAL_READ_SUPPORT 0x00000010

// Streaming.
typedef struct {
  LONGLONG Time;
  ULONG Numerator;
  ULONG Denominator;
} KSTIME, *PKSTIME;
typedef struct {
  ULONG Size;
  ULONG TypeSpecificFlags;
  KSTIME PresentationTime;
  LONGLONG Duration;
  ULONG FrameExtent;
  ULONG DataUsed;
  PVOID Data;
  ULONG OptionsFlags;
  ULONG Reserved;
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;
#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM 0x00000200

typedef struct {
  PUCHAR Data;
  ULONG Count;
  ULONG Remaining;
} KSSTREAM_POINTER_OFFSET, *PKSSTREAM_POINTER_OFFSET;
struct _KSSTREAM_POINTER {
  PVOID Context;
  PKSPIN Pin;
  PKSSTREAM_HEADER StreamHeader;
  PKSSTREAM_POINTER_OFFSET Offset;
  KSSTREAM_POINTER_OFFSET OffsetIn;
  KSSTREAM_POINTER_OFFSET OffsetOut;
};
typedef VOID(NTAPI* PFNKSSTREAMPOINTER)(PKSSTREAM_POINTER StreamPointer);

// Reference clock (COM-style interface; the pin releases what it obtained).
typedef GUID IID;
typedef const IID& REFIID;
typedef LONG HRESULT;
typedef struct {
  LONGLONG Granularity;
  LONGLONG Error;
} KSRESOLUTION, *PKSRESOLUTION;
struct IUnknown {
  virtual NTSTATUS NTAPI QueryInterface(REFIID InterfaceId, PVOID* Interface) = 0;
  virtual ULONG NTAPI AddRef() = 0;
  virtual ULONG NTAPI Release() = 0;
};
struct IKsReferenceClock : public IUnknown {
  virtual LONGLONG NTAPI GetTime() = 0;
  virtual LONGLONG NTAPI GetPhysicalTime() = 0;
  virtual LONGLONG NTAPI GetCorrelatedTime(PLONGLONG SystemTime) = 0;
  virtual LONGLONG NTAPI GetCorrelatedPhysicalTime(PLONGLONG SystemTime) = 0;
  virtual NTSTATUS NTAPI GetResolution(PKSRESOLUTION Resolution) = 0;
  virtual NTSTATUS NTAPI GetState(PKSSTATE State) = 0;
};
typedef IKsReferenceClock* PIKSREFERENCECLOCK;

// Dispatch tables.
typedef NTSTATUS(NTAPI* PFNKSPINIRP)(PKSPIN Pin, PIRP Irp);
typedef NTSTATUS(NTAPI* PFNKSPIN)(PKSPIN Pin);
typedef VOID(NTAPI* PFNKSPINVOID)(PKSPIN Pin);
typedef NTSTATUS(NTAPI* PFNKSPINSETDATAFORMAT)(PKSPIN Pin, PKSDATAFORMAT OldFormat,
                                               PKSMULTIPLE_ITEM OldAttributeList,
                                               const KSDATARANGE* DataRange,
                                               const KSATTRIBUTE_LIST* AttributeRange);
typedef NTSTATUS(NTAPI* PFNKSPINSETDEVICESTATE)(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState);
typedef struct _KSCLOCK_DISPATCH KSCLOCK_DISPATCH, *PKSCLOCK_DISPATCH;
typedef struct _KSALLOCATOR_DISPATCH KSALLOCATOR_DISPATCH, *PKSALLOCATOR_DISPATCH;
typedef struct {
  PFNKSPINIRP Create;
  PFNKSPINIRP Close;
  PFNKSPIN Process;
  PFNKSPINVOID Reset;
  PFNKSPINSETDATAFORMAT SetDataFormat;
  PFNKSPINSETDEVICESTATE SetDeviceState;
  PFNKSPIN Connect;
  PFNKSPINVOID Disconnect;
  const KSCLOCK_DISPATCH* Clock;
  const KSALLOCATOR_DISPATCH* Allocator;
} KSPIN_DISPATCH, *PKSPIN_DISPATCH;

typedef NTSTATUS(NTAPI* PFNKSFILTERIRP)(PKSFILTER Filter, PIRP Irp);
typedef NTSTATUS(NTAPI* PFNKSFILTERPROCESS)(PKSFILTER Filter, PKSPROCESSPIN_INDEXENTRY Index);
typedef VOID(NTAPI* PFNKSFILTERVOID)(PKSFILTER Filter);
typedef struct {
  PFNKSFILTERIRP Create;
  PFNKSFILTERIRP Close;
  PFNKSFILTERPROCESS Process;
  PFNKSFILTERVOID Reset;
} KSFILTER_DISPATCH, *PKSFILTER_DISPATCH;

// Context is the filter the pin is created on.
typedef NTSTATUS(NTAPI* PFNKSINTERSECTHANDLEREX)(PVOID Context, PIRP Irp, PKSP_PIN Pin,
                                                 PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                                 ULONG DataBufferSize, PVOID Data, PULONG DataSize);
typedef VOID(NTAPI* PFNKSFILTERFACTORYPOWER)(PKSFILTERFACTORY FilterFactory, DEVICE_POWER_STATE State);

struct _KSPIN_DESCRIPTOR_EX {
  const KSPIN_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  KSPIN_DESCRIPTOR PinDescriptor;
  ULONG Flags;
  ULONG InstancesPossible;
  ULONG InstancesNecessary;
  const KSALLOCATOR_FRAMING_EX* AllocatorFraming;
  PFNKSINTERSECTHANDLEREX IntersectHandler;
};

typedef struct {
  const KSAUTOMATION_TABLE* AutomationTable;
  const GUID* Type;
  const GUID* Name;
} KSNODE_DESCRIPTOR, *PKSNODE_DESCRIPTOR;

typedef struct {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;

struct _KSCOMPONENTID {
  GUID Manufacturer;
  GUID Product;
  GUID Component;
  GUID Name;
  ULONG Version;
  ULONG Revision;
};

struct _KSFILTER_DESCRIPTOR {
  const KSFILTER_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  ULONG Version;
  ULONG Flags;
  const GUID* ReferenceGuid;
  ULONG PinDescriptorsCount;
  ULONG PinDescriptorSize;
  const KSPIN_DESCRIPTOR_EX* PinDescriptors;
  ULONG CategoriesCount;
  const GUID* Categories;
  ULONG NodeDescriptorsCount;
  ULONG NodeDescriptorSize;
  const KSNODE_DESCRIPTOR* NodeDescriptors;
  ULONG ConnectionsCount;
  const KSTOPOLOGY_CONNECTION* Connections;
  const KSCOMPONENTID* ComponentId;
};
#define KSFILTER_FLAG_DISPATCH_LEVEL_PROCESSING 0x00000001
#define KSFILTER_FLAG_CRITICAL_PROCESSING 0x00000002
#define KSFILTER_FLAG_HYPERCRITICAL_PROCESSING 0x00000004
#define KSFILTER_FLAG_RECEIVE_ZERO_LENGTH_SAMPLES 0x00000008
#define KSFILTER_FLAG_DENY_USERMODE_ACCESS 0x80000000

struct _KSFILTERFACTORY {
  const KSFILTER_DESCRIPTOR* FilterDescriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
};
struct _KSFILTER {
  const KSFILTER_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
};
struct _KSPIN {
  const KSPIN_DESCRIPTOR_EX* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  ULONG Id;
  KSPIN_COMMUNICATION Communication;
  BOOLEAN ConnectionIsExternal;
  KSPIN_INTERFACE ConnectionInterface;
  KSPIN_MEDIUM ConnectionMedium;
  KSPRIORITY ConnectionPriority;
  PKSDATAFORMAT ConnectionFormat;
  PKSMULTIPLE_ITEM AttributeList;
  ULONG StreamHeaderSize;
  KSPIN_DATAFLOW DataFlow;
  KSSTATE DeviceState;
  KSRESET ResetState;
  KSSTATE ClientState;
};

// ---- The framework's own sets and the connect request of a pin create
// ------------------------------------------------------
typedef PVOID HANDLE, *PHANDLE;
typedef ULONG ACCESS_MASK;
#define IOCTL_KS_READ_STREAM 0x002f4017
#define KSINSTANCE_INDETERMINATE ((ULONG)-1)
#define KSMEDIUM_TYPE_ANYINSTANCE 0
typedef enum {
  KSINTERFACE_STANDARD_STREAMING,
  KSINTERFACE_STANDARD_LOOPED_STREAMING,
  KSINTERFACE_STANDARD_CONTROL
} KSINTERFACE_STANDARD;
typedef enum {
  KSPROPERTY_PIN_CINSTANCES,
  KSPROPERTY_PIN_CTYPES,
  KSPROPERTY_PIN_DATAFLOW,
  KSPROPERTY_PIN_DATARANGES,
  KSPROPERTY_PIN_DATAINTERSECTION,
  KSPROPERTY_PIN_INTERFACES,
  KSPROPERTY_PIN_MEDIUMS,
  KSPROPERTY_PIN_COMMUNICATION,
  KSPROPERTY_PIN_GLOBALCINSTANCES,
  KSPROPERTY_PIN_NECESSARYINSTANCES,
  KSPROPERTY_PIN_PHYSICALCONNECTION,
  KSPROPERTY_PIN_CATEGORY,
  KSPROPERTY_PIN_NAME,
  KSPROPERTY_PIN_CONSTRAINEDDATARANGES,
  KSPROPERTY_PIN_PROPOSEDATAFORMAT
} KSPROPERTY_PIN;
typedef enum {
  KSPROPERTY_TOPOLOGY_CATEGORIES,
  KSPROPERTY_TOPOLOGY_NODES,
  KSPROPERTY_TOPOLOGY_CONNECTIONS,
  KSPROPERTY_TOPOLOGY_NAME
} KSPROPERTY_TOPOLOGY;
typedef enum {
  KSPROPERTY_CONNECTION_STATE,
  KSPROPERTY_CONNECTION_PRIORITY,
  KSPROPERTY_CONNECTION_DATAFORMAT,
  KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
  KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT,
  KSPROPERTY_CONNECTION_ACQUIREORDERING,
  KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX,
  KSPROPERTY_CONNECTION_STARTAT
} KSPROPERTY_CONNECTION;
typedef struct {
  ULONG PossibleCount;
  ULONG CurrentCount;
} KSPIN_CINSTANCES, *PKSPIN_CINSTANCES;
// What follows it in a create request: the KSDATAFORMAT of the connection.
typedef struct {
  KSPIN_INTERFACE Interface;
  KSPIN_MEDIUM Medium;
  ULONG PinId;
  HANDLE PinToHandle;
  KSPRIORITY Priority;
} KSPIN_CONNECT, *PKSPIN_CONNECT;

// ---- GUIDs the driver names
// -------------------------------------------------------------------------------------
extern "C" {
extern const GUID GUID_NULL;
extern const GUID KSDATAFORMAT_TYPE_WILDCARD;
extern const GUID KSDATAFORMAT_SUBTYPE_WILDCARD;
extern const GUID KSDATAFORMAT_SPECIFIER_WILDCARD;
extern const GUID KSDATAFORMAT_TYPE_STREAM;
extern const GUID KSDATAFORMAT_SUBTYPE_NONE;
extern const GUID KSDATAFORMAT_SPECIFIER_NONE;
extern const GUID KSDATAFORMAT_SUBTYPE_MPEG2_TRANSPORT;
extern const GUID KSMEDIUMSETID_Standard;
extern const GUID KSINTERFACESETID_Standard;
extern const GUID KSMEMORY_TYPE_KERNEL_NONPAGED;
extern const GUID KSMEMORY_TYPE_KERNEL_PAGED;
extern const GUID KSMEMORY_TYPE_SYSTEM;
extern const GUID KSPROPSETID_Pin;
extern const GUID KSPROPSETID_Topology;
extern const GUID KSPROPSETID_Connection;
}

// ---- Functions
// --------------------------------------------------------------------------------------------------
#define KsEdit(Object, PointerToPointer, Tag)                                      \
  _KsEdit((Object)->Bag, (PVOID*)(PointerToPointer), sizeof(**(PointerToPointer)), \
          sizeof(**(PointerToPointer)), (Tag))
#define KsEditSized(Object, PointerToPointer, NewSize, OldSize, Tag) \
  _KsEdit((Object)->Bag, (PVOID*)(PointerToPointer), (NewSize), (OldSize), (Tag))

extern "C" {
NTSTATUS NTAPI KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor,
                                     PWSTR RefString, PSECURITY_DESCRIPTOR SecurityDescriptor,
                                     ULONG CreateItemFlags, PFNKSFILTERFACTORYPOWER SleepCallback,
                                     PFNKSFILTERFACTORYPOWER WakeCallback, PKSFILTERFACTORY* FilterFactory);
NTSTATUS NTAPI KsFilterFactoryUpdateCacheData(PKSFILTERFACTORY FilterFactory,
                                              const KSFILTER_DESCRIPTOR* FilterDescriptor);
NTSTATUS NTAPI KsFilterFactorySetDeviceClassesState(PKSFILTERFACTORY FilterFactory, BOOLEAN NewState);
NTSTATUS NTAPI KsDeleteFilterFactory(PKSFILTERFACTORY FilterFactory);
VOID NTAPI KsAcquireDevice(PKSDEVICE Device);
VOID NTAPI KsReleaseDevice(PKSDEVICE Device);
NTSTATUS NTAPI KsRegisterFilterWithNoKSPins(PDEVICE_OBJECT DeviceObject, const GUID* InterfaceClassGUID,
                                            ULONG PinCount, BOOL* PinDirection, KSPIN_MEDIUM* MediumList,
                                            GUID* CategoryList);
NTSTATUS NTAPI _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize, ULONG OldSize,
                       ULONG Tag);
PKSDEVICE NTAPI KsGetDevice(PVOID Object);
PVOID NTAPI KsGetParent(PVOID Object);
NTSTATUS NTAPI KsFreeObjectCreateItemsByContext(PVOID Header, PVOID Context);
PKSFILTER NTAPI KsGetFilterFromIrp(PIRP Irp);
PKSPIN NTAPI KsGetPinFromIrp(PIRP Irp);
PKSFILTER NTAPI KsPinGetParentFilter(PKSPIN Pin);
PKSFILTERFACTORY NTAPI KsFilterGetParentFilterFactory(PKSFILTER Filter);
PKSPIN NTAPI KsFilterGetFirstChildPin(PKSFILTER Filter, ULONG PinId);
ULONG NTAPI KsFilterGetChildPinCount(PKSFILTER Filter, ULONG PinId);
PKSPIN NTAPI KsPinGetNextSiblingPin(PKSPIN Pin);
NTSTATUS NTAPI KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface);
PKSSTREAM_POINTER NTAPI KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State);
VOID NTAPI KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER StreamPointer, ULONG InUsed,
                                                  ULONG OutUsed, BOOLEAN Eject);
NTSTATUS NTAPI KsStreamPointerClone(PKSSTREAM_POINTER StreamPointer, PFNKSSTREAMPOINTER CancelCallback,
                                    ULONG ContextSize, PKSSTREAM_POINTER* CloneStreamPointer);
VOID NTAPI KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject);
PKSSTREAM_POINTER NTAPI KsPinGetFirstCloneStreamPointer(PKSPIN Pin);
PKSSTREAM_POINTER NTAPI KsStreamPointerGetNextClone(PKSSTREAM_POINTER StreamPointer);
VOID NTAPI KsStreamPointerDelete(PKSSTREAM_POINTER StreamPointer);
NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                                  const KSDEVICE_DESCRIPTOR* Descriptor);
NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free);
ULONG NTAPI KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free);
NTSTATUS NTAPI KsAllocateObjectBag(PKSDEVICE Device, KSOBJECT_BAG* ObjectBag);
VOID NTAPI KsFreeObjectBag(KSOBJECT_BAG ObjectBag);
NTSTATUS NTAPI KsCopyObjectBagItems(KSOBJECT_BAG ObjectBagDestination, KSOBJECT_BAG ObjectBagSource);
}
#endif  // ZADIVO_WDK
