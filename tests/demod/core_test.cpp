// Path bring-up, register primitives, configuration table and TS output of the demodulator core.
#include <gtest/gtest.h>

#include <regex>

#include "rig.h"

namespace {
bool anyTransferTo(const std::vector<fake::Transfer>& log, uint32_t master, uint8_t slave) {
  for (const auto& t : log)
    if (t.master == master && t.slave == slave) return true;
  return false;
}
}  // namespace

TEST(Bringup, AddressesFollowPathIndex) {
  const uint8_t expectedMain[9] = {0, 0xC8, 0xD8, 0xCA, 0xDA, 0xC8, 0xD8, 0xCA, 0xDA};
  const uint32_t expectedMaster[9] = {0, 0x4000, 0x4000, 0x5000, 0x5000, 0x6000, 0x6000, 0x7000, 0x7000};
  for (int idx = 1; idx <= 8; ++idx) {
    Rig rig;
    rig.add(idx);
    ASSERT_EQ(rig.bringUp(idx), DEMOD_OK) << idx;
    auto log = rig.bus.log();
    EXPECT_TRUE(anyTransferTo(log, expectedMaster[idx], expectedMain[idx])) << idx;
    EXPECT_TRUE(anyTransferTo(log, expectedMaster[idx], expectedMain[idx] + 4)) << idx;
    for (const auto& t : log) EXPECT_EQ(t.master, expectedMaster[idx]) << idx;
    const sony_demod_t& d = rig.demod(idx);
    EXPECT_EQ(d.slaveMain, expectedMain[idx]);
    EXPECT_EQ(d.slaveSys, uint8_t(expectedMain[idx] + 4));
    EXPECT_EQ(d.slaveR, uint8_t(expectedMain[idx] - 0x40));
  }
  EXPECT_EQ(cxd6802_MasterBase(0), 0u);
  EXPECT_EQ(cxd6802_MasterBase(9), 0u);
}

TEST(Bringup, MonitorSlaveWraps) {
  Rig rig;
  rig.add(1);
  rig.add(2);
  rig.add(4);
  ASSERT_EQ(rig.bringUp(1), DEMOD_OK);
  ASSERT_EQ(rig.bringUp(2), DEMOD_OK);
  ASSERT_EQ(rig.bringUp(4), DEMOD_OK);
  EXPECT_EQ(rig.demod(1).slaveMon, 0x20);
  EXPECT_EQ(rig.demod(2).slaveMon, 0x30);
  EXPECT_EQ(rig.demod(4).slaveMon, 0x32);
}

TEST(Bringup, EndsInSleepWithChipIdTunerAndSerialOutput) {
  Rig rig;
  rig.add(3, 0x396, 0xD2);
  rig.tunerReg(3, 0x19) = 0x40;  // variant 1
  ASSERT_EQ(rig.bringUp(3), DEMOD_OK);
  const sony_demod_t& d = rig.demod(3);
  EXPECT_EQ(d.chipId, 0x396u);
  EXPECT_EQ(d.state, DEMOD_STATE_SLEEP);
  EXPECT_EQ(d.system, DEMOD_SYS_NONE);
  EXPECT_EQ(rig.tuner(3).state, SONY_ASCOT3_STATE_SLEEP);
  EXPECT_EQ(rig.tuner(3).chipVariant, SONY_ASCOT3_VARIANT_1);
  EXPECT_EQ(rig.mainReg(3, 0x00, 0xC4) & 0x88, 0x80);  // serial, TSDATA0
  EXPECT_FALSE(rig.bus.repeaterOpen(rig.master(3), rig.main(3)));
  EXPECT_TRUE(rig.windowFree(3));
  EXPECT_NE(fake::trace().find("chipId : 0x396 ;"), std::string::npos);
  // The tuner was reached, and only through this path's open repeater.
  int tunerTransfers = 0;
  for (const auto& t : rig.bus.log()) {
    if (t.slave != 0xC0) continue;
    ++tunerTransfers;
    EXPECT_EQ(t.tunerOf, rig.main(3));
  }
  EXPECT_GT(tunerTransfers, 10);
}

