// The capture (receiver) filter family: one descriptor per channel, its Create dispatch and the TS input
// pin's intersect handler.
//
//                 +------------- capture filter ---------------+
//   TS input pin0 |------------------ conn 0 ----------------->| pin1 TS output (TSOutputPin)
//   (medium = the tuner's transport pin: set per channel, Id = board id)
//                 +--------------------------------------------+
//
// The input pin is joined by medium to the tuner filter's transport pin; the stream itself reaches the
// output pin's frames by DMA.
#include "zadivo/tsinputpin.h"

#include "trace/trace.h"
#include "zadivo/device.h"
#include "zadivo/filter_descriptors.h"
#include "zadivo/tsoutputpin.h"

namespace {

constexpr ULONG kTransportRangeBytes = sizeof(KS_DATARANGE_BDA_TRANSPORT);  // 88
constexpr ULONG kTagEdit = poolTag("DEVA");

// ---- TS output pin ---------------------------------------------------------------------------------------

// The pin's own format: 188-byte packets, 512 to a frame.
constinit const KSDATARANGE kTsOutputRange = {{
    sizeof(KSDATARANGE),              // FormatSize
    0,                                // Flags
    kTsFrameBytes,                    // SampleSize
    0,                                // Reserved
    kFormatTypeStream,                // MajorFormat
    kFormatSubtypeBdaMpeg2Transport,  // SubFormat
    kFormatSpecifierNone,             // Specifier
}};

constinit const PKSDATARANGE kTsOutputRanges[] = {const_cast<PKSDATARANGE>(&kTsOutputRange)};

constinit const KSALLOCATOR_FRAMING_EX kTsOutputFraming = {
    1,          // CountItems
    0,          // PinFlags
    {1, 1, 0},  // OutputCompression: 1/1, margin 0
    0,          // PinWeight
    {{
        kMemoryTypeKernelNonPaged,                  // MemoryType
        {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}},        // BusType
        0,                                          // MemoryFlags
        0,                                          // BusFlags
        KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY,     // Flags
        64,                                         // Frames
        {0},                                        // FileAlignment
        0,                                          // MemoryTypeWeight
        {0, 0xFFFFFFFF, 1},                         // PhysicalRange
        {{kTsFrameBytes, kTsFrameBytes, 1}, 0, 0},  // FramingRange, in-place and not-in-place weights
    }},
};

constinit const KSPIN_DISPATCH kTsOutputDispatch = {
    .Create = TSOutputPin::static_Create,
    .Close = nullptr,  // the context goes with the pin's bag
    .Process = TSOutputPin::static_Process,
    .Reset = nullptr,
    .SetDataFormat = TSOutputPin::static_SetDataFormat,  // any format is the fixed one
    .SetDeviceState = TSOutputPin::static_SetState,
    .Connect = nullptr,
    .Disconnect = nullptr,
    .Clock = nullptr,
    .Allocator = nullptr,
};

// ---- Descriptors -----------------------------------------------------------------------------------------

constinit const PKSDATARANGE kTsInputRanges[] = {const_cast<PKSDATARANGE>(&kBdaTransportRange.DataRange)};

// TS input mediums: the channel's set; Id 0 here, the board id in the factory's copy.
constinit const KSPIN_MEDIUM kTsInputMediums[kInstanceCount] = {
    {{{kTransportMedium[0], 0, 0}}}, {{{kTransportMedium[1], 0, 0}}}, {{{kTransportMedium[2], 0, 0}}},
    {{{kTransportMedium[3], 0, 0}}}, {{{kTransportMedium[4], 0, 0}}}, {{{kTransportMedium[5], 0, 0}}},
    {{{kTransportMedium[6], 0, 0}}}, {{{kTransportMedium[7], 0, 0}}},
};

