// The tuner filter: context create/close, the BDA change protocol on the current and pending parameter sets,
// resource acquisition through the channel's BDATuner, and the filter operations behind the node properties.
#include "zadivo/demodfilter.h"

#include "hw/tuner_range.h"
#include "trace/trace.h"
#include "zadivo/bdatuner.h"
#include "zadivo/instance_table.h"
#include "zadivo/tuner_demod_type.h"

namespace {

// %ld takes a long, 32 bits on the target and 64 on the host: widen explicitly.
long asLd(ULONG value) { return static_cast<long>(static_cast<LONG>(value)); }

// An error-severity status has both top bits set; warnings and informational statuses are passed on.
bool isErrorSeverity(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// The filter a change-protocol method is about, or nullptr: a request that reaches no filter is answered
// with STATUS_INVALID_DEVICE_STATE, never followed into a null pointer.
CFilter* filterOfMethod(PIRP irp) {
  PKSFILTER ks = KsGetFilterFromIrp(irp);
  return ks ? static_cast<CFilter*>(ks->Context) : nullptr;
}

// Instance of a tuner filter descriptor, by its reference GUID (every variant of a channel shares it).
ULONG instanceOfDescriptor(const KSFILTER_DESCRIPTOR* descriptor) {
  for (ULONG i = 0; descriptor && descriptor->ReferenceGuid && i < kInstanceCount; ++i)
    if (IsEqualGUID(*descriptor->ReferenceGuid, kTunerReference[i])) return i + 1;
  return 1;
}

}  // namespace

// ---- Create and close ------------------------------------------------------------------------------------

NTSTATUS CFilter::create(PKSFILTER ksFilter, PIRP irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(irp);
  const InstanceInfo& info = instanceInfo(instanceOfDescriptor(ksFilter->Descriptor));
  ZTRACE("CFilter%s::create\n", info.suffix);

  CFilter* filter = new CFilter;
  if (!filter) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(filter, sizeof(*filter));
  ksFilter->Context = filter;

  PKSDEVICE ksDevice = KsGetDevice(ksFilter);
  Device* device = ksDevice ? static_cast<Device*>(ksDevice->Context) : nullptr;
  RequestHold hold(device);
  // A factory left behind by a tuner-type change still carries the old descriptor: its tuner is retired
  // and must not gain new filters.
  BDATuner* tuner = hold ? device->openTuner(info.number - 1, ksFilter->Descriptor) : nullptr;
  if (!tuner) {
    delete filter;
    ksFilter->Context = nullptr;
    return hold ? STATUS_DEVICE_NOT_CONNECTED : STATUS_DEVICE_NOT_READY;
  }

  filter->_p_tuner = tuner;
  filter->_p_device = device;
  filter->_instance = info.number;
  filter->_antenna_state = KSSTATE_STOP;
  filter->_pending_change = 0;
  filter->_resource_id = 0;
  filter->_resources_acquired = FALSE;
  filter->_tune_deferred = FALSE;
  filter->_current.frequency_multiplier = 1000;
  filter->_current.polarisation = -1;
  filter->_current.range = -1;
  filter->_current.channel_bandwidth = -1;
  filter->_pending = filter->_current;

  NTSTATUS status = BdaInitFilter(ksFilter, tuner->filterTemplate());
  if (isErrorSeverity(status)) {
    ZERROR("failed to initialize filter template topology\n");
    device->closeTuner(tuner);
    delete filter;
    ksFilter->Context = nullptr;
  }
  return status;
}

NTSTATUS CFilter::filterClose(PKSFILTER ksFilter, PIRP irp) {
  UNREFERENCED_PARAMETER(irp);
  // The BDATuner's hold was released by the antenna pin's stop, before the pins closed. Closing works on a
  // stopped device too: it only lets go of the tuner.
  auto* filter = static_cast<CFilter*>(ksFilter->Context);
  if (filter && filter->_p_tuner) filter->_p_device->closeTuner(filter->_p_tuner);
  delete filter;
  ksFilter->Context = nullptr;
  return STATUS_SUCCESS;
}

CFilter* CFilter::fromIrp(PIRP irp) {
  PKSPIN pin = KsGetPinFromIrp(irp);
  if (pin && pin->Context) return *static_cast<CFilter**>(pin->Context);
  PKSFILTER ks = KsGetFilterFromIrp(irp);
  return ks ? static_cast<CFilter*>(ks->Context) : nullptr;
}

const InstanceInfo& CFilter::instance() const { return instanceInfo(_instance); }

BDATuner* CFilter::liveTuner() const { return _p_tuner && !_p_tuner->detached() ? _p_tuner : nullptr; }

CTunerDemodType* CFilter::tunerDemod() const {
  BDATuner* tuner = liveTuner();
  return tuner ? tuner->tunerDemod() : nullptr;
}

// ---- Change protocol -------------------------------------------------------------------------------------

NTSTATUS CFilter::startChanges(PIRP irp, PKSIDENTIFIER method, PVOID data) {
  UNREFERENCED_PARAMETER(method);
  UNREFERENCED_PARAMETER(data);
  CFilter* filter = filterOfMethod(irp);
  if (!filter) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = BdaStartChanges(irp);
  if (NT_SUCCESS(status)) {
    filter->_pending = filter->_current;
    filter->_pending_change = 0;
  }
  return status;
}

NTSTATUS CFilter::checkChanges(PIRP irp, PKSIDENTIFIER method, PVOID data) {
  UNREFERENCED_PARAMETER(method);
  UNREFERENCED_PARAMETER(data);
  if (!filterOfMethod(irp)) return STATUS_INVALID_DEVICE_STATE;
  return BdaCheckChanges(irp);
}

NTSTATUS CFilter::commitChanges(PIRP irp, PKSIDENTIFIER method, PVOID data) {
  UNREFERENCED_PARAMETER(method);
  UNREFERENCED_PARAMETER(data);
  CFilter* filter = filterOfMethod(irp);
  if (!filter) return STATUS_INVALID_DEVICE_STATE;
  filter->_current = filter->_pending;
  filter->_pending_change = 0;
  // A tune that found no signal stands (lock reads 0); one the tuner refused, or that never reached it, is
  // the commit's failure: the application must not take the channel for tuned.
  NTSTATUS tuned = STATUS_SUCCESS;
  if (filter->_antenna_state != KSSTATE_STOP) {
    const BOOLEAN updating = filter->_resources_acquired;
    const NTSTATUS status = filter->acquireResources();
    if (updating) tuned = status;
  } else {
    // The filter sees the antenna pin one transition late, so an application that commits right after
    // moving the pin to ACQUIRE would otherwise never be tuned: keep the request for the pin's next move.
    filter->_tune_deferred = TRUE;
  }
  const NTSTATUS status = BdaCommitChanges(irp);
  return NT_SUCCESS(status) ? tuned : status;
}

NTSTATUS CFilter::getChangeState(PIRP irp, PKSIDENTIFIER method, PVOID data) {
  UNREFERENCED_PARAMETER(method);
  CFilter* filter = filterOfMethod(irp);
  if (!filter) return STATUS_INVALID_DEVICE_STATE;
  if (!data) {
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_MORE_ENTRIES;
  }
  // The method item declares no minimum data: a buffer shorter than the answer gets none of it.
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_BUFFER_TOO_SMALL;
  }
  BDA_CHANGE_STATE state = BDA_CHANGES_COMPLETE;
  NTSTATUS status = BdaGetChangeState(irp, &state);
  if (NT_SUCCESS(status)) {
    *static_cast<PULONG>(data) = (state == BDA_CHANGES_PENDING || filter->_pending_change == 1)
                                     ? BDA_CHANGES_PENDING
                                     : BDA_CHANGES_COMPLETE;
    irp->IoStatus.Information = sizeof(ULONG);
  }
  return status;
}