TEST(Bringup, UnreadableChipIdStillEndsInSleep) {
  Rig rig;
  rig.add(1);
  const uint8_t sys = rig.main(1) + 4;
  rig.bus.failIf = [sys](const fake::Transfer& t) { return !t.write && t.slave == sys && t.reg == 0xFB; };
  ASSERT_EQ(rig.bringUp(1), DEMOD_OK);
  EXPECT_EQ(rig.demod(1).chipId, 0u);
  EXPECT_EQ(rig.demod(1).state, DEMOD_STATE_SLEEP);
  EXPECT_NE(fake::trace().find("0xcc read register: 0xfb size 1 error!!"), std::string::npos);
}

TEST(Bringup, DeadSystemSlaveFailsAndStaysInvalid) {
  Rig rig;
  rig.add(1);
  const uint8_t sys = rig.main(1) + 4;
  rig.bus.failIf = [sys](const fake::Transfer& t) { return t.slave == sys; };
  EXPECT_EQ(rig.bringUp(1), DEMOD_ERR_BUS);
  EXPECT_EQ(rig.demod(1).state, DEMOD_STATE_INVALID);
  EXPECT_TRUE(rig.windowFree(1));
}

TEST(Bringup, Chip197GetsExtraWakeUpWrite) {
  for (uint16_t id : {0x197, 0x396}) {
    Rig rig;
    rig.add(2, id);
    ASSERT_EQ(rig.bringUp(2), DEMOD_OK);
    bool extra = fake::hasWrite(rig.bus.log(), rig.main(2), 0x9C, 0x10, {0, 0, 0, 0});
    EXPECT_EQ(extra, id == 0x197) << std::hex << id;
  }
}

TEST(Primitives, ReadLengthsAndBitWrites) {
  Rig rig;
  DemodPath& p = rig.add(1);
  const uint8_t m = rig.main(1);
  for (int i = 0; i < 5; ++i) rig.mainReg(1, 0, uint8_t(0x20 + i)) = uint8_t(0xA0 + i);
  UCHAR buf[5] = {};
  ASSERT_EQ(ReadRegister(&p, m, 0x20, buf, 4), DEMOD_OK);
  auto log = rig.bus.log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_FALSE(log[0].write);
  rig.bus.clearLog();
  ASSERT_EQ(ReadRegister(&p, m, 0x20, buf, 5), DEMOD_OK);
  log = rig.bus.log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(log[0].write);
  EXPECT_EQ(log[0].reg, 0x20);
  EXPECT_TRUE(log[0].data.empty());
  EXPECT_FALSE(log[1].write);
  EXPECT_EQ(buf[4], 0xA4);

  rig.bus.clearLog();
  EXPECT_EQ(SetRegisterBits(&p, m, 0x30, 0xFF, 0x00), DEMOD_OK);
  EXPECT_TRUE(rig.bus.log().empty());
  EXPECT_EQ(SetRegisterBits(&p, m, 0x30, 0x5A, 0xFF), DEMOD_OK);
  EXPECT_EQ(rig.bus.log().size(), 1u);
  EXPECT_EQ(SetRegisterBits(&p, m, 0x30, 0x0F, 0x03), DEMOD_OK);
  EXPECT_EQ(rig.mainReg(1, 0, 0x30), 0x5B);

  rig.bus.failIf = [](const fake::Transfer&) { return true; };
  EXPECT_EQ(WriteOneRegister(&p, m, 0x30, 1), DEMOD_ERR_BUS);
  EXPECT_EQ(ReadRegister(&p, m, 0x30, buf, 1), DEMOD_ERR_BUS);
  EXPECT_NE(fake::trace().find("WriteOneRegister  error!!"), std::string::npos);
}

TEST(Primitives, WaitIsDoubledAndPassiveOnly) {
  Rig rig;
  DemodWaitMs(10);
  EXPECT_EQ(fake::virtualMs(), 20u);
  EXPECT_TRUE(fake::asserts().empty());
  fake::setIrql(DISPATCH_LEVEL);
  DemodWaitMs(1);
  fake::setIrql(PASSIVE_LEVEL);
  ASSERT_EQ(fake::asserts().size(), 1u);
  EXPECT_TRUE(
      std::regex_match(fake::asserts()[0],
                       std::regex("KeGetCurrentIrql\\(\\) == PASSIVE_LEVEL @ .*sony_cxd6802/demod_path.cpp")))
      << fake::asserts()[0];
}

