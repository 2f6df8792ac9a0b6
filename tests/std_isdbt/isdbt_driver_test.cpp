// ISDB-T driver sequences on the scripted bus: refusals, the wake-up with common and band settings, the
// re-tune that switches the stream off directly, sleep, the TS-lock wait, and the SNR and RF-level monitors
// (with the argument, state and repeater handling the other standards have).
#include "demod/sony_demod_isdbt.h"
#include "one_path.h"

namespace {

class Isdbt : public OnePath {
 protected:
  DemodResult tune(ULONG freq, ULONG bw) {
    IsdbtTuneParams p = {freq, bw};
    return sony_integ_isdbt_Tune(integ(), &p);
  }
  void setSync(uint8_t v) { rig.mainReg(1, 0x60, 0x10) = v; }
};

TEST_F(Isdbt, BandwidthOutsideSixToEightRefusedBeforeAnyAccess) {
  EXPECT_EQ(tune(563143, 5), DEMOD_ERR_UNSUPPORTED);
  EXPECT_EQ(tune(563143, 9), DEMOD_ERR_UNSUPPORTED);
  EXPECT_TRUE(rig.bus.log().empty());
  // A direct demodulator tune with a bad bandwidth wakes the chip, then fails in the band setting: the chip
  // is out of sleep, so the record is invalid until the next tune resets it.
  IsdbtTuneParams p = {563143, 5};
  EXPECT_EQ(sony_demod_isdbt_Tune(d(), &p), DEMOD_ERR_STATE);
  EXPECT_EQ(d()->state, DEMOD_STATE_INVALID);
  EXPECT_TRUE(fake::hasWrite(rig.bus.log(), sys(), 0x00, 0x17, {0x06}));
  EXPECT_EQ(fake::countWrites(rig.bus.log(), m(), 0x10, 0x9F), 0);
}

TEST_F(Isdbt, TuneFromSleepWritesCommonAndBandSettingsAndLocks) {
  setSync(0x03);
  ASSERT_EQ(tune(563143, 6), DEMOD_OK);
  EXPECT_EQ(d()->state, DEMOD_STATE_ACTIVE);
  EXPECT_EQ(d()->system, DEMOD_SYS_ISDBT);
  auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0x17, {0x06}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x00, 0xCE, {0x00, 0x00}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0x69, {0x04}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0xDE, {0x2E}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x15, 0xDE, {0x02}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x1E, 0x73, {0x68}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x63, 0x81, {0x00}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x60, 0xA8, {0xB7, 0x1B}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0x9F, {0x17, 0xA0, 0, 0, 0}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0xB6, {0x12, 0xEE, 0xEF}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0xD9, {0x1F, 0x79}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x12, 0x71, {0x07}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x15, 0xBE, {0x02}));
  EXPECT_EQ(rig.mainReg(1, 0, 0xC3), 0x00);
  EXPECT_EQ(rig.tuner(1).system, 11u);
  EXPECT_TRUE(traced("ISDBT singal is locked."));
  EXPECT_TRUE(traced("pUnlockDetected=0x0,pDmdLockStat=0x1,pTSLockStat=0x1"));
  EXPECT_TRUE(rig.windowFree(1));
}

TEST_F(Isdbt, RetuneSwitchesTheStreamOffEvenWhenA9OwnsTheOutput) {
  setSync(0x03);
  ASSERT_EQ(tune(563143, 6), DEMOD_OK);
  rig.mainReg(1, 0x00, 0xA9) = 0x01;
  rig.bus.clearLog();
  ASSERT_EQ(tune(602143, 8), DEMOD_OK);
  auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x00, 0xC3, {0x01}));
  EXPECT_EQ(fake::countWrites(log, sys(), 0x00, 0x17), 0);
  EXPECT_EQ(fake::countWrites(log, m(), 0x10, 0x69), 0);
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0x9F, {0x11, 0xB8, 0, 0, 0}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0xB6, {0x19, 0x55, 0x55}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x15, 0xBE, {0x03}));
  EXPECT_EQ(rig.tuner(1).system, 13u);
}

TEST_F(Isdbt, SleepRunsOnlyWhenActiveInIsdbt) {
  EXPECT_EQ(sony_demod_isdbt_Sleep(d()), DEMOD_OK);
  EXPECT_TRUE(rig.bus.log().empty());

  setSync(0x03);
  ASSERT_EQ(tune(563143, 7), DEMOD_OK);
  rig.bus.clearLog();
  ASSERT_EQ(sony_demod_Sleep(d()), DEMOD_OK);
  EXPECT_EQ(d()->state, DEMOD_STATE_SLEEP);
  auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x00, 0xC3, {0x01}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0x69, {0x05}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x17, 0x38, {0x01, 0x02}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x63, 0x81, {0x01}));
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0x17, {0x01}));
  EXPECT_EQ(rig.mainReg(1, 0x00, 0x80) & 0x1F, 0x1F);
}

