// BDATuner: the channel's tuner-demod object, its tuner filter factory and registration, and the resource
// hold that filters of the factory take in turn.
#include "zadivo/bdatuner.h"

#include "trace/trace.h"
#include "zadivo/filter_descriptors.h"
#include "zadivo/instance_table.h"
#include "zadivo/tuner_demod_objects.h"

namespace {
// Driver-wide count of tuners constructed; written only on the PnP thread.
ULONG gTunerSerial = 0;
}  // namespace

BDATuner::BDATuner(Device* device, PDEVICE_OBJECT pdo, ULONG instance, ULONG tunerType)
    : _p_device(device),
      _p_tuner_demod(nullptr),
      _medium_guid(*instanceInfo(instance).identity),
      _serial(gTunerSerial++),
      _resource_id(0),
      _resource_holds(0),
      _instance(instance),
      _tuner_type(tunerType),
      _p_pdo(pdo),
      _board_id(0),
      _p_template(nullptr),
      _p_next_retired(nullptr),
      _p_factory(nullptr),
      _open_filters(0),
      _detached(FALSE) {
  RtlZeroMemory(&_resource, sizeof(_resource));
  KeInitializeMutex(&_resource_lock, 0);
  ZTRACE("BDATuner::BDATuner\n");
  if (tunerType == 0) ZTRACE("BDATuner::BDATuner - tuner type error !!!!\n");
}

BDATuner::~BDATuner() {
  ZTRACE("BDATuner::~BDATuner\n");
  delete _p_tuner_demod;
  _p_tuner_demod = nullptr;
}

bool BDATuner::createTunerDemodObj(ULONG boardId) {
  ZTRACE("BDATuner::createTunerDemodObj\n");
  const UCHAR path = static_cast<UCHAR>(_instance);
  switch (_tuner_type) {
    case kTunerTypeDvbt:
      _p_tuner_demod = new CDVBTDemod(path);
      break;
    case kTunerTypeAtsc:
      _p_tuner_demod = new ATSCDemod(path);
      break;
    case kTunerTypeDvbc:
      _p_tuner_demod = new CDVBCDemod(path);
      break;
    case kTunerTypeIsdbt:
      _p_tuner_demod = new ISDBTDemod(path);
      break;
    case kTunerTypeJ83b:
      _p_tuner_demod = new CMCNSDemod(path);
      break;
    case kTunerTypeDvbc2:
      _p_tuner_demod = new CDVBC2Demod(path);
      break;
    case kTunerTypeIsdbc:
      _p_tuner_demod = new ISDBCDemod(path);
      break;
    default:
      ZTRACE("createTunerDemodObj failed, invalid tuner type value !!!!\n");
      return false;
  }
  if (!_p_tuner_demod) return false;
  _board_id = boardId;
  _p_tuner_demod->setDevice(_p_device);
  return true;
}

NTSTATUS BDATuner::createFilterFactories(PKSDEVICE ksDevice) {
  ZTRACE("BDATuner::createFilterFactories\n");
  KSFILTER_DESCRIPTOR* copy = nullptr;
  NTSTATUS status = CDevice::createFactory(
      ksDevice, &_p_factory,
      [&](KSOBJECT_BAG bag, PKSFILTERFACTORY* out) { return makeFilterFactory(ksDevice, bag, out, &copy); });
  if (NT_SUCCESS(status)) {
    status = BdaFilterFactoryUpdateCacheData(_p_factory, copy);
    if (!NT_SUCCESS(status)) ZTRACE("Warning : Update cache data failed\n");
  }
  if (NT_SUCCESS(status)) {
    status = registerFilter();
    if (!NT_SUCCESS(status)) ZTRACE("Warning : Register BDA filter failed\n");
  }
  if (!NT_SUCCESS(status)) deleteFilterFactory();
  return status;
}