class Config : public ::testing::Test {
 protected:
  void bring(uint16_t chipId) {
    rig.add(1, chipId);
    ASSERT_EQ(rig.bringUp(1), DEMOD_OK);
    rig.bus.clearLog();
  }
  sony_demod_t* d() { return &rig.demod(1); }
  Rig rig;
};

TEST_F(Config, Parallel2DependsOnChip) {
  bring(0x90);
  EXPECT_EQ(sony_demod_SetConfig(d(), 0, 2), DEMOD_ERR_UNSUPPORTED);
  EXPECT_TRUE(rig.bus.log().empty());
  EXPECT_EQ(sony_demod_SetConfig(d(), 84, 1), DEMOD_ERR_UNSUPPORTED);
  EXPECT_EQ(sony_demod_SetConfig(d(), 20, 1), DEMOD_ERR_UNSUPPORTED);
}

TEST_F(Config, Parallel2OnX97SetsBank2Bit) {
  bring(0x396);
  ASSERT_EQ(sony_demod_SetConfig(d(), 0, 2), DEMOD_OK);
  EXPECT_EQ(rig.mainReg(1, 0x00, 0xC4) & 0x80, 0);
  EXPECT_EQ(rig.mainReg(1, 0x02, 0xE4) & 0x01, 1);
}

TEST_F(Config, RangesAndStates) {
  bring(0x396);
  EXPECT_EQ(sony_demod_SetConfig(d(), 8, 32), DEMOD_ERR_RANGE);
  EXPECT_EQ(sony_demod_SetConfig(d(), 8, -1), DEMOD_ERR_RANGE);
  EXPECT_EQ(sony_demod_SetConfig(d(), 20, 4), DEMOD_ERR_RANGE);
  EXPECT_EQ(sony_demod_SetConfig(d(), 14, 4097), DEMOD_ERR_RANGE);
  EXPECT_EQ(sony_demod_SetConfig(d(), 22, 0), DEMOD_ERR_UNSUPPORTED);
  EXPECT_TRUE(rig.bus.log().empty());

  ASSERT_EQ(sony_demod_SetConfig(d(), 8, 31), DEMOD_OK);
  EXPECT_EQ(rig.mainReg(1, 0x00, 0xC6) & 0x1F, 0x1F);
  EXPECT_EQ(rig.mainReg(1, 0x60, 0x52) & 0x1F, 0x1F);

  d()->state = DEMOD_STATE_ACTIVE;
  rig.bus.clearLog();
  EXPECT_EQ(sony_demod_SetConfig(d(), 3, 0), DEMOD_ERR_STATE);
  EXPECT_TRUE(rig.bus.log().empty());
  ASSERT_EQ(sony_demod_SetConfig(d(), 14, 4096), DEMOD_OK);
  EXPECT_EQ(rig.mainReg(1, 0x00, 0xB7) & 1, 1);
  EXPECT_EQ(rig.mainReg(1, 0x00, 0xB2) & 0x1F, 0x10);
  EXPECT_EQ(rig.mainReg(1, 0x00, 0xB3), 0x00);

  d()->state = DEMOD_STATE_NONE;
  EXPECT_EQ(sony_demod_SetConfig(d(), 14, 1), DEMOD_ERR_STATE);
  EXPECT_EQ(sony_demod_SetConfig(nullptr, 14, 1), DEMOD_ERR_ARGUMENT);
}

TEST_F(Config, ChannelBondingRecordsMode) {
  bring(0x396);
  ASSERT_EQ(sony_demod_SetConfig(d(), 20, 3), DEMOD_OK);
  EXPECT_EQ(d()->chbondMode, 3);
  EXPECT_EQ(rig.bus.reg(rig.master(1), rig.main(1) + 4, 0, 0xC0) & 3, 0);
  ASSERT_EQ(sony_demod_SetConfig(d(), 20, 2), DEMOD_OK);
  EXPECT_EQ(rig.bus.reg(rig.master(1), rig.main(1) + 4, 0, 0xC0) & 3, 2);
}

