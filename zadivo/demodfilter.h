// The BDA network-tuner filter of one channel: its context (current and pending tuning parameters), the BDA
// change protocol, resource arbitration with the channel's BDATuner and the filter operations that the
// antenna and transport pins' property handlers call. Descriptors and routing tables are in
// tuner_filter_descriptors.cpp.
#pragma once
#include "platform/bda.h"
#include "platform/platform.h"
#include "zadivo/device.h"

class BDATuner;
class CTunerDemodType;
struct InstanceInfo;

// BDA tuning parameters as one plain record: the filter holds a current and a pending copy and the BDATuner
// the copy last acquired or updated.
struct TunerResource {
  ULONG carrier_frequency;     // in the multiplier's unit (kHz)
  ULONG frequency_multiplier;  // 1000 after create
  LONG polarisation;           // never stored (satellite)
  LONG range;
  LONG channel_bandwidth;
  ULONG lnb_low_oscillator;  // never stored (satellite)
  ULONG lnb_high_oscillator;
  ULONG lnb_switch_frequency;
  UCHAR reserved_id[16];
  LONG modulation_type;
  LONG inner_fec_method;  // the constant 1 once written
  LONG reserved_word;
  LONG inner_fec_rate;
  ULONG symbol_rate;
  LONG spectral_inversion;
  UCHAR remainder[256];  // carried along, never interpreted
};
static_assert(sizeof(TunerResource) == 328, "TunerResource layout");

class CFilter {
 public:
  // Framework dispatch (KSFILTER_DISPATCH).
  static NTSTATUS NTAPI create(PKSFILTER filter, PIRP irp);
  static NTSTATUS NTAPI filterClose(PKSFILTER filter, PIRP irp);

  // Method handlers (KSMETHODSETID_BdaChangeSync, KSMETHODSETID_BdaDeviceConfiguration).
  static NTSTATUS NTAPI startChanges(PIRP irp, PKSIDENTIFIER method, PVOID data);
  static NTSTATUS NTAPI checkChanges(PIRP irp, PKSIDENTIFIER method, PVOID data);
  static NTSTATUS NTAPI commitChanges(PIRP irp, PKSIDENTIFIER method, PVOID data);
  static NTSTATUS NTAPI getChangeState(PIRP irp, PKSIDENTIFIER method, PVOID data);
  static NTSTATUS NTAPI createTopology(PIRP irp, PKSIDENTIFIER method, PVOID data);

  // The filter a property request is about: the context of the request's pin (antenna or transport pin
  // contexts begin with the filter), or of its filter when the request came on the filter handle.
  static CFilter* fromIrp(PIRP irp);

  // Resources and antenna state, driven by the antenna pin.
  NTSTATUS setDeviceState(KSSTATE state);
  NTSTATUS acquireResources();
  NTSTATUS releaseResources();
  // The device took the tuner's hold down with it: the filter holds nothing any more.
  void forgetResources() {
    _resource_id = 0;
    _resources_acquired = FALSE;
  }

  // Standard tuning properties. Puts write the pending set (and the tuner-demod object), gets read the
  // current set.
  NTSTATUS putTunerFrequency(ULONG value);
  NTSTATUS getTunerFrequency(PULONG value);
  NTSTATUS putTunerFrequencyMultiplier(ULONG value);
  NTSTATUS getTunerFrequencyMultiplier(PULONG value);
  NTSTATUS putTunerChannelBandwidth(ULONG value);
  NTSTATUS getTunerChannelBandwidth(PULONG value);
  NTSTATUS putTunerRange(ULONG value);
  NTSTATUS getTunerRange(PULONG value);
  NTSTATUS putTunerPolarity(ULONG value);
  NTSTATUS getTunerPolarity(PULONG value);
  NTSTATUS putLNBLowOscillator(ULONG value);
  NTSTATUS getLNBLowOscillator(PULONG value);
  NTSTATUS putLNBHighOscillator(ULONG value);
  NTSTATUS getLNBHighOscillator(PULONG value);
  NTSTATUS putLNBSwitchFrequency(ULONG value);
  NTSTATUS getLNBSwitchFrequency(PULONG value);
  NTSTATUS putDemodModulationType(ULONG value);
  NTSTATUS getDemodModulationType(PULONG value);
  NTSTATUS putDemodInnerFECMethod(ULONG value);
  NTSTATUS getDemodInnerFECMethod(PULONG value);
  NTSTATUS putDemodInnerFECRate(ULONG value);
  NTSTATUS getDemodInnerFECRate(PULONG value);
  NTSTATUS putDemodSymbolRate(ULONG value);
  NTSTATUS getDemodSymbolRate(PULONG value);
  NTSTATUS putDemodSpectralInversion(ULONG value);
  NTSTATUS getDemodSpectralInversion(PULONG value);
  NTSTATUS getViterbiCodeRate(PULONG value);

