// Test rig: a Device double, demodulator paths on it, and their chips on the fake bus.
#pragma once
#include <memory>

#include "fake_bus.h"
#include "zadivo/device.h"
#include "zadivo/sony_cxd6802/demod_path.h"

struct Rig {
  Rig();
  ~Rig();
  // Path idx (1..8) with its demodulator and tuner on the fake bus.
  DemodPath& add(int idx, uint16_t chipId = 0x396, uint8_t tunerId = 0xC4);
  // sony_integ_Create + sony_integ_Initialize with the board's configuration.
  DemodResult bringUp(int idx);
  // Brings up and makes the DVB-T lock register read "locked".
  void setLocked(int idx, bool locked);
  DemodPath& path(int idx) { return *paths[idx]; }
  sony_demod_t& demod(int idx) { return paths[idx]->integ.demod; }
  sony_ascot3_t& tuner(int idx) { return paths[idx]->integ.tuner; }
  uint32_t master(int idx) const { return cxd6802_MasterBase(idx); }
  uint8_t main(int idx) const { return cxd6802_SlaveAddress(idx); }
  uint8_t& mainReg(int idx, uint8_t bank, uint8_t reg) { return bus.reg(master(idx), main(idx), bank, reg); }
  uint8_t& tunerReg(int idx, uint8_t reg) { return bus.tunerReg(master(idx), main(idx), reg); }
  bool windowFree(int idx);

  fake::Bus& bus;
  Device dev;
  std::unique_ptr<DemodPath> paths[9];
};
