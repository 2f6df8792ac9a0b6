// The Device's side of the per-channel tuners: tuner type at start, creation, factories, power-up, teardown.
// The BDATuner objects themselves arrive with the tuner-filter layer; until then a card starts with its
// hardware up and no tuner filters, and these functions say so instead of pretending.
#include "zadivo/device.h"
#include "zadivo/eeprom.h"
#include "zadivo/trace.h"

NTSTATUS Device::createTuners() {
  _board_id = getBoardId(_p_ks_device->PhysicalDeviceObject);
  UCHAR tunerType = 1;
  bool ok = false;
  IICReadEEPROMN(this, kEepromTunerType, &tunerType, 1, &ok);
  if (tunerType == 0 || tunerType == 2 || tunerType > 8) tunerType = 1;
  ZTRACE("TunerType %d: no tuner objects in this build\n", tunerType);
  return STATUS_SUCCESS;
}

NTSTATUS Device::registerFilterFactories() { return STATUS_SUCCESS; }

NTSTATUS Device::changeTunerType(UCHAR) { return STATUS_NOT_SUPPORTED; }

void Device::powerUpTuners() {}

void Device::deleteTuners() {
  for (auto& t : _p_tuner) t = nullptr;
}