TEST_F(Isdbt, UnlockReportDoesNotEndTheNinetyAttemptWait) {
  setSync(0x10);
  EXPECT_EQ(tune(563143, 6), DEMOD_ERR_UNLOCKED);
  EXPECT_EQ(readsOf(0x60, 0x10), 90);
  EXPECT_GE(fake::virtualMs(), 90u * 20u);
  EXPECT_TRUE(traced("ISDBT singal is unlocked!"));
  ULONG lock = 9;
  ASSERT_EQ(sony_demod_isdbt_CheckTSLock(d(), &lock), DEMOD_OK);
  EXPECT_EQ(lock, ISDBT_LOCK_UNLOCK_DETECTED);
  setSync(0x11);  // TS lock with unlock detected is still not lock
  ASSERT_EQ(sony_demod_isdbt_CheckTSLock(d(), &lock), DEMOD_OK);
  EXPECT_EQ(lock, ISDBT_LOCK_UNLOCK_DETECTED);
}

TEST_F(Isdbt, SnrFormulaAndGuards) {
  LONG snr = 0;
  EXPECT_EQ(sony_demod_isdbt_monitor_SNR(d(), &snr), DEMOD_ERR_STATE);  // asleep: nothing to read
  EXPECT_EQ(sony_demod_isdbt_monitor_SNR(d(), nullptr), DEMOD_ERR_ARGUMENT);
  EXPECT_EQ(sony_demod_isdbt_monitor_SNR(nullptr, &snr), DEMOD_ERR_ARGUMENT);
  EXPECT_TRUE(rig.bus.log().empty());

  setSync(0x03);
  ASSERT_EQ(tune(563143, 6), DEMOD_OK);
  rig.mainReg(1, 0x60, 0x28) = 0x00;
  rig.mainReg(1, 0x60, 0x29) = 0x01;
  ASSERT_EQ(sony_demod_isdbt_monitor_SNR(d(), &snr), DEMOD_OK);
  EXPECT_EQ(snr, -9031);
  rig.mainReg(1, 0x60, 0x28) = 0x13;
  rig.mainReg(1, 0x60, 0x29) = 0x88;  // 5000
  ASSERT_EQ(sony_demod_isdbt_monitor_SNR(d(), &snr), DEMOD_OK);
  EXPECT_EQ(snr, 100 * static_cast<LONG>(Log10x100(5000)) - 9031);
  rig.mainReg(1, 0x60, 0x28) = 0x00;
  rig.mainReg(1, 0x60, 0x29) = 0x00;
  EXPECT_EQ(sony_demod_isdbt_monitor_SNR(d(), &snr), DEMOD_ERR_HARDWARE);

  const uint8_t main = m();
  rig.bus.failIf = [main](const fake::Transfer& t) { return !t.write && t.slave == main && t.reg == 0x28; };
  rig.bus.clearLog();
  EXPECT_EQ(sony_demod_isdbt_monitor_SNR(d(), &snr), DEMOD_ERR_BUS);
  auto log = rig.bus.log();
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(log.back().write && log.back().reg == 0x01 && log.back().data == std::vector<uint8_t>{0});
}

TEST_F(Isdbt, RfLevelIsRssiLessFourAndAHalfDbAndTheRepeaterAlwaysCloses) {
  LONG level = 0;
  EXPECT_EQ(sony_integ_isdbt_monitor_RFLevel(integ(), &level), DEMOD_ERR_STATE);
  EXPECT_EQ(sony_integ_isdbt_monitor_RFLevel(integ(), nullptr), DEMOD_ERR_ARGUMENT);
  EXPECT_TRUE(rig.bus.log().empty());

  setSync(0x03);
  ASSERT_EQ(tune(563143, 6), DEMOD_OK);
  ASSERT_EQ(sony_integ_isdbt_monitor_RFLevel(integ(), &level), DEMOD_OK);
  LONG rssi = 0;
  ASSERT_EQ(sony_demod_I2cRepeater(d(), 1), DEMOD_OK);
  ASSERT_EQ(sony_ascot3_ReadRssi(&rig.tuner(1), &rssi), DEMOD_OK);
  ASSERT_EQ(sony_demod_I2cRepeater(d(), 0), DEMOD_OK);
  EXPECT_EQ(level, rssi * 10 - 4500);
  EXPECT_FALSE(rig.bus.repeaterOpen(rig.master(1), m()));

  rig.bus.failIf = [](const fake::Transfer& t) { return t.slave == 0xC0; };
  EXPECT_EQ(sony_integ_isdbt_monitor_RFLevel(integ(), &level), DEMOD_ERR_BUS);
  EXPECT_FALSE(rig.bus.repeaterOpen(rig.master(1), m()));
  EXPECT_TRUE(rig.windowFree(1));
}

}  // namespace
