// The Device's side of the per-channel tuners: tuner type at start, creation, factories, power-up, the
// tuner-type change at run time, and the lifetime of tuners that open filters still hold.
#include "trace/trace.h"
#include "zadivo/bdatuner.h"
#include "zadivo/device.h"
#include "zadivo/eeprom.h"
#include "zadivo/filter_descriptors.h"
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

// A set that never went into use: its factories and tuners go.
void deleteTunerSet(BDATuner* (&set)[8]) {
  for (BDATuner*& tuner : set) {
    if (tuner) tuner->deleteFilterFactory();
    delete tuner;
    tuner = nullptr;
  }
}

// Eight tuners of a type with their factories, or none: what was made before a failure is undone.
NTSTATUS newTunerSet(Device* device, UCHAR type, BDATuner* (&set)[8]) {
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < 8 && NT_SUCCESS(status); ++i) {
    set[i] = newTuner(device, i + 1, type);
    status = set[i] ? set[i]->createFilterFactories(device->_p_ks_device) : STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!NT_SUCCESS(status)) deleteTunerSet(set);
  return status;
}

// A tuner-type change handed to the work item, on the asking thread's stack.
struct TunerTypeChange {
  Device* device;
  UCHAR type;
  NTSTATUS status;
  KEVENT done;
};

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