constexpr KSPIN_DESCRIPTOR_EX tsInputPin(ULONG index) {
  return {
      nullptr,  // Dispatch: the pin only connects
      nullptr,  // AutomationTable
      {
          0,
          nullptr,  // Interfaces: standard
          1,
          &kTsInputMediums[index],  // Mediums
          1,
          kTsInputRanges,            // DataRanges: the tuner's transport range
          KSPIN_DATAFLOW_IN,         // DataFlow
          KSPIN_COMMUNICATION_BOTH,  // Communication
          &PINNAME_BDA_TRANSPORT,    // Category
          &PINNAME_BDA_TRANSPORT,    // Name
          {0},                       // Reserved
      },
      kPinFlagsBdaControl,                  // Flags
      1,                                    // InstancesPossible
      0,                                    // InstancesNecessary
      nullptr,                              // AllocatorFraming
      TSInputPin::static_IntersectHandler,  // IntersectHandler
  };
}

constexpr KSPIN_DESCRIPTOR_EX tsOutputPin() {
  return {
      &kTsOutputDispatch,  // Dispatch
      nullptr,             // AutomationTable
      {
          0,
          nullptr,  // Interfaces: standard
          0,
          nullptr,  // Mediums: none
          1,
          kTsOutputRanges,           // DataRanges
          KSPIN_DATAFLOW_OUT,        // DataFlow
          KSPIN_COMMUNICATION_BOTH,  // Communication
          &PINNAME_BDA_TRANSPORT,    // Category
          &PINNAME_BDA_TRANSPORT,    // Name
          {0},                       // Reserved
      },
      KSPIN_FLAG_FIXED_FORMAT | KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING,  // Flags
      1,                                                                // InstancesPossible
      0,                                                                // InstancesNecessary
      &kTsOutputFraming,                                                // AllocatorFraming
      TSOutputPin::static_IntersectHandler,                             // IntersectHandler
  };
}

#define ZD_CAPTURE_PINS(i) \
  { tsInputPin(i), tsOutputPin() }
constinit const KSPIN_DESCRIPTOR_EX kCapturePins[kInstanceCount][2] = {
    ZD_CAPTURE_PINS(0), ZD_CAPTURE_PINS(1), ZD_CAPTURE_PINS(2), ZD_CAPTURE_PINS(3),
    ZD_CAPTURE_PINS(4), ZD_CAPTURE_PINS(5), ZD_CAPTURE_PINS(6), ZD_CAPTURE_PINS(7),
};

constinit const KSFILTER_DISPATCH kCaptureDispatch = {
    .Create = TSInputPin::static_FilterCreate,
    .Close = nullptr,  // the context goes with the filter's bag
    .Process = nullptr,
    .Reset = nullptr,
};

constinit const KSTOPOLOGY_CONNECTION kCaptureConnections[] = {
    {KSFILTER_NODE, 0, KSFILTER_NODE, 1},  // TS input -> TS output
};

constexpr KSFILTER_DESCRIPTOR captureFilter(ULONG index) {
  return {
      .Dispatch = &kCaptureDispatch,
      .AutomationTable = nullptr,
      .Version = KSFILTER_DESCRIPTOR_VERSION,
      .Flags = 0,
      .ReferenceGuid = &kCaptureReference[index],
      .PinDescriptorsCount = 2,
      .PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX),
      .PinDescriptors = kCapturePins[index],
      .CategoriesCount = 1,
      .Categories = &KSCATEGORY_BDA_RECEIVER_COMPONENT,
      .NodeDescriptorsCount = 0,
      .NodeDescriptorSize = sizeof(KSNODE_DESCRIPTOR),
      .NodeDescriptors = nullptr,
      .ConnectionsCount = SIZEOF_ARRAY(kCaptureConnections),
      .Connections = kCaptureConnections,
      .ComponentId = nullptr,
  };
}

constinit const KSFILTER_DESCRIPTOR kCaptureFilters[kInstanceCount] = {
    captureFilter(0), captureFilter(1), captureFilter(2), captureFilter(3),
    captureFilter(4), captureFilter(5), captureFilter(6), captureFilter(7),
};

