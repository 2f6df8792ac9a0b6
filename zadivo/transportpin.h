// Output pin of a channel's tuner filter. It carries no data (the stream reaches the capture filter by DMA);
// the graph joins it by medium to the capture filter's input. The demodulator node's properties and the
// signal statistics of both nodes arrive through the pins' node tables and are answered here.
#pragma once
#include "platform/bda.h"
#include "platform/platform.h"
#include "trace/trace.h"
#include "zadivo/pool_object.h"

class CFilter;

class CTransportPin {
 public:
  // Pin dispatch.
  static NTSTATUS NTAPI pinCreate(PKSPIN pin, PIRP irp);
  static NTSTATUS NTAPI pinClose(PKSPIN pin, PIRP irp);
  static NTSTATUS NTAPI pinSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState);
  static NTSTATUS NTAPI intersectDataFormat(PVOID context, PIRP irp, PKSP_PIN pinRequest,
                                            PKSDATARANGE callerRange, PKSDATARANGE descriptorRange,
                                            ULONG bufferSize, PVOID data, PULONG dataSize);

  // Demodulator node: digital demodulator properties.
  static NTSTATUS NTAPI getModulationType(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI putModulationType(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI getInnerFECMethod(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI putInnerFECMethod(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI getInnerFECRate(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI putInnerFECRate(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI getSymbolRate(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI putSymbolRate(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI getSpectralInversion(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI putSpectralInversion(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI getViterbiCodeRate(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI getDemodAuxValue(PIRP irp, PKSIDENTIFIER property, PVOID data);

  // Signal statistics, on both nodes.
  static NTSTATUS NTAPI getSignalStrength(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI getSignalQuality(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI getSignalPresentLocked(PIRP irp, PKSIDENTIFIER property, PVOID data);

  ZD_POOL_OBJECT_IN(PagedPool)

  CFilter* _p_filter;  // the only field: the pin keeps no state of its own
};

// Runs the three steps every node property handler shares: validate the node property, find the filter,
// and (for a set) read the 32-bit value. Returns the failure status, or STATUS_SUCCESS with filter set.
NTSTATUS nodeRequestFilter(PIRP irp, PKSIDENTIFIER property, CFilter** filter);

// A node property handler whole: validate, find the filter, trace "<pinClass><suffix>::<name>" (none when
// pinClass is null), then call the filter with the 32-bit value or its address.
NTSTATUS setVia(PIRP irp, PKSIDENTIFIER property, PVOID data, const char* pinClass, const char* name,
                NTSTATUS (CFilter::*op)(ULONG));
NTSTATUS getVia(PIRP irp, PKSIDENTIFIER property, PVOID data, const char* pinClass, const char* name,
                NTSTATUS (CFilter::*op)(PULONG));

// The channel's suffix in trace names ("" for an unknown filter).
const char* suffixOf(CFilter* filter);

// Format intersection of a pin with one fixed range of `bytes`: the caller's range is answered as it came.
NTSTATUS intersectFixedRange(PKSDATARANGE callerRange, ULONG bytes, ULONG bufferSize, PVOID data,
                             PULONG dataSize, bool traceTooSmall);

// Close of a tuner-filter pin: traces "<pinClass><suffix>::pinClose" and frees the pin's context.
template <class Pin>
NTSTATUS closePin(PKSPIN pin, const char* pinClass) {
  auto* context = static_cast<Pin*>(pin->Context);
  ZTRACE("%s%s::pinClose\n", pinClass, suffixOf(context ? context->_p_filter : nullptr));
  delete context;
  pin->Context = nullptr;
  return STATUS_SUCCESS;
}