// A channel missing its capture or tuner factory is a failed start: the first failure is the answer, and
// unInit deletes the factories made before it.
NTSTATUS Device::registerFilterFactories() {
  for (ULONG i = 0; i < 8; ++i) {
    BDATuner* tuner = _p_tuner[i];
    if (!tuner) continue;
    // A copy per card carries this card's board id: a second card must not rewrite the medium of the first
    // one's factory.
    NTSTATUS status = CDevice::createFactory(
        _p_ks_device, &_p_capture_factory[i], [&](KSOBJECT_BAG bag, PKSFILTERFACTORY* out) {
          KSFILTER_DESCRIPTOR* capture = nullptr;
          NTSTATUS made = CDevice::allocateFilterDescriptorForMediums(captureFilterDescriptor(i + 1), bag,
                                                                      _board_id, &capture);
          if (!NT_SUCCESS(made)) return made;
          return KsCreateFilterFactory(_p_ks_device->FunctionalDeviceObject, capture, nullptr, nullptr,
                                       KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, out);
        });
    if (!NT_SUCCESS(status)) return status;
    KsFilterFactoryUpdateCacheData(_p_capture_factory[i], nullptr);
    status = tuner->createFilterFactories(_p_ks_device);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

// After start, factories are created and deleted only under the framework's device mutex, which comes before
// a filter's control mutex, and a property request holds its filter's. So the swap runs in a work item, at
// PASSIVE_LEVEL with nothing held, and the request waits for it.
NTSTATUS Device::changeTunerType(UCHAR newType) {
  PIO_WORKITEM item = IoAllocateWorkItem(_p_ks_device->FunctionalDeviceObject);
  if (!item) return STATUS_INSUFFICIENT_RESOURCES;
  TunerTypeChange change;
  change.device = this;
  change.type = newType;
  change.status = STATUS_PENDING;
  KeInitializeEvent(&change.done, NotificationEvent, FALSE);
  IoQueueWorkItem(item, changeTunerTypeWork, DelayedWorkQueue, &change);
  KeWaitForSingleObject(&change.done, Executive, KernelMode, FALSE, nullptr);
  IoFreeWorkItem(item);
  return change.status;
}

// Lock order: device mutex, then the device's request rundown (a stop, which holds the device mutex, may be
// waiting for it to run down), then the tuner set.
void Device::changeTunerTypeWork(PDEVICE_OBJECT, PVOID context) {
  auto* change = static_cast<TunerTypeChange*>(context);
  Device* device = change->device;
  KsAcquireDevice(device->_p_ks_device);
  {
    RequestHold hold(device);
    change->status = hold ? device->swapTunerType(change->type) : STATUS_DEVICE_NOT_READY;
  }
  KsReleaseDevice(device->_p_ks_device);
  KeSetEvent(&change->done, 0, FALSE);  // the change lives on the waiter's stack: not touched after this
}

// Everything that can fail comes first: the new tuners and their factories, then the EEPROM. Until the
// EEPROM holds the new byte, a failure undoes the new set and leaves the running one as it was. The old
// tuners are retired, not deleted: filters opened on them keep working until they close. The capture
// factories do not depend on the type and are kept.
NTSTATUS Device::swapTunerType(UCHAR newType) {
  MutexHold hold(&_tuner_set_lock);
  BDATuner* fresh[8] = {};
  NTSTATUS status = newTunerSet(this, normaliseTunerType(newType), fresh);
  if (!NT_SUCCESS(status)) return status;
  if (!TunerTypeWrite(this, newType)) {
    deleteTunerSet(fresh);
    return STATUS_UNSUCCESSFUL;
  }
  for (ULONG i = 0; i < 8; ++i) {
    if (_p_tuner[i]) {
      _p_tuner[i]->deleteFilterFactory();
      retire(_p_tuner[i]);
    }
    _p_tuner[i] = fresh[i];
  }
  // Factories created after start stay invisible until enabled. The new factory of a channel serves the same
  // interface (category and reference string) as the old one: enabled only once the old one is gone.
  for (BDATuner* tuner : _p_tuner) {
    const NTSTATUS enabled = tuner->enableFilterInterfaces();
    if (!NT_SUCCESS(enabled) && NT_SUCCESS(status)) status = enabled;
  }
  powerUpTuners();
  return status;
}

void Device::powerUpTuners() {
  for (BDATuner* tuner : _p_tuner)
    if (tuner) tuner->powerUpThread();
}

BDATuner* Device::openTuner(ULONG index, const KSFILTER_DESCRIPTOR* descriptor) {
  MutexHold hold(&_tuner_set_lock);
  BDATuner* tuner = this->tuner(index);
  if (!tuner || !tuner->filterTemplate() || tuner->filterTemplate()->pFilterDescriptor != descriptor)
    return nullptr;
  ++tuner->_open_filters;
  return tuner;
}

void Device::closeTuner(BDATuner* tuner) {
  MutexHold hold(&_tuner_set_lock);
  if (tuner->_open_filters) --tuner->_open_filters;
  if (tuner->_open_filters || this->tuner(tuner->instance() - 1) == tuner) return;
  for (BDATuner** link = &_p_retired_tuners; *link; link = &(*link)->_p_next_retired) {
    if (*link == tuner) {
      *link = tuner->_p_next_retired;
      break;
    }
  }
  delete tuner;
}

// A tuner that left the current set: deleted now, or kept for the filters that still hold it. Caller holds
// the tuner-set lock.
void Device::retire(BDATuner* tuner) {
  if (!tuner->_open_filters) {
    delete tuner;
    return;
  }
  tuner->_p_next_retired = _p_retired_tuners;
  _p_retired_tuners = tuner;
}

void Device::deleteFactories() {
  for (ULONG i = 0; i < 8; ++i) {
    if (_p_capture_factory[i]) KsDeleteFilterFactory(_p_capture_factory[i]);
    _p_capture_factory[i] = nullptr;
    if (_p_tuner[i]) _p_tuner[i]->deleteFilterFactory();
  }
}

// Teardown: no tuner may reach the card any more. Those that filters still hold are detached and go with
// their last filter.
void Device::retireTuners() {
  MutexHold hold(&_tuner_set_lock);
  for (BDATuner*& tuner : _p_tuner) {
    if (tuner) retire(tuner);
    tuner = nullptr;
  }
  for (BDATuner* t = _p_retired_tuners; t; t = t->_p_next_retired) t->_detached = TRUE;
}
