// DVB-T tune sequences, lock wait, echo optimisation and monitors against the fake bus.
#include "demod/sony_demod_dvbt.h"
#include "one_path.h"

class Dvbt : public OnePath {
 protected:
  DemodResult tune(ULONG freq, ULONG bw) {
    DvbtTuneParams p = {freq, bw, 0};
    return sony_integ_dvbt_Tune(integ(), &p);
  }
};

TEST_F(Dvbt, UnsupportedBandwidthRefusedBeforeAnyAccess) {
  EXPECT_EQ(tune(474000, 1), DEMOD_ERR_UNSUPPORTED);
  EXPECT_EQ(tune(474000, 9), DEMOD_ERR_UNSUPPORTED);
  EXPECT_TRUE(rig.bus.log().empty());
  EXPECT_EQ(d()->state, DEMOD_STATE_SLEEP);
}

// The wake-up took the chip out of sleep before the band setting failed: the record says neither asleep nor
// active, so the next tune starts from a reset instead of rewriting the selector of an active chip.
TEST_F(Dvbt, BandwidthFourFailsInBandSettingAndLeavesTheChipInvalid) {
  DvbtTuneParams p = {474000, 4, 0};
  EXPECT_EQ(sony_demod_dvbt_Tune(d(), &p), DEMOD_ERR_STATE);
  EXPECT_EQ(d()->state, DEMOD_STATE_INVALID);
  EXPECT_EQ(d()->system, DEMOD_SYS_DVBT);
  auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0x17, {0x01}));  // wake-up ran
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x13, 0x9C, {0x01, 0x14}));
  EXPECT_EQ(fake::countWrites(log, m(), 0x10, 0x9F), 0);
}

TEST_F(Dvbt, LockedTuneProgramsBandTunerAndEndsActive) {
  rig.setLocked(1, true);
  ASSERT_EQ(tune(474000, 8), DEMOD_OK);
  EXPECT_EQ(d()->state, DEMOD_STATE_ACTIVE);
  EXPECT_EQ(d()->system, DEMOD_SYS_DVBT);
  EXPECT_EQ(d()->bandwidth, 8u);
  auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0x67, {0x00}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0x9F, {0x15, 0, 0, 0, 0}));
  EXPECT_TRUE(
      fake::hasWrite(log, m(), 0x10, 0xA6,
                     {0x2F, 0xBA, 0x28, 0x9B, 0x28, 0x9D, 0x28, 0xA1, 0x29, 0xA5, 0x2A, 0xAC, 0x29, 0xB5}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0xB6, {0x19, 0x99, 0x9A}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0xD9, {0x15, 0x28}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x17, 0x38, {0x01, 0x02}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x00, 0xFE, {0x01}));  // tune end
  EXPECT_EQ(rig.mainReg(1, 0, 0xC3), 0x00);                   // stream output on
  EXPECT_EQ(rig.tuner(1).state, SONY_ASCOT3_STATE_ACTIVE);
  EXPECT_EQ(rig.tuner(1).frequencyKHz, 474000u);
  EXPECT_EQ(rig.tuner(1).system, 17u);
  EXPECT_NE(fake::trace().find("The demod locked.\n"), std::string::npos);
  EXPECT_NE(fake::trace().find("the dvbt iffreqconfig = 0x19999a"), std::string::npos);
  EXPECT_TRUE(rig.windowFree(1));
}

TEST_F(Dvbt, EmptyFrequencyGivesUpAfterSixtyAttempts) {
  ASSERT_EQ(tune(474000, 7), DEMOD_ERR_UNLOCKED);
  // Each attempt reads the sync state twice (lock check and echo optimisation).
  EXPECT_EQ(readsOf(0x10, 0x10), 120);
  EXPECT_GE(fake::virtualMs(), 60u * 20u);
  EXPECT_NE(fake::trace().find("The Demod unlocked!"), std::string::npos);
  EXPECT_EQ(d()->state, DEMOD_STATE_ACTIVE);
}