NTSTATUS BDATuner::makeFilterFactory(PKSDEVICE ksDevice, KSOBJECT_BAG bag, PKSFILTERFACTORY* factory,
                                     KSFILTER_DESCRIPTOR** copy) {
  _p_template = static_cast<BDA_FILTER_TEMPLATE*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(BDA_FILTER_TEMPLATE), kTagDevice));
  if (!_p_template) {
    ZERROR("Insufficient memory for BDA tuner template\n");
    return STATUS_NO_MEMORY;
  }
  RtlZeroMemory(_p_template, sizeof(*_p_template));
  NTSTATUS status = KsAddItemToObjectBag(bag, _p_template, nullptr);
  if (!NT_SUCCESS(status)) {
    ZTRACE("Failed to add BDA template filter to object bag\n");
    ExFreePool(_p_template);
    _p_template = nullptr;
    return status;
  }

  if (_instance < 1 || _instance > kInstanceCount) return STATUS_UNSUCCESSFUL;
  const KSFILTER_DESCRIPTOR* source = nullptr;
  ULONG variant = tunerFilterVariant(_tuner_type);
  if (variant) {
    source = tunerFilterDescriptor(variant, _instance);
    _p_template->ulcPinPairs = 1;
    _p_template->pPinPairs = &kTunerPinPairing;
  } else {
    ZTRACE("This Demod can not support this mode\n");
    source = tunerFilterDescriptor(kVariantQpsk, 1);
  }

  KSFILTER_DESCRIPTOR local = *source;
  status = CDevice::allocateFilterDescriptorForMediums(&local, bag, _board_id, copy);
  if (!NT_SUCCESS(status)) {
    ZERROR("Allocate BDA filter descriptor failed\b");
    return status;
  }
  _p_template->pFilterDescriptor = *copy;
  status = BdaCreateFilterFactoryEx(ksDevice, *copy, _p_template, factory);
  if (!NT_SUCCESS(status)) ZTRACE("Cannot create BDA tuner filter factory\n");
  return status;
}

NTSTATUS BDATuner::enableFilterInterfaces() {
  return _p_factory ? KsFilterFactorySetDeviceClassesState(_p_factory, TRUE) : STATUS_INVALID_DEVICE_STATE;
}

void BDATuner::deleteFilterFactory() {
  if (_p_factory) {
    KsFilterFactorySetDeviceClassesState(_p_factory, FALSE);
    KsDeleteFilterFactory(_p_factory);
  }
  _p_factory = nullptr;
  _p_template = nullptr;  // went (or goes) with the factory's bag
}

NTSTATUS CDevice::allocateFilterDescriptorForMediums(const KSFILTER_DESCRIPTOR* source, KSOBJECT_BAG bag,
                                                     ULONG boardId, KSFILTER_DESCRIPTOR** copy) {
  ZTRACE("CDevice::allocateFilterDescriptorForMediums\n");
  *copy = nullptr;
  auto* descriptor = static_cast<KSFILTER_DESCRIPTOR*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KSFILTER_DESCRIPTOR), kTagDevice));
  if (!descriptor) {
    ZTRACE("Insufficient memory\n");
    return STATUS_NO_MEMORY;
  }
  NTSTATUS status = KsAddItemToObjectBag(bag, descriptor, nullptr);
  if (!NT_SUCCESS(status)) {
    ZTRACE("Failed to add filter descriptor to object bag\n");
    ExFreePool(descriptor);
    return status;
  }
  *descriptor = *source;
  if (!source->PinDescriptorsCount || !source->PinDescriptors) {
    *copy = descriptor;
    return STATUS_SUCCESS;
  }

  const ULONG pinBytes = source->PinDescriptorsCount * source->PinDescriptorSize;
  auto* pins = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, pinBytes, kTagDevice));
  if (!pins) {
    ZTRACE("Insufficient memory for pin descriptors\n");
    return STATUS_NO_MEMORY;
  }
  status = KsAddItemToObjectBag(bag, pins, nullptr);
  if (!NT_SUCCESS(status)) {
    ZTRACE("Failed to add pin descriptors to object bag\n");
    ExFreePool(pins);
    return status;
  }
  RtlCopyMemory(pins, source->PinDescriptors, pinBytes);

  for (ULONG p = 0; p < source->PinDescriptorsCount; ++p) {
    auto* pin = reinterpret_cast<KSPIN_DESCRIPTOR_EX*>(pins + p * source->PinDescriptorSize);
    const ULONG count = pin->PinDescriptor.MediumsCount;
    if (!count || !pin->PinDescriptor.Mediums) continue;
    auto* mediums = static_cast<KSPIN_MEDIUM*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, count * sizeof(KSPIN_MEDIUM), kTagDevice));
    if (!mediums) {
      ZTRACE("Insufficient memory for pin mediums\n");
      return STATUS_NO_MEMORY;
    }
    status = KsAddItemToObjectBag(bag, mediums, nullptr);
    if (!NT_SUCCESS(status)) {
      ZTRACE("Failed to add pin mediums to object bag\n");
      ExFreePool(mediums);
      return status;
    }
    RtlCopyMemory(mediums, pin->PinDescriptor.Mediums, count * sizeof(KSPIN_MEDIUM));
    for (ULONG m = 0; m < count; ++m) {
      mediums[m].Id = boardId;
      ZTRACE("setting pin medium id = %x\n", static_cast<unsigned>(boardId));
    }
    pin->PinDescriptor.Mediums = mediums;
  }
  descriptor->PinDescriptors = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(pins);
  *copy = descriptor;
  return STATUS_SUCCESS;
}