TEST_F(Config, TsClockEntries) {
  bring(0x396);
  EXPECT_EQ(sony_demod_SetTSClockModeAndFreq(d(), 6), DEMOD_ERR_ARGUMENT);
  auto log = rig.bus.log();
  ASSERT_FALSE(log.empty());
  EXPECT_FALSE(log.back().write);
  EXPECT_EQ(log.back().reg, 0xC4);

  // Serial (the default after bring-up), serialClkFreqSelect 1.
  ASSERT_EQ(sony_demod_SetTSClockModeAndFreq(d(), 1), DEMOD_OK);
  EXPECT_EQ(rig.mainReg(1, 0, 0xC4) & 3, 1);
  EXPECT_EQ(rig.mainReg(1, 0, 0xD1) & 3, 1);
  EXPECT_EQ(rig.mainReg(1, 0, 0xD9), 8);
  EXPECT_EQ(rig.mainReg(1, 0, 0x33) & 3, 1);
  EXPECT_EQ(rig.mainReg(1, 0x10, 0x66) & 1, 1);

  // Parallel with a clock period of 16.
  ASSERT_EQ(sony_demod_SetConfig(d(), 0, 1), DEMOD_OK);
  ASSERT_EQ(sony_demod_SetConfig(d(), 11, 16), DEMOD_OK);
  rig.mainReg(1, 0, 0xD3) = 0x01;
  ASSERT_EQ(sony_demod_SetTSClockModeAndFreq(d(), 5), DEMOD_OK);
  EXPECT_EQ(rig.mainReg(1, 0, 0xD9), 16);
  EXPECT_EQ(rig.mainReg(1, 0, 0xDA) & 1, 1);
  EXPECT_EQ(rig.mainReg(1, 0, 0xD3) & 1, 0);

  ASSERT_EQ(sony_demod_SetConfig(d(), 11, 0), DEMOD_OK);
  ASSERT_EQ(sony_demod_SetTSClockModeAndFreq(d(), 5), DEMOD_OK);
  EXPECT_EQ(rig.mainReg(1, 0, 0xD9), 8);
  EXPECT_EQ(rig.mainReg(1, 0, 0xDA) & 1, 0);
}

TEST_F(Config, StreamOutputAndSleep) {
  bring(0x396);
  EXPECT_EQ(sony_demod_SetStreamOutput(d(), 1), DEMOD_ERR_STATE);
  EXPECT_EQ(sony_demod_Sleep(d()), DEMOD_OK);  // already asleep: nothing written
  EXPECT_TRUE(fake::writesTo(rig.bus.log(), rig.main(1)).empty());

  d()->state = DEMOD_STATE_ACTIVE;
  d()->system = DEMOD_SYS_DVBT;
  rig.mainReg(1, 0, 0xA9) = 0x02;
  rig.mainReg(1, 0, 0xC3) = 0x55;
  EXPECT_EQ(sony_demod_SetStreamOutput(d(), 1), DEMOD_OK);
  EXPECT_EQ(rig.mainReg(1, 0, 0xC3), 0x55);
  d()->system = DEMOD_SYS_ISDBC;
  d()->chbondMode = 1;
  EXPECT_EQ(sony_demod_SetStreamOutput(d(), 1), DEMOD_OK);
  EXPECT_EQ(rig.mainReg(1, 0, 0xC3), 0x00);

  // A system with no sleep sequence (code 6 names none) refuses and stays where it is.
  d()->system = 6;
  EXPECT_EQ(sony_demod_Sleep(d()), DEMOD_ERR_STATE);
  EXPECT_EQ(d()->state, DEMOD_STATE_ACTIVE);
}

TEST_F(Config, PinMaskFromOutputSelection) {
  bring(0x396);
  rig.mainReg(1, 0, 0x81) = 0x00;
  ASSERT_EQ(sony_demod_SetTSDataPinHiZ(d(), 1), DEMOD_OK);  // serial on TSDATA0
  EXPECT_EQ(rig.mainReg(1, 0, 0x81), 0x01);
  rig.mainReg(1, 0, 0xA9) = 0x01;
  rig.mainReg(1, 0x01, 0xC1) = 0x00;
  rig.mainReg(1, 0x01, 0xCF) = 0x01;
  rig.mainReg(1, 0x01, 0xEA) = 0x52;
  rig.mainReg(1, 0, 0x81) = 0x00;
  ASSERT_EQ(sony_demod_SetTSDataPinHiZ(d(), 1), DEMOD_OK);
  EXPECT_EQ(rig.mainReg(1, 0, 0x81), 0x24);
}
