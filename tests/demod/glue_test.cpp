// Demod path glue: path bring-up, DVB-T tune by DemodMode, monitors in the objects' units.
#include <gtest/gtest.h>

#include <regex>

#include "rig.h"
#include "zadivo/sony_cxd6802/sony_cxd6802.h"

class Glue : public ::testing::Test {
 protected:
  DemodPath& init(int idx) {
    DemodPath& p = rig.add(idx);
    p.device = nullptr;
    cxd6802_InitPath(&p, &rig.dev);
    return p;
  }
  Rig rig;
};

TEST_F(Glue, InitPathBringsPathToSleep) {
  DemodPath& p = init(5);
  EXPECT_EQ(p.device, &rig.dev);
  EXPECT_EQ(p.integ.demod.state, DEMOD_STATE_SLEEP);
  EXPECT_EQ(p.integ.demod.slaveMain, 0xC8);
  EXPECT_EQ(p.integ.demod.xtalSelect, 1u);
  EXPECT_EQ(p.integ.tuner.flags, 0xF03000u);
  EXPECT_EQ(p.integ.tuner.crystal, 2u);
  for (const auto& t : rig.bus.log()) EXPECT_EQ(t.master, 0x6000u);
  const std::string tr = fake::trace();
  EXPECT_NE(tr.find("Demodpath =5"), std::string::npos);
  EXPECT_NE(tr.find("sony chip id is 0x3  0x96  0x0.\n"), std::string::npos);
  EXPECT_NE(tr.find("sony_integ_Initialize successfully.\n"), std::string::npos);
}

TEST_F(Glue, InitPathStopsSilentlyOnDeadChipAndAssertsOnNullDevice) {
  DemodPath p(1);
  cxd6802_InitPath(&p, nullptr);
  ASSERT_EQ(fake::asserts().size(), 1u);
  EXPECT_TRUE(std::regex_match(fake::asserts()[0], std::regex("p_device @ .*sony_cxd6802/sony_cxd6802.cpp")))
      << fake::asserts()[0];

  DemodPath& q = rig.add(2);
  rig.bus.failIf = [](const fake::Transfer& t) { return !t.write; };
  cxd6802_InitPath(&q, &rig.dev);
  EXPECT_EQ(q.integ.demod.state, DEMOD_STATE_NONE);
  EXPECT_EQ(fake::trace().find("sony_integ_Initialize"), std::string::npos);
}

TEST_F(Glue, TuneDvbtAndReadMonitors) {
  DemodPath& p = init(1);
  rig.setLocked(1, true);
  EXPECT_EQ(cxd6802_GetLock(&p, DEMOD_MODE_DVBT), 0u);  // asleep: not locked
  ASSERT_EQ(cxd6802_Tune(&p, 500000, 0, 8, 0, DEMOD_MODE_DVBT), 1u);
  EXPECT_NE(fake::trace().find(
                "Demod 1, frequency = 500000,symrate_KSps = 0,bandwith = 8,streamid = 0 mode = 1 \n"),
            std::string::npos);
  EXPECT_EQ(cxd6802_GetLock(&p, DEMOD_MODE_DVBT), 1u);
  rig.mainReg(1, 0x10, 0x10) = 0x36;  // unlock detected
  EXPECT_EQ(cxd6802_GetLock(&p, DEMOD_MODE_DVBT), 0u);
  rig.setLocked(1, true);

  // Variant 2, AGC 0, gain step 10 at 500 MHz: -8919 + 220 - 400 hundredths, via thousandths / 10.
  EXPECT_EQ(cxd6802_GetRFLevel(&p, DEMOD_MODE_DVBT), -9099);
  EXPECT_NE(fake::trace().find("rflevel = -90990"), std::string::npos);

  rig.mainReg(1, 0x10, 0x28) = 6000 >> 8;
  rig.mainReg(1, 0x10, 0x29) = 6000 & 0xFF;
  EXPECT_EQ(cxd6802_GetSNR(&p, DEMOD_MODE_DVBT), (100 * (370 - 255) + 28500) * 100 / 65535);
  rig.mainReg(1, 0x10, 0x28) = 0;
  rig.mainReg(1, 0x10, 0x29) = 0;
  EXPECT_EQ(cxd6802_GetSNR(&p, DEMOD_MODE_DVBT), 0);  // monitor failure reads as 0
  EXPECT_EQ(KeReadStateMutex(&p.lock), 1);
}

TEST_F(Glue, FailedTuneAndUnknownModes) {
  DemodPath& p = init(1);
  EXPECT_EQ(cxd6802_Tune(&p, 474000, 0, 8, 0, DEMOD_MODE_DVBT), 0u);  // no signal
  rig.bus.clearLog();
  fake::clearTrace();
  for (DemodMode mode : {DemodMode(0), DemodMode(9), DemodMode(10), DemodMode(0xFFFFFFFF)}) {
    EXPECT_EQ(cxd6802_Tune(&p, 474000, 0, 8, 0, mode), 0u) << mode;
    EXPECT_EQ(cxd6802_GetLock(&p, mode), 0u);
    EXPECT_EQ(cxd6802_GetRFLevel(&p, mode), kCxd6802NoSignalHundredths);  // nothing measured
    EXPECT_EQ(cxd6802_GetSNR(&p, mode), 0);
  }
  EXPECT_TRUE(rig.bus.log().empty());
  EXPECT_NE(fake::trace().find("Can not support this mode."), std::string::npos);
}
