// Input pin of a channel's tuner filter. It carries no data: its state changes drive the filter's resource
// acquisition, and the RF tuner node's properties arrive through it, among them the pin's own members of the
// extended set: register access, MAC addresses, the tuner type, SPI flash (channel A) and the satellite-era
// members that no tuner type of this card answers.
#pragma once
#include "platform/bda.h"
#include "platform/platform.h"
#include "zadivo/pool_object.h"

class CFilter;

class CAntennaPin {
 public:
  // Pin dispatch.
  static NTSTATUS NTAPI pinCreate(PKSPIN pin, PIRP irp);
  static NTSTATUS NTAPI pinClose(PKSPIN pin, PIRP irp);
  static NTSTATUS NTAPI pinSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState);
  static NTSTATUS NTAPI intersectDataFormat(PVOID context, PIRP irp, PKSP_PIN pinRequest,
                                            PKSDATARANGE callerRange, PKSDATARANGE descriptorRange,
                                            ULONG bufferSize, PVOID data, PULONG dataSize);

  // RF tuner node: frequency filter and LNB information.
  static NTSTATUS NTAPI tunerGetFrequency(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI tunerSetFrequency(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI tunerGetFrequencyMultiplier(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI tunerSetFrequencyMultiplier(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI tunerGetChannelBandwidth(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI tunerSetChannelBandwidth(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI tunerGetPolarity(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI tunerSetPolarity(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI tunerGetRange(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI tunerSetRange(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI tunerGetLNBLowOscillator(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI tunerSetLNBLowOscillator(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI tunerGetLNBHighOscillator(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI tunerSetLNBHighOscillator(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI tunerGetLNBSwitchFrequency(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI tunerSetLNBSwitchFrequency(PIRP irp, PKSIDENTIFIER property, PVOID data);

  // DiSEqC commands: accepted and ignored (no satellite front end).
  static NTSTATUS NTAPI GetDiseqCProperty(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI PutDiseqCProperty(PIRP irp, PKSIDENTIFIER property, PVOID data);

  // Extended set, satellite-era members (ids 0..10): STATUS_NOT_SUPPORTED after the filter's operation.
  static NTSTATUS NTAPI tunerSetDiSEqCMessage(PIRP irp, PKSIDENTIFIER property, PVOID data);          // 0 get
  static NTSTATUS NTAPI tunerInitDiSEqC(PIRP irp, PKSIDENTIFIER property, PVOID data);                // 1 set
  static NTSTATUS NTAPI tunerSatNoOp(PIRP irp, PKSIDENTIFIER property, PVOID data);                   // 2
  static NTSTATUS NTAPI tunerGetSatChannelChange(PIRP irp, PKSIDENTIFIER property, PVOID data);       // 3 get
  static NTSTATUS NTAPI tunerSetSatChannelChange(PIRP irp, PKSIDENTIFIER property, PVOID data);       // 3 set
  static NTSTATUS NTAPI tunerGetSatDemodInfo(PIRP irp, PKSIDENTIFIER property, PVOID data);           // 4 get
  static NTSTATUS NTAPI tunerGetSatEffectiveFrequency(PIRP irp, PKSIDENTIFIER property, PVOID data);  // 5 get
  static NTSTATUS NTAPI tunerGetSatLockStatus(PIRP irp, PKSIDENTIFIER property, PVOID data);          // 7 get
  static NTSTATUS NTAPI tunerSetSatErrorControl(PIRP irp, PKSIDENTIFIER property, PVOID data);        // 8 set
  static NTSTATUS NTAPI tunerGetSatChannelInfo(PIRP irp, PKSIDENTIFIER property, PVOID data);         // 9 get
  static NTSTATUS NTAPI tunerSetNBCParams(PIRP irp, PKSIDENTIFIER property, PVOID data);  // 10 set

  // Extended set, device access. A payload carried in the request follows its header: at kPinPayloadOffset
  // in a request to the pin (KSPROPERTY), at kNodePayloadOffset in a node request (KSP_NODE with the topology
  // flag). Every record is checked against the buffers before it is read or written: a short request gets
  // STATUS_BUFFER_TOO_SMALL and touches nothing.
  static NTSTATUS NTAPI Static_ReadMAC(PIRP irp, PKSIDENTIFIER property, PVOID data);             // 15 get
  static NTSTATUS NTAPI Static_WriteMAC(PIRP irp, PKSIDENTIFIER property, PVOID data);            // 15 set
  static NTSTATUS NTAPI Static_SetZYNAccess(PIRP irp, PKSIDENTIFIER property, PVOID data);        // 21 set
  static NTSTATUS NTAPI Static_ReadRegData(PIRP irp, PKSIDENTIFIER property, PVOID data);         // 25 get
  static NTSTATUS NTAPI Static_SetRegData(PIRP irp, PKSIDENTIFIER property, PVOID data);          // 25 set
  static NTSTATUS NTAPI GetDemodMode(PIRP irp, PKSIDENTIFIER property, PVOID data);               // 60 get
  static NTSTATUS NTAPI SetDemodMode(PIRP irp, PKSIDENTIFIER property, PVOID data);               // 60 set
  static NTSTATUS NTAPI tunerGetRDID(PIRP irp, PKSIDENTIFIER property, PVOID data);               // 100 get
  static NTSTATUS NTAPI tunerGetEraseStatus(PIRP irp, PKSIDENTIFIER property, PVOID data);        // 101 get
  static NTSTATUS NTAPI tunerChipErase(PIRP irp, PKSIDENTIFIER property, PVOID data);             // 101 set
  static NTSTATUS NTAPI tunerGetPageWriteReady(PIRP irp, PKSIDENTIFIER property, PVOID data);     // 102 get
  static NTSTATUS NTAPI tunerSetFlashWriteOnePage(PIRP irp, PKSIDENTIFIER property, PVOID data);  // 102 set
  static NTSTATUS NTAPI tunerFlashRead(PIRP irp, PKSIDENTIFIER property, PVOID data);             // 103 get
  static NTSTATUS NTAPI tunerSetFlashWriteEnable(PIRP irp, PKSIDENTIFIER property, PVOID data);   // 103 set

  static constexpr ULONG kPinPayloadOffset = sizeof(KSPROPERTY);  // 24
  static constexpr ULONG kNodePayloadOffset = sizeof(KSP_NODE);   // 32
  static constexpr ULONG kMacRecordBytes = 16;
  static constexpr ULONG kRegReadRecordBytes = 259;  // slave, 128 sub-address bytes, length, 128 data, length
  static constexpr ULONG kRegWriteRecordBytes = 130;  // slave, 128 data bytes, length
  static constexpr ULONG kPageRecordBytes = 261;      // result, 24-bit address, unused, 256 bytes
  static constexpr ULONG kFlashIdBytes = 40;
  static constexpr ULONG kFlashWordsBytes = 12;
  static constexpr ULONG kDemodModeReply = 8;

  // Contexts live on the paged pool with tag 'Deva'.
  ZD_POOL_OBJECT_IN(PagedPool)

  // Context fields in order; the filter comes first, as in the transport pin's context.
  CFilter* _p_filter;
  LONG _state;  // KSSTATE the pin is in, as far as the driver accepted it
};
