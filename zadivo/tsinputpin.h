// The capture (receiver) filter of a channel: its Create dispatch and the TS input pin's intersect handler.
// The descriptors are in tsinputpin.cpp; the TS output pin is TSOutputPin (tsoutputpin.h).
#pragma once
#include "platform/bda.h"
#include "platform/platform.h"

struct CaptureFilterContext {
  PKSFILTER p_filter;
};
static_assert(sizeof(CaptureFilterContext) == 8, "capture filter context");

class TSInputPin {
 public:
  static NTSTATUS NTAPI static_FilterCreate(PKSFILTER filter, PIRP irp);
  static NTSTATUS NTAPI static_IntersectHandler(PVOID context, PIRP irp, PKSP_PIN pinRequest,
                                                PKSDATARANGE callerRange, PKSDATARANGE descriptorRange,
                                                ULONG bufferSize, PVOID data, PULONG dataSize);
};
