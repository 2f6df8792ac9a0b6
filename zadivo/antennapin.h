// Input pin of a channel's tuner filter. It carries no data: its state changes drive the filter's resource
// acquisition, and the RF tuner node's properties arrive through it. The extended-set members of the pin
// (register access, MAC, tuner type, flash) arrive with the extended property set.
#pragma once
#include "platform/bda.h"
#include "platform/platform.h"

class CFilter;

class CAntennaPin {
 public:
  // Pin dispatch.
  static NTSTATUS pinCreate(PKSPIN pin, PIRP irp);
  static NTSTATUS pinClose(PKSPIN pin, PIRP irp);
  static NTSTATUS pinSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState);
  static NTSTATUS intersectDataFormat(PVOID context, PIRP irp, PKSP_PIN pinRequest, PKSDATARANGE callerRange,
                                      PKSDATARANGE descriptorRange, ULONG bufferSize, PVOID data,
                                      PULONG dataSize);

  // RF tuner node: frequency filter and LNB information.
  static NTSTATUS tunerGetFrequency(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS tunerSetFrequency(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS tunerGetFrequencyMultiplier(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS tunerSetFrequencyMultiplier(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS tunerGetChannelBandwidth(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS tunerSetChannelBandwidth(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS tunerGetPolarity(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS tunerSetPolarity(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS tunerGetRange(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS tunerSetRange(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS tunerGetLNBLowOscillator(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS tunerSetLNBLowOscillator(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS tunerGetLNBHighOscillator(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS tunerSetLNBHighOscillator(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS tunerGetLNBSwitchFrequency(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS tunerSetLNBSwitchFrequency(PIRP irp, PKSIDENTIFIER property, PVOID data);

  // DiSEqC commands: accepted and ignored (no satellite front end).
  static NTSTATUS GetDiseqCProperty(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS PutDiseqCProperty(PIRP irp, PKSIDENTIFIER property, PVOID data);

  // Contexts live on the paged pool with tag 'Deva'.
  static void* operator new(size_t size) noexcept;
  static void operator delete(void* p) noexcept;

  // Context fields in order; the filter comes first, as in the transport pin's context.
  CFilter* _p_filter;
  LONG _state;  // KSSTATE the pin is in, as far as the driver accepted it
};
