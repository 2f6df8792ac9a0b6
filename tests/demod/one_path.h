// Fixture of the sequence tests on the fake bus: path 1's demodulator and tuner brought up, then the transfer
// log, the trace and the virtual clock cleared, so that a test sees only what it causes.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "rig.h"

class OnePath : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.add(1);
    ASSERT_EQ(rig.bringUp(1), DEMOD_OK);
    clear();
  }
  void clear() {
    rig.bus.clearLog();
    fake::clearTrace();
    fake::resetVirtualMs();
  }
  // Reads of a main-slave register, refused ones included: a poll that failed still polled.
  int readsOf(uint8_t bank, uint8_t reg) { return fake::countReads(rig.bus.log(), m(), bank, reg); }
  static bool traced(const char* s) { return fake::trace().find(s) != std::string::npos; }
  uint8_t m() { return rig.main(1); }
  uint8_t sys() { return static_cast<uint8_t>(rig.main(1) + 4); }
  sony_demod_t* d() { return &rig.demod(1); }
  sony_integ_t* integ() { return &rig.path(1).integ; }

  Rig rig;
};