  // Signal statistics.
  NTSTATUS getSignalStrength(PULONG value);
  NTSTATUS getSignalQuality(PULONG value);
  NTSTATUS getDemodAuxValue(PULONG value);
  NTSTATUS getSignalStatus(PBOOLEAN present, PBOOLEAN locked);

  // Extended property set, answered by the channel's tuner-demod object. Each refuses a data buffer shorter
  // than what the object reads or the reply it reports (STATUS_BUFFER_TOO_SMALL).
  static NTSTATUS NTAPI Static_GetSNRBER(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI Static_GetBlindScan(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI Static_SetBlindScan(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI Static_GetZYNPLPNumber(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI Static_SetZYNPLPNumber(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI Static_SetZYNGoldCode(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI Static_SetMODCODES(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI Static_GetMediaInfo(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI Static_GetStreamType(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI Static_SetStreamType(PIRP irp, PKSIDENTIFIER property, PVOID data);
  static NTSTATUS NTAPI Static_SetInputStreamID(PIRP irp, PKSIDENTIFIER property, PVOID data);

  // Satellite-era operations of the extended set: no tuner type of this card has them (STATUS_NOT_SUPPORTED);
  // those that would change the tuning mark changes pending.
  NTSTATUS putDiSEqCMessage();
  NTSTATUS initDiSEqC();
  NTSTATUS getChannelChange();
  NTSTATUS setChannelChange();
  NTSTATUS getDemodInfo();
  NTSTATUS getEffectiveFrequency();
  NTSTATUS getLockStatus();
  NTSTATUS setErrorControl();
  NTSTATUS getChannelInfo();
  NTSTATUS initNBCParams();
  // Register access needs no opening on this card: nothing to do.
  NTSTATUS setZYNAccess();

  // The channel's BDATuner (the filter holds it open: current, or retired by a tuner-type change); nullptr
  // once the device was torn down under the open filter.
  BDATuner* liveTuner() const;
  CTunerDemodType* tunerDemod() const;
  const InstanceInfo& instance() const;
  KSSTATE antennaState() const { return KSSTATE(_antenna_state); }
  // The antenna pin left a state: a commit that could not reach the tuner then (the filter still saw STOP)
  // is carried out now.
  void antennaStateChanged();

  // Contexts live on the paged pool with tag 'Deva'.
  ZD_POOL_OBJECT_IN(PagedPool)

  // Context fields in order. Property and method handlers run at PASSIVE_LEVEL under the framework's
  // filter control mutex, which serialises them.
  BDATuner* _p_tuner;
  LONG _antenna_state;   // the state the antenna pin last left (lags the pin by one transition)
  LONG _pending_change;  // 1 after a put since the last start or commit
  TunerResource _current;
  TunerResource _pending;
  ULONG _resource_id;  // from BDATuner::acquireResources; 0 when none is held
  BOOLEAN _resources_acquired;
  Device* _p_device;       // the owning card, which counts the filter's hold on the tuner above
  BOOLEAN _tune_deferred;  // a commit made while the filter saw STOP has not reached the tuner yet
  ULONG _instance;         // 1..8, kept here because the tuner may be gone before the filter's pins close
};
