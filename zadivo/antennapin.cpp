// Antenna pin: context create/close, format intersection, the state logic that drives the filter's resource
// hold, the RF tuner node's standard property handlers and the pin's members of the extended set.
#include "zadivo/antennapin.h"

#include "trace/trace.h"
#include "zadivo/bdatuner.h"
#include "zadivo/demodfilter.h"
#include "zadivo/eeprom.h"
#include "zadivo/instance_table.h"
#include "zadivo/spi_flash.h"
#include "zadivo/transportpin.h"
#include "zadivo/tuner_demod_type.h"

namespace {

constexpr ULONG kAntennaRangeBytes = sizeof(KSDATARANGE);  // 64

}  // namespace

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

NTSTATUS CAntennaPin::pinClose(PKSPIN pin, PIRP) { return closePin<CAntennaPin>(pin, "CAntennaPin"); }

NTSTATUS CAntennaPin::intersectDataFormat(PVOID, PIRP, PKSP_PIN, PKSDATARANGE callerRange, PKSDATARANGE,
                                          ULONG bufferSize, PVOID data, PULONG dataSize) {
  ZTRACE("CAntennaPin::intersectDataFormat\n");
  return intersectFixedRange(callerRange, kAntennaRangeBytes, bufferSize, data, dataSize, false);
}

NTSTATUS CAntennaPin::pinSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState) {
  ZTRACE("CAntennaPin::pinSetDeviceState\n");
  auto* context = static_cast<CAntennaPin*>(pin->Context);
  CFilter* filter = context ? context->_p_filter : nullptr;
  if (!filter) return STATUS_INVALID_DEVICE_STATE;
  // The filter learns the state being left, on every call.
  filter->setDeviceState(KSSTATE(context->_state));
  RequestHold hold(filter->_p_device);
  if (!hold) {
    // The card is stopping or stopped: the pin may still come down (its hold went with the tuners), never up.
    if (toState != KSSTATE_STOP) return STATUS_DEVICE_NOT_READY;
    filter->forgetResources();
    context->_state = toState;
    return STATUS_SUCCESS;
  }

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
  filter->antennaStateChanged();
  return STATUS_SUCCESS;
}

// ---- RF tuner node: standard properties ------------------------------------------------------------------

