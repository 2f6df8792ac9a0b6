#include "rig.h"

Rig::Rig() : bus(fake::Bus::get()), dev(nullptr) {
  bus.reset();
  fake::clearTrace();
  fake::resetVirtualMs();
  fake::setIrql(PASSIVE_LEVEL);
}

Rig::~Rig() { bus.reset(); }

DemodPath& Rig::add(int idx, uint16_t chipId, uint8_t tunerId) {
  paths[idx].reset(new DemodPath(static_cast<UCHAR>(idx)));
  paths[idx]->device = &dev;
  bus.addDemod(master(idx), main(idx), chipId, tunerId);
  return *paths[idx];
}

DemodResult Rig::bringUp(int idx) {
  DemodCreateParams params = {1, main(idx), 1, 2, 0xC0};
  DemodResult r = sony_integ_Create(&paths[idx]->integ, &params);
  if (r != DEMOD_OK) return r;
  return sony_integ_Initialize(&paths[idx]->integ);
}

void Rig::setLocked(int idx, bool locked) { mainReg(idx, 0x10, 0x10) = locked ? 0x26 : 0x00; }

bool Rig::windowFree(int idx) {
  PKMUTEX m = cxd6802_RepeaterWindowLock(paths[idx].get());
  return m && KeReadStateMutex(m) == 1 && !paths[idx]->repeaterWindowHeld;
}
