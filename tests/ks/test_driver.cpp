#include "tests/ks/test_driver.h"

#include <cstdio>
#include <cstring>
#include <map>

#include "platform/host/host.h"
#include "platform/host/ks/ks_host.h"

namespace ksdrv {

const GUID kMediumSet = {0x5a1e0001, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};
const GUID kTestPropSet = {0x5a1e0002, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};
const GUID kTunerRef = {0x5a1e0003, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};
const GUID kCaptureRef = {0x5a1e0004, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};

Log& log() {
  static Log l;
  return l;
}
Knobs& knobs() {
  static Knobs k;
  return k;
}

namespace {

std::string tagged(const char* what, const void* p) {
  char b[96];
  std::snprintf(b, sizeof b, "%s %p", what, p);
  return b;
}

// ---- Contexts in bags
// -----------------------------------------------------------------------------------------

struct Ctx {
  const char* name;
};
void NTAPI freeCtx(PVOID p) {
  auto* c = static_cast<Ctx*>(p);
  log().add(std::string("free ") + c->name);
  ExFreePool(c);
}
NTSTATUS bagContext(KSOBJECT_BAG bag, const char* name, PVOID* context) {
  auto* c = static_cast<Ctx*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Ctx), kTag));
  if (!c) return STATUS_INSUFFICIENT_RESOURCES;
  c->name = name;
  NTSTATUS s = KsAddItemToObjectBag(bag, c, freeCtx);
  if (!NT_SUCCESS(s)) {
    ExFreePool(c);
    return s;
  }
  *context = c;
  return STATUS_SUCCESS;
}

// ---- Ranges
// ----------------------------------------------------------------------------------------------------

KSDATARANGE makeRange(ULONG size, ULONG sample, const GUID& major, const GUID& sub, const GUID& specifier) {
  KSDATARANGE r{};
  r.FormatSize = size;
  r.SampleSize = sample;
  r.MajorFormat = major;
  r.SubFormat = sub;
  r.Specifier = specifier;
  return r;
}
KSDATARANGE antennaRange = makeRange(sizeof(KSDATARANGE), 0, KSDATAFORMAT_TYPE_BDA_ANTENNA,
                                     KSDATAFORMAT_SUBTYPE_NONE, KSDATAFORMAT_SPECIFIER_NONE);
KS_DATARANGE_BDA_TRANSPORT transportRange = {
    makeRange(sizeof(KS_DATARANGE_BDA_TRANSPORT), 0, KSDATAFORMAT_TYPE_STREAM,
              KSDATAFORMAT_SUBTYPE_MPEG2_TRANSPORT, KSDATAFORMAT_SPECIFIER_BDA_TRANSPORT),
    {188, 96256, 0, 0}};
KSDATARANGE outputRange = makeRange(sizeof(KSDATARANGE), kFrameSize, KSDATAFORMAT_TYPE_STREAM,
                                    KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT, KSDATAFORMAT_SPECIFIER_NONE);
const PKSDATARANGE antennaRanges[] = {&antennaRange};
const PKSDATARANGE transportRanges[] = {&transportRange.DataRange};
const PKSDATARANGE outputRanges[] = {&outputRange};

// The transport pin answers as a fixed-format pin: its own 88-byte range, the size when asked with no buffer.
NTSTATUS NTAPI transportIntersect(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE callerRange,
                                  PKSDATARANGE own, ULONG size, PVOID data, PULONG dataSize) {
  (void)irp;
  (void)pin;
  log().add(tagged("intersect", context));
  if (callerRange->FormatSize < sizeof(KS_DATARANGE_BDA_TRANSPORT)) return STATUS_NO_MATCH;
  *dataSize = sizeof(KS_DATARANGE_BDA_TRANSPORT);
  if (size == 0) return STATUS_BUFFER_OVERFLOW;
  if (size < sizeof(KS_DATARANGE_BDA_TRANSPORT)) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(data, own, sizeof(KS_DATARANGE_BDA_TRANSPORT));
  return STATUS_SUCCESS;
}

// ---- Pins
// ------------------------------------------------------------------------------------------------------

