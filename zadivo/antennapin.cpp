// Antenna pin: context create/close, format intersection, the state logic that drives the filter's resource
// hold, and the RF tuner node's standard property handlers.
#include "zadivo/antennapin.h"

#include "zadivo/bdatuner.h"
#include "zadivo/demodfilter.h"
#include "zadivo/instance_table.h"
#include "zadivo/trace.h"
#include "zadivo/transportpin.h"
#include "zadivo/tuner_demod_type.h"

namespace {

constexpr ULONG kAntennaRangeBytes = sizeof(KSDATARANGE);  // 64

const char* suffixOf(CFilter* filter) { return filter ? filter->instance().suffix : ""; }

// The pin handler's steps for a set: validate, find the filter, trace, call with the 32-bit value.
NTSTATUS setVia(PIRP irp, PKSIDENTIFIER property, PVOID data, const char* name,
                NTSTATUS (CFilter::*op)(ULONG)) {
  CFilter* filter = nullptr;
  NTSTATUS status = nodeRequestFilter(irp, property, &filter);
  if (!NT_SUCCESS(status)) return status;
  ZTRACE("CAntennaPin%s::%s\n", suffixOf(filter), name);
  return (filter->*op)(*static_cast<PULONG>(data));
}

NTSTATUS getVia(PIRP irp, PKSIDENTIFIER property, PVOID data, const char* name,
                NTSTATUS (CFilter::*op)(PULONG)) {
  CFilter* filter = nullptr;
  NTSTATUS status = nodeRequestFilter(irp, property, &filter);
  if (!NT_SUCCESS(status)) return status;
  ZTRACE("CAntennaPin%s::%s\n", suffixOf(filter), name);
  return (filter->*op)(static_cast<PULONG>(data));
}

}  // namespace

void* CAntennaPin::operator new(size_t size) noexcept {
  void* p = ExAllocatePoolWithTag(PagedPool, size, kTagDevice);
  ZTRACE_ALLOC("new(%x) returned %p\n", static_cast<unsigned>(size), p);
  return p;
}

void CAntennaPin::operator delete(void* p) noexcept {
  ZTRACE_ALLOC("delete(%p)\n", p);
  if (p) ExFreePool(p);
}

NTSTATUS CAntennaPin::pinCreate(PKSPIN pin, PIRP irp) {
  PAGED_CODE();
  CAntennaPin* context = new CAntennaPin;
  if (!context) return STATUS_INSUFFICIENT_RESOURCES;
  PKSFILTER ksFilter = KsGetFilterFromIrp(irp);
  context->_p_filter = ksFilter ? static_cast<CFilter*>(ksFilter->Context) : nullptr;
  context->_state = KSSTATE_STOP;
  pin->Context = context;
  // Channels C, D and E print the plain name here.
  ULONG n = context->_p_filter ? context->_p_filter->instance().number : 1;
  ZTRACE("CAntennaPin%s::pinCreate\n", (n >= 3 && n <= 5) ? "" : suffixOf(context->_p_filter));
  return STATUS_SUCCESS;
}