#define ZD_ANTENNA_GET(handler, op)                                             \
  NTSTATUS CAntennaPin::handler(PIRP irp, PKSIDENTIFIER property, PVOID data) { \
    return getVia(irp, property, data, "CAntennaPin", #handler, &CFilter::op);  \
  }
#define ZD_ANTENNA_SET(handler, op)                                             \
  NTSTATUS CAntennaPin::handler(PIRP irp, PKSIDENTIFIER property, PVOID data) { \
    return setVia(irp, property, data, "CAntennaPin", #handler, &CFilter::op);  \
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

// ---- Extended set: satellite-era members -----------------------------------------------------------------

namespace {

ULONG requestLength(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
}
ULONG dataLength(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}
// The extended set's two layouts, told apart by the topology flag (see docs/extended-property-set.md): a node
// request (KSP_NODE, payload at 32) is checked against the topology; a request to the antenna pin itself
// (KSPROPERTY, payload at 24) reaches us only through that pin's own table.
bool isNodeRequest(PKSIDENTIFIER property) { return (property->Flags & KSPROPERTY_TYPE_TOPOLOGY) != 0; }
NTSTATUS validateExtended(PIRP irp, PKSIDENTIFIER property) {
  if (isNodeRequest(property)) return BdaValidateNodeProperty(irp, property);
  return KsGetPinFromIrp(irp) ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
}
ULONG payloadOffset(PKSIDENTIFIER property) {
  return isNodeRequest(property) ? CAntennaPin::kNodePayloadOffset : CAntennaPin::kPinPayloadOffset;
}
// The request's payload, which follows its header; nullptr when the request is shorter than `bytes` of it.
const UCHAR* payload(PIRP irp, PKSIDENTIFIER property, ULONG bytes) {
  const ULONG offset = payloadOffset(property);
  if (requestLength(irp) < offset + bytes) return nullptr;
  return reinterpret_cast<const UCHAR*>(property) + offset;
}
bool dataHolds(PIRP irp, PVOID data, ULONG bytes) { return data && dataLength(irp) >= bytes; }

// Validates an extended request and finds its filter.
NTSTATUS extendedRequestFilter(PIRP irp, PKSIDENTIFIER property, CFilter** filter) {
  NTSTATUS status = validateExtended(irp, property);
  if (!NT_SUCCESS(status)) return status;
  *filter = CFilter::fromIrp(irp);
  return *filter ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS satellite(PIRP irp, PKSIDENTIFIER property, const char* name, NTSTATUS (CFilter::*op)()) {
  CFilter* filter = nullptr;
  NTSTATUS status = extendedRequestFilter(irp, property, &filter);
  if (!NT_SUCCESS(status)) return status;
  ZTRACE("CAntennaPin%s::%s\n", suffixOf(filter), name);
  return (filter->*op)();
}

// The opening of every device-access handler: validate the request, find the card, trace
// "CAntennaPin<suffix>::<name>" (no trace for a null name), check that the data buffer holds `bytes`.
NTSTATUS deviceRequest(PIRP irp, PKSIDENTIFIER property, const char* name, PVOID data, ULONG bytes,
                       Device** device) {
  NTSTATUS status = validateExtended(irp, property);
  if (!NT_SUCCESS(status)) return status;
  PKSPIN pin = KsGetPinFromIrp(irp);
  PKSDEVICE ksDevice = pin ? KsGetDevice(pin) : nullptr;
  if (!ksDevice) {
    PKSFILTER ksFilter = KsGetFilterFromIrp(irp);
    ksDevice = ksFilter ? KsGetDevice(ksFilter) : nullptr;
  }
  *device = ksDevice ? static_cast<Device*>(ksDevice->Context) : nullptr;
  if (!*device) return STATUS_INVALID_DEVICE_REQUEST;
  if (name) ZTRACE("CAntennaPin%s::%s\n", suffixOf(CFilter::fromIrp(irp)), name);
  return bytes && !dataHolds(irp, data, bytes) ? STATUS_BUFFER_TOO_SMALL : status;
}

constexpr ULONG kDiSEqCMessageBytes = 188;
constexpr ULONG kRegisterMaster = 0x4000;
// Register read record offsets.
constexpr ULONG kRegSubAddress = 1, kRegSubLength = 129, kRegData = 130, kRegDataLength = 258;
// What the I2C layer can carry in one register access.
constexpr ULONG kMaxSubAddress = 2, kMaxReadData = 4, kMaxWriteData = 128;

// Flash word record: the value in word 1, the result in word 2.
constexpr ULONG kFlashValueWord = 1, kFlashResultWord = 2;
// Flash ID reply: the three ID bytes, the result at byte 36.
constexpr ULONG kFlashIdResult = 36;

PULONG words(PVOID data) { return static_cast<PULONG>(data); }

}  // namespace

NTSTATUS CAntennaPin::tunerSetDiSEqCMessage(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  CFilter* filter = nullptr;
  NTSTATUS status = extendedRequestFilter(irp, property, &filter);
  if (!NT_SUCCESS(status)) return status;
  ZTRACE("CAntennaPin%s::tunerSetDiSEqCMessage\n", suffixOf(filter));
  const UCHAR* message = payload(irp, property, kDiSEqCMessageBytes);
  if (!message || !dataHolds(irp, data, kDiSEqCMessageBytes)) return STATUS_BUFFER_TOO_SMALL;
  status = filter->putDiSEqCMessage();
  RtlCopyMemory(data, message, kDiSEqCMessageBytes);
  return status;
}

NTSTATUS CAntennaPin::tunerInitDiSEqC(PIRP irp, PKSIDENTIFIER property, PVOID) {
  return satellite(irp, property, "tunerInitDiSEqC", &CFilter::initDiSEqC);
}

NTSTATUS CAntennaPin::tunerSatNoOp(PIRP irp, PKSIDENTIFIER property, PVOID) {
  NTSTATUS status = validateExtended(irp, property);
  return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS CAntennaPin::tunerGetSatChannelChange(PIRP irp, PKSIDENTIFIER property, PVOID) {
  return satellite(irp, property, "tunerGetSatChannelChange", &CFilter::getChannelChange);
}
NTSTATUS CAntennaPin::tunerSetSatChannelChange(PIRP irp, PKSIDENTIFIER property, PVOID) {
  return satellite(irp, property, "tunerSetSatChannelChange", &CFilter::setChannelChange);
}
NTSTATUS CAntennaPin::tunerGetSatDemodInfo(PIRP irp, PKSIDENTIFIER property, PVOID) {
  return satellite(irp, property, "tunerGetSatDemodInfo", &CFilter::getDemodInfo);
}
NTSTATUS CAntennaPin::tunerGetSatEffectiveFrequency(PIRP irp, PKSIDENTIFIER property, PVOID) {
  return satellite(irp, property, "tunerGetSatEffectiveFrequency", &CFilter::getEffectiveFrequency);
}
// Ids 7 and 8 print the demod-info handler's name.
NTSTATUS CAntennaPin::tunerGetSatLockStatus(PIRP irp, PKSIDENTIFIER property, PVOID) {
  return satellite(irp, property, "tunerGetSatDemodInfo", &CFilter::getLockStatus);
}
NTSTATUS CAntennaPin::tunerSetSatErrorControl(PIRP irp, PKSIDENTIFIER property, PVOID) {
  return satellite(irp, property, "tunerGetSatDemodInfo", &CFilter::setErrorControl);
}
NTSTATUS CAntennaPin::tunerGetSatChannelInfo(PIRP irp, PKSIDENTIFIER property, PVOID) {
  return satellite(irp, property, "tunerGetSatChannelInfo", &CFilter::getChannelInfo);
}
NTSTATUS CAntennaPin::tunerSetNBCParams(PIRP irp, PKSIDENTIFIER property, PVOID) {
  return satellite(irp, property, "tunerSetNBCParams", &CFilter::initNBCParams);
}

// ---- Extended set: MAC addresses, register access, tuner type --------------------------------------------

NTSTATUS CAntennaPin::Static_ReadMAC(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  Device* device = nullptr;
  NTSTATUS status = deviceRequest(irp, property, nullptr, data, kMacRecordBytes, &device);
  if (!NT_SUCCESS(status)) return status;
  const UCHAR* record = payload(irp, property, kMacRecordBytes);
  if (!record) return STATUS_BUFFER_TOO_SMALL;
  MacRequest request;
  RtlCopyMemory(request.bytes, record, kMacRecordBytes);
  ULONG index;
  RtlCopyMemory(&index, request.bytes, sizeof(index));
  ZTRACE("Info: A ZYNI2CRead MAC %d nIndex is:", static_cast<int>(index));
  const bool read = MACAddress_get(device, &request, false);
  // An index outside 1..8 is answered with the record as it came; a failed EEPROM read of a real index is
  // reported rather than passing the caller's bytes off as the card's address.
  if (!read && index >= 1 && index <= kInstanceCount) {
    ZERROR(" Static_ReadMAC operation error! ");
    return STATUS_UNSUCCESSFUL;
  }
  RtlCopyMemory(data, request.bytes, kMacRecordBytes);
  irp->IoStatus.Information = kMacRecordBytes;
  return STATUS_SUCCESS;
}

NTSTATUS CAntennaPin::Static_WriteMAC(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  Device* device = nullptr;
  constexpr ULONG kWriteBytes = 10;  // index and the six address bytes
  NTSTATUS status = deviceRequest(irp, property, nullptr, data, kWriteBytes, &device);
  if (!NT_SUCCESS(status)) return status;
  MacRequest request = {};
  const ULONG n = dataLength(irp) < kMacRecordBytes ? dataLength(irp) : kMacRecordBytes;
  RtlCopyMemory(request.bytes, data, n);
  if (!MACAddress_get(device, &request, true)) {
    ZERROR(" Static_WriteMAC operation error! ");
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CAntennaPin::Static_SetZYNAccess(PIRP irp, PKSIDENTIFIER property, PVOID) {
  NTSTATUS status = validateExtended(irp, property);
  if (!NT_SUCCESS(status)) return status;
  PKSFILTER ks = KsGetFilterFromIrp(irp);
  CFilter* filter = ks ? static_cast<CFilter*>(ks->Context) : nullptr;
  ZTRACE("CAntennaPin%s::Static_SetZYNAccess\n", suffixOf(filter));
  return filter ? filter->setZYNAccess() : STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS CAntennaPin::Static_ReadRegData(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  CFilter* named = CFilter::fromIrp(irp);
  ZTRACE("CAntennaPin%s::Static_ReadRegData\n", suffixOf(named));
  const UCHAR* request = payload(irp, property, kRegReadRecordBytes);
  if (request)
    ZTRACE("i2ctemp->data[0] %.2x  i2ctemp->data[1] %.2x i2ctemp->nbdata i2ctemp->nlenth %d\n",
           request[kRegSubAddress], request[kRegSubAddress + 1], request[kRegDataLength]);
  Device* device = nullptr;
  NTSTATUS status = deviceRequest(irp, property, nullptr, data, kRegReadRecordBytes, &device);
  if (!NT_SUCCESS(status)) return status;
  if (!request) return STATUS_BUFFER_TOO_SMALL;
  UCHAR record[kRegReadRecordBytes];
  RtlCopyMemory(record, request, kRegReadRecordBytes);
  const ULONG subLength = record[kRegSubLength], length = record[kRegDataLength];
  // Lengths the I2C layer cannot carry are refused before the bus is touched.
  if (subLength > kMaxSubAddress || length < 1 || length > kMaxReadData) return STATUS_INVALID_PARAMETER;
  // The record goes back either way; a slave that did not answer is a failure, not data bytes of zero.
  const NTSTATUS bus = device->i2cReadInterface(kRegisterMaster, record[0], record + kRegSubAddress,
                                                subLength, record + kRegData, length);
  RtlCopyMemory(data, record, kRegReadRecordBytes);
  irp->IoStatus.Information = kRegReadRecordBytes;
  return bus == STATUS_SUCCESS ? status : STATUS_IO_DEVICE_ERROR;
}

NTSTATUS CAntennaPin::Static_SetRegData(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  ZTRACE("CAntennaPin%s::Static_SetRegData\n", suffixOf(CFilter::fromIrp(irp)));
  Device* device = nullptr;
  NTSTATUS status = deviceRequest(irp, property, nullptr, data, kRegWriteRecordBytes, &device);
  if (!NT_SUCCESS(status)) return status;
  UCHAR record[kRegWriteRecordBytes];
  RtlCopyMemory(record, data, kRegWriteRecordBytes);
  const ULONG length = record[kRegWriteRecordBytes - 1];
  if (length == 0) return STATUS_UNSUCCESSFUL;
  if (length > kMaxWriteData) return STATUS_INVALID_PARAMETER;
  return device->i2cWriteRegister(kRegisterMaster, record[0], 0x00, record + 1, length)
             ? STATUS_SUCCESS
             : STATUS_IO_DEVICE_ERROR;
}

NTSTATUS CAntennaPin::GetDemodMode(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  Device* device = nullptr;
  NTSTATUS status = deviceRequest(irp, property, "GetDemodMode", data, kDemodModeReply, &device);
  if (!NT_SUCCESS(status)) return status;
  UCHAR type = 0;
  // A failed read is not a tuner type: say so instead of answering a stale byte.
  if (!TunerTypeRead(device, &type)) return STATUS_UNSUCCESSFUL;
  static_cast<PUCHAR>(data)[0] = type;
  irp->IoStatus.Information = kDemodModeReply;
  return STATUS_SUCCESS;
}

NTSTATUS CAntennaPin::SetDemodMode(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  Device* device = nullptr;
  NTSTATUS status = deviceRequest(irp, property, nullptr, data, 0, &device);
  if (!NT_SUCCESS(status)) return status;
  ZERROR(" CAntennaPin::SetDemodMode ");
  if (!dataHolds(irp, data, 1)) return STATUS_BUFFER_TOO_SMALL;
  // Stored as written; a byte of no family runs as type 1, here and at every start.
  status = device->changeTunerType(static_cast<PUCHAR>(data)[0]);
  if (!NT_SUCCESS(status)) ZERROR(" Static_WriteMAC operation error! ");
  return status;
}

// ---- Extended set: SPI flash (channel A only) ------------------------------------------------------------

NTSTATUS CAntennaPin::tunerGetRDID(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  Device* device = nullptr;
  NTSTATUS status = deviceRequest(irp, property, "tunerGetRDID", data, kFlashIdBytes, &device);
  if (!NT_SUCCESS(status)) return status;
  PUCHAR reply = static_cast<PUCHAR>(data);
  reply[kFlashIdResult] = spi_GetFlashID(device, reply) ? 1 : 0;
  for (ULONG i = 0; i < 3; ++i) ZTRACE("SPI flash ID (%x)\n", reply[i]);
  return status;
}

NTSTATUS CAntennaPin::tunerChipErase(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  Device* device = nullptr;
  NTSTATUS status = deviceRequest(irp, property, "tunerGetEraseStatus", data, kFlashWordsBytes, &device);
  if (!NT_SUCCESS(status)) return status;
  words(data)[kFlashResultWord] = spi_ChipErase(device) ? 1 : 0;
  return status;
}

NTSTATUS CAntennaPin::tunerGetEraseStatus(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  Device* device = nullptr;
  NTSTATUS status = deviceRequest(irp, property, "tunerGetEraseStatus", data, kFlashWordsBytes, &device);
  if (!NT_SUCCESS(status)) return status;
  words(data)[kFlashResultWord] = spi_ReadStatus(device) == 1 ? 1 : 0;
  return status;
}

NTSTATUS CAntennaPin::tunerGetPageWriteReady(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  Device* device = nullptr;
  NTSTATUS status = deviceRequest(irp, property, nullptr, data, kFlashWordsBytes, &device);
  if (!NT_SUCCESS(status)) return status;
  words(data)[kFlashResultWord] = 1;
  return status;
}

NTSTATUS CAntennaPin::tunerSetFlashWriteOnePage(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  Device* device = nullptr;
  NTSTATUS status = deviceRequest(irp, property, nullptr, data, kPageRecordBytes, &device);
  if (!NT_SUCCESS(status)) return status;
  PUCHAR record = static_cast<PUCHAR>(data);
  record[0] = spi_Write32bit(device, record + 1, record + 5) ? 1 : 0;
  if (record[0] == 0) {
    ZERROR(" tunerSetFlashWriteOnePage error! ");
    return STATUS_UNSUCCESSFUL;
  }
  return status;
}

NTSTATUS CAntennaPin::tunerFlashRead(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  Device* device = nullptr;
  NTSTATUS status = deviceRequest(irp, property, nullptr, data, kFlashWordsBytes, &device);
  if (!NT_SUCCESS(status)) return status;
  const UCHAR* address = payload(irp, property, 3);
  if (!address) return STATUS_BUFFER_TOO_SMALL;
  ULONG word = 0;
  words(data)[kFlashResultWord] = spi_read32bit(device, address, &word);
  words(data)[kFlashValueWord] = word;
  return status;
}

NTSTATUS CAntennaPin::tunerSetFlashWriteEnable(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  Device* device = nullptr;
  NTSTATUS status = deviceRequest(irp, property, nullptr, data, kFlashWordsBytes, &device);
  if (!NT_SUCCESS(status)) return status;
  if (words(data)[kFlashValueWord] == 1)
    spi_WriteEnable(device);
  else
    spi_WriteDisable(device);
  return status;
}