NTSTATUS NTAPI pinCreate(PKSPIN pin, PIRP irp) {
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  if (filter != KsPinGetParentFilter(pin)) return STATUS_UNSUCCESSFUL;
  static const char* names[] = {"pin0", "pin1"};
  return bagContext(pin->Bag, names[pin->Id & 1], &pin->Context);
}
NTSTATUS NTAPI pinClose(PKSPIN pin, PIRP) {
  log().add(std::string("close pin") + char('0' + pin->Id));
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI pinState(PKSPIN pin, KSSTATE to, KSSTATE from) {
  char b[64];
  std::snprintf(b, sizeof b, "state pin%lu %d<-%d", (unsigned long)pin->Id, int(to), int(from));
  log().add(b);
  if (ULONG(to) > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  if (to == knobs().refuseState) return STATUS_UNSUCCESSFUL;
  static std::map<PKSPIN, PIKSREFERENCECLOCK> clocks;
  if (to == KSSTATE_ACQUIRE && from == KSSTATE_STOP) {
    PIKSREFERENCECLOCK clock = nullptr;
    if (NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &clock))) clocks[pin] = clock;
  }
  if (to == KSSTATE_STOP) {
    auto it = clocks.find(pin);
    if (it != clocks.end()) {
      it->second->Release();
      clocks.erase(it);
    }
    // As a capture pin does: drop the clones it still holds.
    PKSSTREAM_POINTER c = KsPinGetFirstCloneStreamPointer(pin);
    while (c) {
      PKSSTREAM_POINTER next = KsStreamPointerGetNextClone(c);
      c->StreamHeader->DataUsed = 0;
      KsStreamPointerDelete(c);
      c = next;
    }
  }
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI pinProcess(PKSPIN) { return STATUS_PENDING; }

const KSPIN_DISPATCH pinDispatch = {pinCreate, pinClose, pinProcess, nullptr, nullptr,
                                    pinState,  nullptr,  nullptr,    nullptr, nullptr};

const KSALLOCATOR_FRAMING_EX framing = {1,
                                        0,
                                        {1, 1, 0},
                                        0,
                                        {{KSMEMORY_TYPE_KERNEL_NONPAGED,
                                          GUID_NULL,
                                          0,
                                          0,
                                          KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY,
                                          kFrames,
                                          {0},
                                          0,
                                          {0, 0xFFFFFFFF, 1},
                                          {{kFrameSize, kFrameSize, 1}, 0, 0}}}};

// ---- Node and filter automation
// ----------------------------------------------------------------------------------

NTSTATUS nodeCommon(PIRP irp, PKSIDENTIFIER request) {
  NTSTATUS s = BdaValidateNodeProperty(irp, request);
  knobs().lastValidate = s;
  if (!NT_SUCCESS(s)) return s;
  ++knobs().handlerCalls;
  knobs().sawPinInIrp = KsGetPinFromIrp(irp) != nullptr;
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI getFrequency(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  NTSTATUS s = nodeCommon(irp, request);
  if (NT_SUCCESS(s)) *static_cast<ULONG*>(data) = knobs().frequency;
  return s;
}
NTSTATUS NTAPI putFrequency(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  NTSTATUS s = nodeCommon(irp, request);
  if (NT_SUCCESS(s)) knobs().frequency = *static_cast<ULONG*>(data);
  return s;
}
NTSTATUS NTAPI getLocked(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  NTSTATUS s = nodeCommon(irp, request);
  if (NT_SUCCESS(s)) *static_cast<ULONG*>(data) = reinterpret_cast<PKSP_NODE>(request)->NodeId + 100;
  return s;
}

const KSPROPERTY_ITEM rfItems[] = {
    {KSPROPERTY_BDA_RF_TUNER_FREQUENCY,
     {getFrequency},
     sizeof(KSP_NODE),
     sizeof(ULONG),
     {putFrequency},
     nullptr,
     0,
     nullptr,
     nullptr,
     0},
    {KSPROPERTY_BDA_RF_TUNER_RANGE,
     {nullptr},
     sizeof(KSP_NODE),
     sizeof(ULONG),
     {nullptr},
     nullptr,
     0,
     nullptr,
     nullptr,
     0},
};
const KSPROPERTY_ITEM statItems[] = {
    {KSPROPERTY_BDA_SIGNAL_LOCKED,
     {getLocked},
     sizeof(KSP_NODE),
     sizeof(ULONG),
     {nullptr},
     nullptr,
     0,
     nullptr,
     nullptr,
     0},
};
const KSPROPERTY_SET rfSets[] = {{&KSPROPSETID_BdaFrequencyFilter, 2, rfItems, 0, nullptr},
                                 {&KSPROPSETID_BdaSignalStats, 1, statItems, 0, nullptr}};
const KSPROPERTY_SET demodSets[] = {{&KSPROPSETID_BdaSignalStats, 1, statItems, 0, nullptr}};
const KSAUTOMATION_TABLE rfTable = {DEFINE_KSAUTOMATION_PROPERTIES(rfSets), DEFINE_KSAUTOMATION_METHODS_NULL,
                                    DEFINE_KSAUTOMATION_EVENTS_NULL};
const KSAUTOMATION_TABLE demodTable = {DEFINE_KSAUTOMATION_PROPERTIES(demodSets),
                                       DEFINE_KSAUTOMATION_METHODS_NULL, DEFINE_KSAUTOMATION_EVENTS_NULL};

// Node 2 is in the filter's descriptor but not in the BDA template's topology.
const KSNODE_DESCRIPTOR nodes[] = {{&rfTable, &KSNODE_BDA_RF_TUNER, nullptr},
                                   {&demodTable, &KSNODE_BDA_COFDM_DEMODULATOR, nullptr},
                                   {&demodTable, &KSNODE_BDA_QAM_DEMODULATOR, nullptr}};
const KSTOPOLOGY_CONNECTION tunerConnections[] = {
    {KSFILTER_NODE, 0, 0, 0}, {0, 1, 1, 0}, {1, 1, KSFILTER_NODE, 1}};
const KSTOPOLOGY_CONNECTION captureConnections[] = {{KSFILTER_NODE, 0, KSFILTER_NODE, 1}};

NTSTATUS NTAPI startChanges(PIRP irp, PKSIDENTIFIER, PVOID) { return BdaStartChanges(irp); }
NTSTATUS NTAPI checkChanges(PIRP irp, PKSIDENTIFIER, PVOID) { return BdaCheckChanges(irp); }
NTSTATUS NTAPI commitChanges(PIRP irp, PKSIDENTIFIER, PVOID) { return BdaCommitChanges(irp); }
NTSTATUS NTAPI getChangeState(PIRP irp, PKSIDENTIFIER, PVOID data) {
  if (!data) {
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_MORE_ENTRIES;
  }
  BDA_CHANGE_STATE state = BDA_CHANGES_COMPLETE;
  NTSTATUS s = BdaGetChangeState(irp, &state);
  if (NT_SUCCESS(s)) *static_cast<ULONG*>(data) = state;
  return s;
}
NTSTATUS NTAPI createTopology(PIRP irp, PKSIDENTIFIER method, PVOID data) {
  return BdaMethodCreateTopology(irp, method, data);
}
NTSTATUS NTAPI testGet(PIRP irp, PKSIDENTIFIER, PVOID data) {
  std::memset(data, 0x5a, 8);
  irp->IoStatus.Information = 8;
  return STATUS_SUCCESS;
}

const KSMETHOD_ITEM changeItems[] = {
    {KSMETHOD_BDA_START_CHANGES, {startChanges}, sizeof(KSMETHOD), 0, nullptr, KSMETHOD_TYPE_NONE},
    {KSMETHOD_BDA_CHECK_CHANGES, {checkChanges}, sizeof(KSMETHOD), 0, nullptr, KSMETHOD_TYPE_NONE},
    {KSMETHOD_BDA_COMMIT_CHANGES, {commitChanges}, sizeof(KSMETHOD), 0, nullptr, KSMETHOD_TYPE_NONE},
    {KSMETHOD_BDA_GET_CHANGE_STATE, {getChangeState}, sizeof(KSMETHOD), 0, nullptr, KSMETHOD_TYPE_READ},
};
const KSMETHOD_ITEM configItems[] = {
    {KSMETHOD_BDA_CREATE_TOPOLOGY,
     {createTopology},
     sizeof(KSM_BDA_PIN_PAIR),
     0,
     nullptr,
     KSMETHOD_TYPE_WRITE},
};
const KSMETHOD_SET filterMethods[] = {{&KSMETHODSETID_BdaChangeSync, 4, changeItems, 0, nullptr},
                                      {&KSMETHODSETID_BdaDeviceConfiguration, 1, configItems, 0, nullptr}};
const KSPROPERTY_ITEM testItems[] = {
    {0, {testGet}, 40, 8, {nullptr}, nullptr, 0, nullptr, nullptr, 0},
};
const KSPROPERTY_SET filterProps[] = {{&kTestPropSet, 1, testItems, 0, nullptr}};
const KSAUTOMATION_TABLE filterTable = {DEFINE_KSAUTOMATION_PROPERTIES(filterProps),
                                        DEFINE_KSAUTOMATION_METHODS(filterMethods),
                                        DEFINE_KSAUTOMATION_EVENTS_NULL};

NTSTATUS NTAPI tunerCreate(PKSFILTER filter, PIRP irp) {
  if (KsGetFilterFromIrp(irp) != filter) return STATUS_UNSUCCESSFUL;
  NTSTATUS s = bagContext(filter->Bag, "tuner filter", &filter->Context);
  if (!NT_SUCCESS(s)) return s;
  auto* board = static_cast<Board*>(KsGetDevice(filter)->Context);
  return BdaInitFilter(filter, &board->tmpl);
}
NTSTATUS NTAPI filterClose(PKSFILTER filter, PIRP) {
  log().add(tagged("close filter", filter));
  return STATUS_SUCCESS;
}
// The capture filter gets its private descriptor, pin table and input medium through the framework's editor.
NTSTATUS NTAPI captureCreate(PKSFILTER filter, PIRP) {
  NTSTATUS s = bagContext(filter->Bag, "capture filter", &filter->Context);
  if (!NT_SUCCESS(s)) return s;
  s = KsEdit(filter, &filter->Descriptor, kTag);
  if (NT_SUCCESS(s))
    s = KsEditSized(filter, &const_cast<KSFILTER_DESCRIPTOR*>(filter->Descriptor)->PinDescriptors,
                    2 * sizeof(KSPIN_DESCRIPTOR_EX), 2 * sizeof(KSPIN_DESCRIPTOR_EX), kTag);
  if (NT_SUCCESS(s)) {
    auto* pins = const_cast<KSPIN_DESCRIPTOR_EX*>(filter->Descriptor->PinDescriptors);
    s = KsEdit(filter, &pins[0].PinDescriptor.Mediums, kTag);
    if (NT_SUCCESS(s)) const_cast<KSPIN_MEDIUM*>(pins[0].PinDescriptor.Mediums)->Flags = 0x77;
  }
  return s;
}

const KSFILTER_DISPATCH tunerDispatch = {tunerCreate, filterClose, nullptr, nullptr};
const KSFILTER_DISPATCH captureDispatch = {captureCreate, filterClose, nullptr, nullptr};

const ULONG joints[] = {1};
const BDA_PIN_PAIRING pairing = {0, 1, 1, 1, 1, 1, 1, joints};

const GUID tunerCategories[] = {KSCATEGORY_BDA_NETWORK_TUNER};
const GUID captureCategories[] = {KSCATEGORY_BDA_RECEIVER_COMPONENT};

void NTAPI freeFactoryItem(PVOID p) {
  log().add("free factory item");
  ExFreePool(p);
}

}  // namespace

Board::Board(ULONG id, PDRIVER_OBJECT machine) : boardId(id) {
  fdo.DriverObject = machine ? machine : &driver;
  pdo.DriverObject = machine ? machine : &driver;
  ks.FunctionalDeviceObject = &fdo;
  ks.PhysicalDeviceObject = &pdo;
  ks.NextDeviceObject = &pdo;
  ks.Context = this;
  ks.Bag = host::bag::create();
  host::ks::deviceCreated(&ks);
  medium = {{{kMediumSet, id, 0}}};

  KSPIN_DESCRIPTOR_EX antenna{};
  antenna.Dispatch = &pinDispatch;
  antenna.PinDescriptor.DataRangesCount = 1;
  antenna.PinDescriptor.DataRanges = antennaRanges;
  antenna.PinDescriptor.DataFlow = KSPIN_DATAFLOW_IN;
  antenna.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
  antenna.Flags = 0x180040;
  antenna.InstancesPossible = 1;
  antenna.InstancesNecessary = 1;
  KSPIN_DESCRIPTOR_EX transport = antenna;
  transport.PinDescriptor.DataRanges = transportRanges;
  transport.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
  transport.PinDescriptor.MediumsCount = 1;
  transport.PinDescriptor.Mediums = &medium;
  transport.PinDescriptor.Category = &PINNAME_BDA_TRANSPORT;
  transport.PinDescriptor.Name = &PINNAME_BDA_TRANSPORT;
  transport.InstancesNecessary = 0;
  transport.IntersectHandler = transportIntersect;
  tunerPins[0] = antenna;
  tunerPins[1] = transport;

  capturePins[0] = transport;
  capturePins[0].PinDescriptor.DataFlow = KSPIN_DATAFLOW_IN;
  capturePins[1] = antenna;
  capturePins[1].PinDescriptor.DataRanges = outputRanges;
  capturePins[1].PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
  capturePins[1].InstancesNecessary = 0;
  capturePins[1].AllocatorFraming = &framing;

  tunerDesc = {&tunerDispatch,
               &filterTable,
               KSFILTER_DESCRIPTOR_VERSION,
               0,
               &kTunerRef,
               2,
               sizeof(KSPIN_DESCRIPTOR_EX),
               tunerPins,
               1,
               tunerCategories,
               3,
               sizeof(KSNODE_DESCRIPTOR),
               nodes,
               3,
               tunerConnections,
               nullptr};
  captureDesc = {&captureDispatch,
                 nullptr,
                 KSFILTER_DESCRIPTOR_VERSION,
                 0,
                 &kCaptureRef,
                 2,
                 sizeof(KSPIN_DESCRIPTOR_EX),
                 capturePins,
                 1,
                 captureCategories,
                 0,
                 sizeof(KSNODE_DESCRIPTOR),
                 nullptr,
                 1,
                 captureConnections,
                 nullptr};
}

NTSTATUS Board::start() {
  // The template's topology has two nodes: node 2 of the filter descriptor is not part of it.
  static KSFILTER_DESCRIPTOR templateDesc;
  templateDesc = tunerDesc;
  templateDesc.NodeDescriptorsCount = 2;
  tmpl = {&templateDesc, 1, &pairing};
  NTSTATUS s = KsCreateFilterFactory(&fdo, &captureDesc, nullptr, nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr,
                                     nullptr, &captureFactory);
  if (!NT_SUCCESS(s)) return s;
  s = KsFilterFactoryUpdateCacheData(captureFactory, nullptr);
  if (!NT_SUCCESS(s)) return s;
  s = BdaCreateFilterFactoryEx(&ks, &tunerDesc, &tmpl, &tunerFactory);
  if (!NT_SUCCESS(s)) return s;
  void* item = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
  s = KsAddItemToObjectBag(tunerFactory->Bag, item, freeFactoryItem);
  if (!NT_SUCCESS(s)) return s;
  s = BdaFilterFactoryUpdateCacheData(tunerFactory, &tunerDesc);
  if (!NT_SUCCESS(s)) return s;
  BOOL dirs[2] = {FALSE, TRUE};
  KSPIN_MEDIUM mediums[2] = {KSPIN_MEDIUM{}, medium};  // the antenna input is not joined by medium
  s = KsRegisterFilterWithNoKSPins(&pdo, &KSCATEGORY_BDA_NETWORK_TUNER, 2, dirs, mediums, nullptr);
  if (!NT_SUCCESS(s)) return s;
  // The start completes: the framework enables the factories' interfaces.
  ks.Started = TRUE;
  host::ks::deviceStarted(&ks);
  return s;
}

void Board::remove() {
  if (removed) return;
  removed = true;
  host::ks::deviceRemoved(&ks);
  host::bag::destroy(ks.Bag);
}

Board::~Board() { remove(); }

}  // namespace ksdrv