NTSTATUS CAntennaPin::pinClose(PKSPIN pin, PIRP irp) {
  UNREFERENCED_PARAMETER(irp);
  auto* context = static_cast<CAntennaPin*>(pin->Context);
  ZTRACE("CAntennaPin%s::pinClose\n", suffixOf(context ? context->_p_filter : nullptr));
  delete context;
  pin->Context = nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS CAntennaPin::intersectDataFormat(PVOID context, PIRP irp, PKSP_PIN pinRequest,
                                          PKSDATARANGE callerRange, PKSDATARANGE descriptorRange,
                                          ULONG bufferSize, PVOID data, PULONG dataSize) {
  UNREFERENCED_PARAMETER(context);
  UNREFERENCED_PARAMETER(irp);
  UNREFERENCED_PARAMETER(pinRequest);
  UNREFERENCED_PARAMETER(descriptorRange);
  ZTRACE("CAntennaPin::intersectDataFormat\n");
  if (bufferSize < kAntennaRangeBytes) {
    *dataSize = kAntennaRangeBytes;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (callerRange->FormatSize < kAntennaRangeBytes) return STATUS_NO_MATCH;
  *dataSize = kAntennaRangeBytes;
  RtlCopyMemory(data, callerRange, kAntennaRangeBytes);
  return STATUS_SUCCESS;
}

NTSTATUS CAntennaPin::pinSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState) {
  ZTRACE("CAntennaPin::pinSetDeviceState\n");
  auto* context = static_cast<CAntennaPin*>(pin->Context);
  CFilter* filter = context ? context->_p_filter : nullptr;
  if (!filter) return STATUS_INVALID_DEVICE_STATE;
  // The filter learns the state being left, on every call.
  filter->setDeviceState(KSSTATE(context->_state));

  if (toState == KSSTATE_STOP && context->_state != KSSTATE_STOP) {
    NTSTATUS status = filter->releaseResources();
    context->_state = toState;
    return status;
  }
  if (toState == KSSTATE_ACQUIRE && context->_state == KSSTATE_STOP) {
    // The filter's own tuner: after a tuner-type change a filter opened before it keeps its old object.
    CTunerDemodType* object = filter->tunerDemod();
    if (object) object->resetCurrent();
    NTSTATUS status = filter->acquireResources();
    if (!NT_SUCCESS(status)) return status;
    context->_state = toState;
    return status;
  }
  if (static_cast<ULONG>(toState) > static_cast<ULONG>(KSSTATE_RUN)) {
    ZTRACE("CAntennaPin::pinSetDeviceState - Invalid Device State. to_state 0x%08x.  from_state 0x%08x\n",
           static_cast<unsigned>(toState), static_cast<unsigned>(fromState));
    return STATUS_INVALID_PARAMETER;
  }
  ZTRACE("new Antenna pin state, to_state 0x%08x from_state 0x%08x. \n", static_cast<unsigned>(toState),
         static_cast<unsigned>(fromState));
  context->_state = toState;
  return STATUS_SUCCESS;
}

// ---- RF tuner node: standard properties ------------------------------------------------------------------

#define ZD_ANTENNA_GET(handler, op)                                             \
  NTSTATUS CAntennaPin::handler(PIRP irp, PKSIDENTIFIER property, PVOID data) { \
    return getVia(irp, property, data, #handler, &CFilter::op);                 \
  }
#define ZD_ANTENNA_SET(handler, op)                                             \
  NTSTATUS CAntennaPin::handler(PIRP irp, PKSIDENTIFIER property, PVOID data) { \
    return setVia(irp, property, data, #handler, &CFilter::op);                 \
  }

ZD_ANTENNA_GET(tunerGetFrequency, getTunerFrequency)
ZD_ANTENNA_SET(tunerSetFrequency, putTunerFrequency)
ZD_ANTENNA_GET(tunerGetFrequencyMultiplier, getTunerFrequencyMultiplier)
ZD_ANTENNA_SET(tunerSetFrequencyMultiplier, putTunerFrequencyMultiplier)
ZD_ANTENNA_GET(tunerGetChannelBandwidth, getTunerChannelBandwidth)
ZD_ANTENNA_SET(tunerSetChannelBandwidth, putTunerChannelBandwidth)
ZD_ANTENNA_GET(tunerGetPolarity, getTunerPolarity)
ZD_ANTENNA_SET(tunerSetPolarity, putTunerPolarity)
ZD_ANTENNA_GET(tunerGetRange, getTunerRange)
ZD_ANTENNA_SET(tunerSetRange, putTunerRange)
ZD_ANTENNA_GET(tunerGetLNBLowOscillator, getLNBLowOscillator)
ZD_ANTENNA_SET(tunerSetLNBLowOscillator, putLNBLowOscillator)
ZD_ANTENNA_GET(tunerGetLNBHighOscillator, getLNBHighOscillator)
ZD_ANTENNA_SET(tunerSetLNBHighOscillator, putLNBHighOscillator)
ZD_ANTENNA_GET(tunerGetLNBSwitchFrequency, getLNBSwitchFrequency)
ZD_ANTENNA_SET(tunerSetLNBSwitchFrequency, putLNBSwitchFrequency)

// ---- DiSEqC: accepted, never sent ------------------------------------------------------------------------

NTSTATUS CAntennaPin::GetDiseqCProperty(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  UNREFERENCED_PARAMETER(data);
  NTSTATUS status = BdaValidateNodeProperty(irp, property);
  if (property->Id > KSPROPERTY_BDA_DISEQC_RESPONSE) return STATUS_INVALID_PARAMETER;
  // Nothing to report: the caller's buffer is answered as it came, with no bytes returned.
  irp->IoStatus.Information = 0;
  return status;
}

NTSTATUS CAntennaPin::PutDiseqCProperty(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  const ULONG value = data ? *static_cast<PULONG>(data) : 0;
  ZTRACE("PutDiseqCProperty ------------ %d :\n", static_cast<int>(value));
  NTSTATUS status = BdaValidateNodeProperty(irp, property);
  if (!NT_SUCCESS(status)) return status;
  switch (property->Id) {
    case KSPROPERTY_BDA_DISEQC_ENABLE:
      ZTRACE("@@PutDiseqCProperty KSPROPERTY_BDA_DISEQC_ENABLE %d", static_cast<int>(value));
      return STATUS_SUCCESS;
    case KSPROPERTY_BDA_DISEQC_LNB_SOURCE:
      ZTRACE("@@PutDiseqCProperty KSPROPERTY_BDA_DISEQC_LNB_SOURCE %d", static_cast<int>(value));
      return STATUS_SUCCESS;
    case KSPROPERTY_BDA_DISEQC_USETONEBURST:
    case KSPROPERTY_BDA_DISEQC_REPEATS:
    case KSPROPERTY_BDA_DISEQC_SEND:
    case KSPROPERTY_BDA_DISEQC_RESPONSE:
      return STATUS_SUCCESS;
    default:
      return STATUS_INVALID_PARAMETER;
  }
}