TEST_F(Dvbt, UnlockReportDoesNotEndTheWaitButSyncSevenDoes) {
  rig.mainReg(1, 0x10, 0x10) = 0x10;  // unlock detected
  EXPECT_EQ(tune(474000, 8), DEMOD_ERR_UNLOCKED);
  EXPECT_EQ(readsOf(0x10, 0x10), 120);
  rig.bus.clearLog();
  rig.mainReg(1, 0x10, 0x10) = 0x27;  // sync state 7
  EXPECT_EQ(tune(474000, 8), DEMOD_ERR_HARDWARE);
  EXPECT_EQ(readsOf(0x10, 0x10), 1);
}

TEST_F(Dvbt, LockNeedsSyncSixWithTsLock) {
  rig.setLocked(1, true);
  ASSERT_EQ(tune(474000, 8), DEMOD_OK);
  ULONG lock = 99;
  rig.mainReg(1, 0x10, 0x10) = 0x25;  // sync 5 + TS lock
  ASSERT_EQ(sony_demod_dvbt_CheckTSLock(d(), &lock), DEMOD_OK);
  EXPECT_EQ(lock, DVBT_LOCK_NOT_YET);
  rig.mainReg(1, 0x10, 0x10) = 0x26;
  ASSERT_EQ(sony_demod_dvbt_CheckTSLock(d(), &lock), DEMOD_OK);
  EXPECT_EQ(lock, DVBT_LOCK_LOCKED);
  rig.mainReg(1, 0x10, 0x10) = 0x36;
  ASSERT_EQ(sony_demod_dvbt_CheckTSLock(d(), &lock), DEMOD_OK);
  EXPECT_EQ(lock, DVBT_LOCK_UNLOCK_DETECTED);
}

TEST_F(Dvbt, RetuneSkipsWakeUpAndSleepSteps) {
  rig.setLocked(1, true);
  ASSERT_EQ(tune(474000, 8), DEMOD_OK);
  rig.bus.clearLog();
  ASSERT_EQ(tune(506000, 7), DEMOD_OK);
  auto log = rig.bus.log();
  EXPECT_EQ(fake::countWrites(log, sys(), 0x00, 0x17), 0);
  EXPECT_EQ(fake::countWrites(log, sys(), 0x00, 0x18), 0);
  EXPECT_EQ(fake::countWrites(log, m(), 0x11, 0x6A), 0);
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0x9F, {0x18, 0, 0, 0, 0}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0xB6, {0x16, 0x66, 0x66}));
  // The stream is switched off before the band setting.
  size_t off = log.size(), band = log.size();
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i].write && log[i].slave == m() && log[i].reg == 0xC3 && log[i].data == std::vector<uint8_t>{1} &&
        off == log.size())
      off = i;
    if (log[i].write && log[i].slave == m() && log[i].bank == 0x13 && log[i].reg == 0x9C &&
        band == log.size())
      band = i;
  }
  EXPECT_LT(off, band);
  EXPECT_EQ(rig.tuner(1).frequencyKHz, 506000u);
}

TEST_F(Dvbt, EchoOptimisationDependsOnRegister40) {
  rig.setLocked(1, true);
  rig.mainReg(1, 0x10, 0x40) = 0x04;  // field (0x40 >> 2) & 3 = 1: leave the band setting
  ASSERT_EQ(tune(474000, 8), DEMOD_OK);
  EXPECT_FALSE(fake::hasWrite(rig.bus.log(), m(), 0x13, 0x9C, {0x00, 0x10}));
  rig.bus.clearLog();
  rig.mainReg(1, 0x10, 0x40) = 0x08;
  ASSERT_EQ(tune(474000, 8), DEMOD_OK);
  EXPECT_TRUE(fake::hasWrite(rig.bus.log(), m(), 0x13, 0x9C, {0x00, 0x10}));
  // Registers are unfrozen again.
  EXPECT_EQ(rig.mainReg(1, 0x10, 0x01), 0);
}