NTSTATUS CFilter::createTopology(PIRP irp, PKSIDENTIFIER method, PVOID data) {
  return BdaMethodCreateTopology(irp, method, data);
}

// ---- Resources -------------------------------------------------------------------------------------------

NTSTATUS CFilter::setDeviceState(KSSTATE state) {
  _antenna_state = state;
  return STATUS_SUCCESS;
}

void CFilter::antennaStateChanged() {
  if (_tune_deferred && _antenna_state != KSSTATE_STOP && _resources_acquired) acquireResources();
}

NTSTATUS CFilter::acquireResources() {
  BDATuner* tuner = liveTuner();
  if (!tuner) return STATUS_DEVICE_NOT_CONNECTED;
  if (_resources_acquired) {
    _tune_deferred = FALSE;
    return tuner->updateResources(&_current, _resource_id);
  }
  NTSTATUS status = tuner->acquireResources(&_current, &_resource_id);
  _resources_acquired = NT_SUCCESS(status) ? TRUE : FALSE;
  return status;
}

NTSTATUS CFilter::releaseResources() {
  if (!_resources_acquired) return STATUS_SUCCESS;
  BDATuner* tuner = liveTuner();
  // A tuner the device has already deleted took its hold with it.
  NTSTATUS status = tuner ? tuner->releaseResources(_resource_id) : STATUS_SUCCESS;
  _resource_id = 0;
  _resources_acquired = FALSE;
  return status;
}

