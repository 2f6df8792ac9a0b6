// The Device's side of the per-channel tuners: tuner type at start, creation, factories, power-up, the
// tuner-type change at run time and teardown.
#include "zadivo/bdatuner.h"
#include "zadivo/device.h"
#include "zadivo/eeprom.h"
#include "zadivo/filter_descriptors.h"
#include "zadivo/trace.h"
#include "zadivo/tuner_demod_type.h"

namespace {

// A tuner with its tuner-demod object and the object's demodulator path, or nullptr (allocation failed).
BDATuner* newTuner(Device* device, ULONG instance, UCHAR type) {
  BDATuner* tuner = new BDATuner(device, device->_p_ks_device->PhysicalDeviceObject, instance, type);
  if (!tuner) return nullptr;
  if (!tuner->createTunerDemodObj(device->_board_id) || !tuner->tunerDemod()->demodPath()) {
    delete tuner;
    return nullptr;
  }
  return tuner;
}

// Tuner filter factories of the present tuners; the status of the last one.
NTSTATUS createTunerFactories(Device* device) {
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < 8; ++i)
    if (device->_p_tuner[i]) status = device->_p_tuner[i]->createFilterFactories(device->_p_ks_device);
  return status;
}

}  // namespace

NTSTATUS Device::createTuners() {
  _board_id = getBoardId(_p_ks_device->PhysicalDeviceObject);
  UCHAR tunerType = 1;
  bool ok = false;
  IICReadEEPROMN(this, kEepromTunerType, &tunerType, 1, &ok);
  if (!ok) tunerType = 1;
  tunerType = normaliseTunerType(tunerType);
  // A tuner whose object (or the object's path) could not be made is never put to use; the ones made before
  // stay for unInit to delete.
  for (ULONG i = 1; i <= 8; ++i) {
    _p_tuner[i - 1] = newTuner(this, i, tunerType);
    if (!_p_tuner[i - 1]) return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Device::registerFilterFactories() {
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < 8; ++i) {
    BDATuner* tuner = _p_tuner[i];
    if (!tuner) continue;
    // A copy per card in the device's bag carries this card's board id: a second card must not rewrite the
    // medium of the first one's factory.
    KSFILTER_DESCRIPTOR* capture = nullptr;
    status = CDevice::allocateFilterDescriptorForMediums(captureFilterDescriptor(i + 1), _p_ks_device->Bag,
                                                         _board_id, &capture);
    if (!NT_SUCCESS(status)) return status;
    PKSFILTERFACTORY factory = nullptr;
    status = KsCreateFilterFactory(_p_ks_device->FunctionalDeviceObject, capture, nullptr, nullptr,
                                   KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, &factory);
    if (!NT_SUCCESS(status)) return status;
    KsFilterFactoryUpdateCacheData(factory, nullptr);
    status = tuner->createFilterFactories(_p_ks_device);
  }
  return status;
}

// The old tuners stay alive (filters opened on them keep working) until unInit; their factories stay
// registered but open no new filters. The eight new tuners are made first, so a failure leaves the old set in
// use; a type that makes no tuner-demod object is read as start-up reads it. The capture factories do not
// depend on the type and are kept.
NTSTATUS Device::changeTunerType(UCHAR newType) {
  const UCHAR type = normaliseTunerType(newType);
  BDATuner* fresh[8] = {};
  for (ULONG i = 0; i < 8; ++i) {
    fresh[i] = newTuner(this, i + 1, type);
    if (!fresh[i]) {
      for (BDATuner*& t : fresh) {
        delete t;
        t = nullptr;
      }
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  for (ULONG i = 0; i < 8; ++i) {
    if (_p_tuner[i]) {
      _p_tuner[i]->_p_next_retired = _p_retired_tuners;
      _p_retired_tuners = _p_tuner[i];
    }
    _p_tuner[i] = fresh[i];
  }
  NTSTATUS status = createTunerFactories(this);
  if (!NT_SUCCESS(status)) {
    unInit();
    return status;
  }
  powerUpTuners();
  return STATUS_SUCCESS;
}

void Device::powerUpTuners() {
  for (BDATuner* tuner : _p_tuner)
    if (tuner) tuner->powerUpThread();
}

void Device::deleteTuners() {
  for (BDATuner*& tuner : _p_tuner) {
    delete tuner;
    tuner = nullptr;
  }
  while (_p_retired_tuners) {
    BDATuner* next = _p_retired_tuners->_p_next_retired;
    delete _p_retired_tuners;
    _p_retired_tuners = next;
  }
}