TEST_F(Dvbt, SnrMonitor) {
  rig.setLocked(1, true);
  ASSERT_EQ(tune(474000, 8), DEMOD_OK);
  LONG snr = 0;
  EXPECT_EQ(sony_demod_dvbt_monitor_SNR(d(), &snr), DEMOD_ERR_HARDWARE);  // register value 0
  rig.mainReg(1, 0x10, 0x28) = 6000 >> 8;
  rig.mainReg(1, 0x10, 0x29) = 6000 & 0xFF;
  ASSERT_EQ(sony_demod_dvbt_monitor_SNR(d(), &snr), DEMOD_OK);
  EXPECT_EQ(snr, 100 * (LONG(Log10x100(4996)) - LONG(Log10x100(354))) + 28500);
  EXPECT_EQ(snr, 100 * (370 - 255) + 28500);

  // A failed read after the freeze still unfreezes.
  const uint8_t main = m();
  rig.bus.failIf = [main](const fake::Transfer& t) { return !t.write && t.slave == main && t.reg == 0x28; };
  rig.bus.clearLog();
  EXPECT_EQ(sony_demod_dvbt_monitor_SNR(d(), &snr), DEMOD_ERR_BUS);
  auto log = rig.bus.log();
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(log.back().write);
  EXPECT_EQ(log.back().reg, 0x01);
  EXPECT_EQ(log.back().data, std::vector<uint8_t>{0});
}

TEST_F(Dvbt, MonitorsNeedActiveDvbt) {
  LONG v = 0;
  UCHAR a, b, c;
  EXPECT_EQ(sony_demod_dvbt_monitor_SNR(d(), &v), DEMOD_ERR_STATE);
  EXPECT_EQ(sony_demod_dvbt_monitor_SyncStat(d(), &a, &b, &c), DEMOD_ERR_STATE);
  EXPECT_EQ(sony_integ_dvbt_monitor_RFLevel(&rig.path(1).integ, &v), DEMOD_ERR_STATE);
  EXPECT_EQ(sony_integ_dvbt_monitor_RFLevel(&rig.path(1).integ, nullptr), DEMOD_ERR_ARGUMENT);
  EXPECT_TRUE(rig.bus.log().empty());
}

TEST_F(Dvbt, RfLevelThroughRepeater) {
  rig.setLocked(1, true);
  ASSERT_EQ(tune(500000, 8), DEMOD_OK);
  rig.bus.clearLog();
  LONG level = 0;
  ASSERT_EQ(sony_integ_dvbt_monitor_RFLevel(&rig.path(1).integ, &level), DEMOD_OK);
  // Variant 2 (+220); AGC words 0; gain step 10 (0x69 low nibble 8, as the tune left it) at 500 MHz:
  // rssi = -(1000 + 870 + 2999) - 4050 + 220; DVB-T offset -400; x10.
  ASSERT_EQ(rig.tuner(1).chipVariant, SONY_ASCOT3_VARIANT_2);
  ASSERT_EQ(rig.tunerReg(1, 0x69) & 0x0F, 8);
  EXPECT_EQ(level, (-4869 - 4050 + 220 - 400) * 10);
  EXPECT_EQ(rig.tuner(1).rfLevelSystem, DEMOD_SYS_DVBT);
  EXPECT_TRUE(rig.windowFree(1));
  EXPECT_FALSE(rig.bus.repeaterOpen(rig.master(1), m()));
}

TEST_F(Dvbt, SleepFromActiveRunsSleepSequence) {
  rig.setLocked(1, true);
  ASSERT_EQ(tune(474000, 8), DEMOD_OK);
  rig.bus.clearLog();
  ASSERT_EQ(sony_demod_Sleep(d()), DEMOD_OK);
  EXPECT_EQ(d()->state, DEMOD_STATE_SLEEP);
  EXPECT_EQ(d()->system, DEMOD_SYS_NONE);
  auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x18, 0x31, {0x00}));
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0x17, {0x01}));
  EXPECT_EQ(rig.mainReg(1, 0, 0x81), 0x01);  // data pin TSDATA0 high impedance

  // A failing sleep sequence leaves the path invalid.
  rig.setLocked(1, true);
  ASSERT_EQ(tune(474000, 8), DEMOD_OK);
  rig.bus.failIf = [](const fake::Transfer& t) { return t.write && t.reg == 0x31; };
  EXPECT_EQ(sony_demod_Sleep(d()), DEMOD_ERR_BUS);
  EXPECT_EQ(d()->state, DEMOD_STATE_INVALID);
}