void NTAPI freeCaptureContext(PVOID context) { zdPoolDelete(context); }

}  // namespace

const KSFILTER_DESCRIPTOR* captureFilterDescriptor(ULONG instance) {
  return (instance >= 1 && instance <= kInstanceCount) ? &kCaptureFilters[instance - 1] : nullptr;
}

NTSTATUS TSInputPin::static_FilterCreate(PKSFILTER filter, PIRP irp) {
  UNREFERENCED_PARAMETER(irp);
  PAGED_CODE();
  auto* context = static_cast<CaptureFilterContext*>(zdPoolNew(sizeof(CaptureFilterContext)));
  if (!context) return STATUS_INSUFFICIENT_RESOURCES;
  context->p_filter = filter;
  NTSTATUS status = KsAddItemToObjectBag(filter->Bag, context, freeCaptureContext);
  if (!NT_SUCCESS(status)) {
    zdPoolDelete(context);
    return status;
  }
  filter->Context = context;

  PKSDEVICE ksDevice = KsGetDevice(filter);
  Device* device = ksDevice ? static_cast<Device*>(ksDevice->Context) : nullptr;
  if (device) {
    // The filter's own copies of its descriptor, pin table and input medium, carrying this card's board id.
    // Each edit builds on the previous one, so the first that fails ends them (the shared copy stays intact).
    const ULONG pinBytes = filter->Descriptor->PinDescriptorsCount * sizeof(KSPIN_DESCRIPTOR_EX);
    if (!NT_SUCCESS(_KsEdit(filter->Bag,
                            reinterpret_cast<PVOID*>(const_cast<KSFILTER_DESCRIPTOR**>(&filter->Descriptor)),
                            sizeof(KSFILTER_DESCRIPTOR), sizeof(KSFILTER_DESCRIPTOR), kTagEdit)))
      return status;
    auto* descriptor = const_cast<KSFILTER_DESCRIPTOR*>(filter->Descriptor);
    if (!pinBytes || !NT_SUCCESS(_KsEdit(filter->Bag,
                                         reinterpret_cast<PVOID*>(
                                             const_cast<KSPIN_DESCRIPTOR_EX**>(&descriptor->PinDescriptors)),
                                         pinBytes, pinBytes, kTagEdit)))
      return status;
    auto* pins = const_cast<KSPIN_DESCRIPTOR_EX*>(descriptor->PinDescriptors);
    if (!pins[0].PinDescriptor.MediumsCount ||
        !NT_SUCCESS(_KsEdit(
            filter->Bag, reinterpret_cast<PVOID*>(const_cast<KSPIN_MEDIUM**>(&pins[0].PinDescriptor.Mediums)),
            sizeof(KSPIN_MEDIUM), sizeof(KSPIN_MEDIUM), kTagEdit)))
      return status;
    const_cast<KSPIN_MEDIUM*>(pins[0].PinDescriptor.Mediums)->Id = device->boardId();
  }
  return status;
}

// The first four are only asserted, and a free build's ASSERT does not evaluate its expression.
NTSTATUS TSInputPin::static_IntersectHandler([[maybe_unused]] PVOID context, [[maybe_unused]] PIRP irp,
                                             [[maybe_unused]] PKSP_PIN pinRequest,
                                             [[maybe_unused]] PKSDATARANGE callerRange,
                                             PKSDATARANGE descriptorRange, ULONG bufferSize, PVOID data,
                                             PULONG dataSize) {
  ASSERT(context);
  ASSERT(irp);
  ASSERT(pinRequest);
  ASSERT(callerRange);
  ASSERT(descriptorRange);
  ASSERT(dataSize);
  if (bufferSize == 0) {
    *dataSize = kTransportRangeBytes;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (bufferSize < kTransportRangeBytes) return STATUS_BUFFER_TOO_SMALL;
  ASSERT(data);
  RtlCopyMemory(data, descriptorRange, kTransportRangeBytes);
  *dataSize = kTransportRangeBytes;
  return STATUS_SUCCESS;
}