// ---- Standard tuning properties --------------------------------------------------------------------------

#define ZD_GET_CURRENT(name, field)                      \
  NTSTATUS CFilter::name(PULONG value) {                 \
    ZTRACE("CFilter%s::" #name "\n", instance().suffix); \
    if (!value) return STATUS_INVALID_PARAMETER;         \
    *value = static_cast<ULONG>(_current.field);         \
    return STATUS_SUCCESS;                               \
  }

#define ZD_GET_UNSUPPORTED(name)                         \
  NTSTATUS CFilter::name(PULONG value) {                 \
    ZTRACE("CFilter%s::" #name "\n", instance().suffix); \
    if (!value) return STATUS_INVALID_PARAMETER;         \
    return STATUS_NOT_SUPPORTED;                         \
  }

#define ZD_PUT_UNSUPPORTED(name)                                            \
  NTSTATUS CFilter::name(ULONG value) {                                     \
    ZTRACE("CFilter%s::" #name " = %ld\n", instance().suffix, asLd(value)); \
    _pending_change = 1;                                                    \
    return STATUS_NOT_SUPPORTED;                                            \
  }

NTSTATUS CFilter::putTunerFrequency(ULONG value) {
  CTunerDemodType* object = tunerDemod();
  ZTRACE("CFilter%s::putTunerFrequency = %ld, device instance = %x\n", instance().suffix, asLd(value),
         static_cast<unsigned>(instance().number));
  if (!object) return STATUS_DEVICE_NOT_CONNECTED;
  // A frequency the tuner cannot carry is refused before it is stored, so no commit sends it to the bus.
  // BDA's not-set markers 0 and -1 pass as before (the object keeps its frequency).
  if (value != 0 && value != ULONG(-1) && !hw::tuner::tunable(value)) {
    ZERROR("CFilter%s::putTunerFrequency: %lu kHz is outside the tuner's range\n", instance().suffix,
           static_cast<unsigned long>(value));
    return STATUS_INVALID_PARAMETER;
  }
  _pending_change = 1;
  object->setFrequency(value);
  _pending.carrier_frequency = value;
  return STATUS_SUCCESS;
}
ZD_GET_CURRENT(getTunerFrequency, carrier_frequency)

NTSTATUS CFilter::putTunerFrequencyMultiplier(ULONG value) {
  CTunerDemodType* object = tunerDemod();
  ZTRACE("CFilter%s::putTunerFrequencyMultiplier = %ld\n", instance().suffix, asLd(value));
  if (!object) return STATUS_DEVICE_NOT_CONNECTED;
  _pending_change = 1;
  object->setFrequencyMultiplier(value);
  _pending.frequency_multiplier = value;  // whatever the object made of it
  return STATUS_SUCCESS;
}
ZD_GET_CURRENT(getTunerFrequencyMultiplier, frequency_multiplier)

NTSTATUS CFilter::putTunerChannelBandwidth(ULONG value) {
  CTunerDemodType* object = tunerDemod();
  ZTRACE("CFilter%s::putTunerChannelBandwidth = %ld\n", instance().suffix, asLd(value));
  if (!object) return STATUS_DEVICE_NOT_CONNECTED;
  _pending_change = 1;
  object->apiSetBandwidth(value);
  _pending.channel_bandwidth = static_cast<LONG>(value);
  return STATUS_SUCCESS;
}
ZD_GET_CURRENT(getTunerChannelBandwidth, channel_bandwidth)

NTSTATUS CFilter::putTunerRange(ULONG value) {
  CTunerDemodType* object = tunerDemod();
  ZTRACE("CFilter%s::putTunerRange = %ld\n", instance().suffix, asLd(value));
  if (!object) return STATUS_DEVICE_NOT_CONNECTED;
  _pending_change = 1;
  object->setTunerRange(static_cast<LONG>(value));
  _pending.range = static_cast<LONG>(value);
  return STATUS_SUCCESS;
}
ZD_GET_CURRENT(getTunerRange, range)

// Satellite-only: no tuner type of this card has a polarisation or an LNB.
ZD_PUT_UNSUPPORTED(putTunerPolarity)
ZD_GET_UNSUPPORTED(getTunerPolarity)
ZD_PUT_UNSUPPORTED(putLNBLowOscillator)
ZD_GET_UNSUPPORTED(getLNBLowOscillator)
ZD_PUT_UNSUPPORTED(putLNBHighOscillator)
ZD_GET_UNSUPPORTED(getLNBHighOscillator)
ZD_PUT_UNSUPPORTED(putLNBSwitchFrequency)
ZD_GET_UNSUPPORTED(getLNBSwitchFrequency)

NTSTATUS CFilter::putDemodModulationType(ULONG value) {
  CTunerDemodType* object = tunerDemod();
  ZTRACE("CFilter%s::putDemodModulationType =%ld\n", instance().suffix, asLd(value));
  if (!object) return STATUS_DEVICE_NOT_CONNECTED;
  _pending_change = 1;
  object->apiSetModulationType(static_cast<LONG>(value));
  _pending.modulation_type = static_cast<LONG>(value);
  return STATUS_SUCCESS;
}
ZD_GET_CURRENT(getDemodModulationType, modulation_type)

// The method is fixed; the pending set records that one was asked for.
NTSTATUS CFilter::putDemodInnerFECMethod(ULONG value) {
  ZTRACE("CFilter%s::putDemodInnerFECMethod = %ld\n", instance().suffix, asLd(value));
  _pending_change = 1;
  _pending.inner_fec_method = 1;
  return STATUS_NOT_SUPPORTED;
}
ZD_GET_CURRENT(getDemodInnerFECMethod, inner_fec_method)

NTSTATUS CFilter::putDemodInnerFECRate(ULONG value) {
  CTunerDemodType* object = tunerDemod();
  ZTRACE("CFilter%s::putDemodInnerFECRate = %ld\n", instance().suffix, asLd(value));
  if (!object) return STATUS_DEVICE_NOT_CONNECTED;
  _pending_change = 1;
  object->setInnerFECRate(static_cast<LONG>(value));
  _pending.inner_fec_rate = static_cast<LONG>(value);
  return STATUS_SUCCESS;
}
ZD_GET_CURRENT(getDemodInnerFECRate, inner_fec_rate)

NTSTATUS CFilter::putDemodSymbolRate(ULONG value) {
  CTunerDemodType* object = tunerDemod();
  ZTRACE("CFilter%s::putDemodSymbolRate = %ld\n", instance().suffix, asLd(value));
  if (!object) return STATUS_DEVICE_NOT_CONNECTED;
  _pending_change = 1;
  object->apiSetSymbolRate(value);
  _pending.symbol_rate = value;
  return STATUS_SUCCESS;
}
ZD_GET_CURRENT(getDemodSymbolRate, symbol_rate)

ZD_PUT_UNSUPPORTED(putDemodSpectralInversion)
ZD_GET_UNSUPPORTED(getDemodSpectralInversion)
ZD_GET_UNSUPPORTED(getViterbiCodeRate)

// ---- Signal statistics -----------------------------------------------------------------------------------

// Strength, quality and the auxiliary value are reported only once the antenna pin has left STOP (as the
// filter records it, one transition behind the pin).
NTSTATUS CFilter::getSignalStrength(PULONG value) {
  if (!value) return STATUS_INVALID_PARAMETER;
  CTunerDemodType* object = tunerDemod();
  *value = (_antenna_state != KSSTATE_STOP && object) ? object->getSignalStrength()
                                                      : CTunerDemodType::kNoSignalStrength;
  return STATUS_SUCCESS;
}

NTSTATUS CFilter::getSignalQuality(PULONG value) {
  if (!value) return STATUS_INVALID_PARAMETER;
  CTunerDemodType* object = tunerDemod();
  *value = (_antenna_state != KSSTATE_STOP && object) ? object->getSignalQuality()
                                                      : CTunerDemodType::kNoSignalQuality;
  return STATUS_SUCCESS;
}

NTSTATUS CFilter::getDemodAuxValue(PULONG value) {
  if (!value) return STATUS_INVALID_PARAMETER;
  CTunerDemodType* object = tunerDemod();
  *value = (_antenna_state != KSSTATE_STOP && object) ? object->getSignalStatistic() : 0;
  return STATUS_SUCCESS;
}

// Lock is read from the hardware on every request, whatever the antenna pin's state.
NTSTATUS CFilter::getSignalStatus(PBOOLEAN present, PBOOLEAN locked) {
  BDATuner* tuner = liveTuner();
  if (!tuner) return STATUS_DEVICE_NOT_CONNECTED;
  return tuner->getStatus(present, locked);
}

// ---- Extended property set: multi-stream, blind scan, SNR/BER, media information -------------------------

namespace {

struct ExtendedMember {
  const char* name;   // handler name, traced at every verbosity
  const char* error;  // traced when the object reports failure
  ULONG (CTunerDemodType::*op)(PUCHAR);
  ULONG need;   // data bytes the object reads or writes
  ULONG reply;  // information size of a successful get; 0 for a set
};

ULONG dataLength(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

NTSTATUS callExtended(PIRP irp, PVOID data, const ExtendedMember& member) {
  PKSFILTER ks = KsGetFilterFromIrp(irp);
  CFilter* filter = ks ? static_cast<CFilter*>(ks->Context) : nullptr;
  if (ZadivoTraceLevel >= 0) {
    DbgPrint(ZD_PREFIX);
    DbgPrint("CFilter%s::%s", filter ? filter->instance().suffix : "", member.name);
  }
  if (!filter) return STATUS_INVALID_DEVICE_REQUEST;
  // The object works on whole records: a shorter buffer is refused before it is touched.
  if (dataLength(irp) < member.need || (member.need && !data)) {
    irp->IoStatus.Information = member.need;
    return STATUS_BUFFER_TOO_SMALL;
  }
  CTunerDemodType* object = filter->tunerDemod();
  if (!object) return STATUS_DEVICE_NOT_CONNECTED;
  if (!(object->*member.op)(static_cast<PUCHAR>(data))) {
    ZERROR("%s", member.error);
    return STATUS_UNSUCCESSFUL;
  }
  irp->IoStatus.Information = member.reply;
  return STATUS_SUCCESS;
}

// Reply sizes and the bytes each object reads (PLP id: 1; input stream id: 2); the sets no class
// interprets need no data.
constexpr ExtendedMember kGetSNRBER = {"Static_GetSNRBER", " Static_GetSNRBER Get error! ",
                                       &CTunerDemodType::GetSNRBER, 12, 12};
constexpr ExtendedMember kGetBlindScan = {"Static_GetBlindScan", " Static_GetBlindScan Get error! ",
                                          &CTunerDemodType::GetBlindScan, 4008, 4008};
constexpr ExtendedMember kSetBlindScan = {"Static_SetBlindScan", " Static_SetBlindScan set error! ",
                                          &CTunerDemodType::SetBlindScan, 0, 0};
constexpr ExtendedMember kGetZYNPLPNumber = {
    "Static_GetZYNPLPNumber", " Static_GetZYNPLPNumber set error! ", &CTunerDemodType::GetZYNPLPNumber,
    CTunerDemodType::kPlpReplyBytes, CTunerDemodType::kPlpReplyBytes};
constexpr ExtendedMember kSetZYNPLPNumber = {"Static_SetZYNPLPNumber", " Static_SetZYNPLPNumber set error! ",
                                             &CTunerDemodType::SetZYNPLPNumber, 1, 0};
constexpr ExtendedMember kSetZYNGoldCode = {"Static_SetZYNGoldCode", " Static_SetZYNGoldCode set error! ",
                                            &CTunerDemodType::SetZYNGoldCode, 0, 0};
constexpr ExtendedMember kSetMODCODES = {"Static_SetMODCODES", " Static_SetMODCODES set error! ",
                                         &CTunerDemodType::SetMODCODES, 0, 0};
constexpr ExtendedMember kGetMediaInfo = {"Static_GetMediaInfo", " Static_GetMediaInfo set error! ",
                                          &CTunerDemodType::GetMediaInfo, 72, 72};
constexpr ExtendedMember kGetStreamType = {"Static_GetStreamType", " Static_GetStreamType set error! ",
                                           &CTunerDemodType::GetStreamType, 2, 2};
constexpr ExtendedMember kSetStreamType = {"Static_SetStreamType", " Static_SetStreamType set error! ",
                                           &CTunerDemodType::SetStreamType, 0, 0};
constexpr ExtendedMember kSetInputStreamID = {"Static_SetInputStreamID",
                                              " Static_SetInputStreamID set error! ",
                                              &CTunerDemodType::SetInputStreamID, 2, 0};

}  // namespace

#define ZD_EXTENDED(handler, member)                                        \
  NTSTATUS CFilter::handler(PIRP irp, PKSIDENTIFIER property, PVOID data) { \
    UNREFERENCED_PARAMETER(property);                                       \
    return callExtended(irp, data, member);                                 \
  }

ZD_EXTENDED(Static_GetSNRBER, kGetSNRBER)
ZD_EXTENDED(Static_GetBlindScan, kGetBlindScan)
ZD_EXTENDED(Static_SetBlindScan, kSetBlindScan)
ZD_EXTENDED(Static_GetZYNPLPNumber, kGetZYNPLPNumber)
ZD_EXTENDED(Static_SetZYNPLPNumber, kSetZYNPLPNumber)
ZD_EXTENDED(Static_SetZYNGoldCode, kSetZYNGoldCode)
ZD_EXTENDED(Static_SetMODCODES, kSetMODCODES)
ZD_EXTENDED(Static_GetMediaInfo, kGetMediaInfo)
ZD_EXTENDED(Static_GetStreamType, kGetStreamType)
ZD_EXTENDED(Static_SetStreamType, kSetStreamType)
ZD_EXTENDED(Static_SetInputStreamID, kSetInputStreamID)

// ---- Extended property set: satellite-era operations -----------------------------------------------------

#define ZD_SATELLITE(name, marksPending)                 \
  NTSTATUS CFilter::name() {                             \
    ZTRACE("CFilter%s::" #name "\n", instance().suffix); \
    if (marksPending) _pending_change = 1;               \
    return STATUS_NOT_SUPPORTED;                         \
  }

ZD_SATELLITE(putDiSEqCMessage, true)
ZD_SATELLITE(initDiSEqC, true)
ZD_SATELLITE(getChannelChange, true)
ZD_SATELLITE(setChannelChange, true)
ZD_SATELLITE(getDemodInfo, false)
ZD_SATELLITE(getEffectiveFrequency, false)
ZD_SATELLITE(getLockStatus, false)
ZD_SATELLITE(setErrorControl, false)
ZD_SATELLITE(getChannelInfo, false)
ZD_SATELLITE(initNBCParams, true)

NTSTATUS CFilter::setZYNAccess() { return STATUS_SUCCESS; }