NTSTATUS BDATuner::registerFilter() {
  ZTRACE("registerFilter_dw_tuner_model TransportPinMedium = %d\n", static_cast<int>(_instance));
  BOOL directions[2] = {FALSE, TRUE};  // input, output
  KSPIN_MEDIUM mediums[2];
  RtlZeroMemory(mediums, sizeof(mediums));  // the antenna pin has no medium
  mediums[1].Set = *instanceInfo(_instance).transportMedium;
  mediums[1].Id = _board_id;
  mediums[1].Flags = 0;
  return KsRegisterFilterWithNoKSPins(_p_pdo, &KSCATEGORY_BDA_NETWORK_TUNER, 2, directions, mediums, nullptr);
}

NTSTATUS BDATuner::getStatus(PBOOLEAN present, PBOOLEAN locked) {
  ZTRACE_ALLOC("BDATuner::getStatus\n");
  ULONG lock = 0;
  if (_p_tuner_demod) _p_tuner_demod->getLockStatus(&lock);
  *present = lock ? TRUE : FALSE;
  *locked = lock ? TRUE : FALSE;
  return STATUS_SUCCESS;
}

NTSTATUS BDATuner::acquireResources(const TunerResource* resource, PULONG id) {
  ZTRACE("BDATuner:acquireResources\n");
  MutexHold hold(&_resource_lock);
  if (_resource_holds != 0) {
    // The refusal drops the existing hold, so the next acquisition succeeds.
    ZTRACE("BDATuner:acquireResources  STATUS_DEVICE_BUSY\n");
    _resource_id = 0;
    _resource_holds = 0;
    return STATUS_DEVICE_BUSY;
  }
  _resource = *resource;
  _resource_id += 25;
  *id = _resource_id;
  _resource_holds += 1;
  return STATUS_SUCCESS;
}

NTSTATUS BDATuner::updateResources(const TunerResource* resource, ULONG id) {
  ZTRACE("BDATuner:updateResources\n");
  MutexHold hold(&_resource_lock);
  if (_resource_holds == 0 || id != _resource_id) return STATUS_INVALID_DEVICE_REQUEST;
  _resource = *resource;
  ZTRACE("Sending pre-channel change\n");
  _p_device->notifyTSPreChannelChange(_instance - 1);
  NTSTATUS status = STATUS_SUCCESS;
  ULONG ok = 0;
  if (_p_tuner_demod) _p_tuner_demod->commitChanges(&ok);
  if (!ok) {
    if (ZadivoTraceLevel >= 0) {
      DbgPrint(ZD_PREFIX);
      DbgPrint("commitChanges failed\n");
    }
    status = STATUS_UNSUCCESSFUL;
  }
  ZTRACE("Sending post-channel change\n");
  _p_device->notifyTSPostChannelChange(_instance - 1);
  return status;
}

NTSTATUS BDATuner::releaseResources(ULONG id) {
  ZTRACE("BDATuner:releaseResources\n");
  MutexHold hold(&_resource_lock);
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  if (_resource_holds != 0 && id == _resource_id) {
    _resource_holds -= 1;
    status = STATUS_SUCCESS;
  }
  if (_p_tuner_demod) _p_tuner_demod->resetCurrent();
  return status;
}

void BDATuner::powerUpThread() {
  ASSERTMSG("p_tuner_demod", _p_tuner_demod != nullptr);
  if (!_p_tuner_demod) return;
  ULONG ok = 0;
  _p_tuner_demod->apiInitEnvironment(&ok);
  if (!ok && ZadivoTraceLevel >= 0) {
    DbgPrint(ZD_PREFIX);
    DbgPrint("powerUpThread failed !!!!\n");
  }
  _p_tuner_demod->resetCurrent();
}
