// Transport pin: context create/close, format intersection, a state that changes nothing, the demodulator
// node's standard properties and the signal statistics of both nodes.
#include "zadivo/transportpin.h"

#include "trace/trace.h"
#include "zadivo/bdatuner.h"
#include "zadivo/demodfilter.h"
#include "zadivo/instance_table.h"

namespace {

constexpr ULONG kTransportRangeBytes = sizeof(KS_DATARANGE_BDA_TRANSPORT);  // 88

}  // namespace

const char* suffixOf(CFilter* filter) { return filter ? filter->instance().suffix : ""; }

NTSTATUS nodeRequestFilter(PIRP irp, PKSIDENTIFIER property, CFilter** filter) {
  NTSTATUS status = BdaValidateNodeProperty(irp, property);
  if (!NT_SUCCESS(status)) return status;
  *filter = CFilter::fromIrp(irp);
  return *filter ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS intersectFixedRange(PKSDATARANGE callerRange, ULONG bytes, ULONG bufferSize, PVOID data,
                             PULONG dataSize, bool traceTooSmall) {
  if (bufferSize < bytes) {
    *dataSize = bytes;
    if (traceTooSmall) ZTRACE("STATUS_BUFFER_TOO_SMALL\n");
    return STATUS_BUFFER_OVERFLOW;
  }
  if (callerRange->FormatSize < bytes) return STATUS_NO_MATCH;
  *dataSize = bytes;
  RtlCopyMemory(data, callerRange, bytes);
  return STATUS_SUCCESS;
}

namespace {
CFilter* tracedNodeFilter(PIRP irp, PKSIDENTIFIER property, const char* pinClass, const char* name,
                          NTSTATUS* status) {
  CFilter* filter = nullptr;
  *status = nodeRequestFilter(irp, property, &filter);
  if (!NT_SUCCESS(*status)) return nullptr;
  if (pinClass) ZTRACE("%s%s::%s\n", pinClass, suffixOf(filter), name);
  return filter;
}
}  // namespace

NTSTATUS setVia(PIRP irp, PKSIDENTIFIER property, PVOID data, const char* pinClass, const char* name,
                NTSTATUS (CFilter::*op)(ULONG)) {
  NTSTATUS status;
  CFilter* filter = tracedNodeFilter(irp, property, pinClass, name, &status);
  return filter ? (filter->*op)(*static_cast<PULONG>(data)) : status;
}

NTSTATUS getVia(PIRP irp, PKSIDENTIFIER property, PVOID data, const char* pinClass, const char* name,
                NTSTATUS (CFilter::*op)(PULONG)) {
  NTSTATUS status;
  CFilter* filter = tracedNodeFilter(irp, property, pinClass, name, &status);
  return filter ? (filter->*op)(static_cast<PULONG>(data)) : status;
}

NTSTATUS CTransportPin::pinCreate(PKSPIN pin, PIRP irp) {
  PAGED_CODE();
  PKSFILTER ksFilter = KsGetFilterFromIrp(irp);
  CFilter* filter = ksFilter ? static_cast<CFilter*>(ksFilter->Context) : nullptr;
  ZTRACE("CTransportPin%s::pinCreate\n", suffixOf(filter));
  CTransportPin* context = new CTransportPin;
  if (!context) return STATUS_INSUFFICIENT_RESOURCES;
  context->_p_filter = filter;
  pin->Context = context;
  return STATUS_SUCCESS;
}

NTSTATUS CTransportPin::pinClose(PKSPIN pin, PIRP) { return closePin<CTransportPin>(pin, "CTransportPin"); }

NTSTATUS CTransportPin::intersectDataFormat(PVOID, PIRP, PKSP_PIN, PKSDATARANGE callerRange, PKSDATARANGE,
                                            ULONG bufferSize, PVOID data, PULONG dataSize) {
  ZTRACE("CTransportPin::intersectDataFormat\n");
  return intersectFixedRange(callerRange, kTransportRangeBytes, bufferSize, data, dataSize, true);
}

// The transport pin's state has no effect on tuning or on the stream.
NTSTATUS CTransportPin::pinSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState) {
  auto* context = static_cast<CTransportPin*>(pin->Context);
  const char* suffix = suffixOf(context ? context->_p_filter : nullptr);
  ZTRACE("CTransportPin%s::pinSetDeviceState\n", suffix);
  ZTRACE("CTransportPin%s::pinSetDeviceState Device State. to_state 0x%08x.  from_state 0x%08x\n", suffix,
         static_cast<unsigned>(toState), static_cast<unsigned>(fromState));
  return STATUS_SUCCESS;
}

// ---- Demodulator node ------------------------------------------------------------------------------------

#define ZD_TRANSPORT_GET(handler, op)                                             \
  NTSTATUS CTransportPin::handler(PIRP irp, PKSIDENTIFIER property, PVOID data) { \
    return getVia(irp, property, data, nullptr, #handler, &CFilter::op);          \
  }
#define ZD_TRANSPORT_SET(handler, op)                                             \
  NTSTATUS CTransportPin::handler(PIRP irp, PKSIDENTIFIER property, PVOID data) { \
    return setVia(irp, property, data, nullptr, #handler, &CFilter::op);          \
  }

ZD_TRANSPORT_GET(getModulationType, getDemodModulationType)
ZD_TRANSPORT_SET(putModulationType, putDemodModulationType)
ZD_TRANSPORT_GET(getInnerFECMethod, getDemodInnerFECMethod)
ZD_TRANSPORT_SET(putInnerFECMethod, putDemodInnerFECMethod)
ZD_TRANSPORT_GET(getInnerFECRate, getDemodInnerFECRate)
ZD_TRANSPORT_SET(putInnerFECRate, putDemodInnerFECRate)
ZD_TRANSPORT_GET(getSymbolRate, getDemodSymbolRate)
ZD_TRANSPORT_SET(putSymbolRate, putDemodSymbolRate)
ZD_TRANSPORT_GET(getSpectralInversion, getDemodSpectralInversion)
ZD_TRANSPORT_SET(putSpectralInversion, putDemodSpectralInversion)
ZD_TRANSPORT_GET(getViterbiCodeRate, getViterbiCodeRate)
ZD_TRANSPORT_GET(getDemodAuxValue, getDemodAuxValue)

// ---- Signal statistics (both nodes) ----------------------------------------------------------------------

ZD_TRANSPORT_GET(getSignalStrength, getSignalStrength)
ZD_TRANSPORT_GET(getSignalQuality, getSignalQuality)

NTSTATUS CTransportPin::getSignalPresentLocked(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  CFilter* filter = nullptr;
  NTSTATUS status = nodeRequestFilter(irp, property, &filter);
  if (!NT_SUCCESS(status)) return status;
  BOOLEAN present = FALSE, locked = FALSE;
  status = filter->getSignalStatus(&present, &locked);
  if (!NT_SUCCESS(status)) return status;
  if (property->Id == KSPROPERTY_BDA_SIGNAL_PRESENT) {
    *static_cast<PULONG>(data) = present ? 1 : 0;
  } else if (property->Id == KSPROPERTY_BDA_SIGNAL_LOCKED) {
    *static_cast<PULONG>(data) = locked ? 1 : 0;
  } else {
    ZTRACE("Invalid property Id\n");
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}
