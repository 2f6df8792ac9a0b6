// J.83 Annex B driver sequences on the scripted bus: refusals before any access, the wake-up and band
// settings per symbol-rate class, re-tune and sleep, the TS-lock wait, and the SNR and RF-level monitors.
#include "demod/sony_demod_j83b.h"
#include "one_path.h"

namespace {

class J83b : public OnePath {
 protected:
  DemodResult tune(ULONG freq, ULONG symbolRateClass) {
    J83bTuneParams p = {freq, symbolRateClass};
    return sony_integ_j83b_Tune(integ(), &p);
  }
  void setLocked(bool locked) {
    rig.mainReg(1, 0x40, 0x88) = locked ? 0x01 : 0x00;
    rig.mainReg(1, 0x40, 0x10) = locked ? 0x20 : 0x00;
  }
  LONG snrOf(uint8_t constellation, uint8_t hi, uint8_t lo, DemodResult* r) {
    rig.mainReg(1, 0x40, 0x19) = constellation;
    rig.mainReg(1, 0x40, 0x4C) = hi;
    rig.mainReg(1, 0x40, 0x4D) = lo;
    LONG snr = 12345;
    *r = sony_demod_j83b_monitor_SNR(d(), &snr);
    return snr;
  }
};

TEST_F(J83b, ClassAndFrequencyRefusedBeforeAnyAccess) {
  EXPECT_EQ(tune(555000, 52), DEMOD_ERR_UNSUPPORTED);
  EXPECT_EQ(tune(555000, 6), DEMOD_ERR_UNSUPPORTED);
  EXPECT_EQ(tune(0, 50), DEMOD_ERR_ARGUMENT);
  J83bTuneParams p = {555000, 52};
  EXPECT_EQ(sony_demod_j83b_Tune(d(), &p), DEMOD_ERR_ARGUMENT);
  EXPECT_TRUE(rig.bus.log().empty());
  EXPECT_EQ(d()->state, DEMOD_STATE_SLEEP);
}

TEST_F(J83b, TuneFromSleepWakesTheChipSetsClass50AndLocksWithoutWaiting) {
  setLocked(true);
  ASSERT_EQ(tune(555000, 50), DEMOD_OK);
  EXPECT_EQ(d()->state, DEMOD_STATE_ACTIVE);
  EXPECT_EQ(d()->system, DEMOD_SYS_J83B);
  EXPECT_EQ(d()->bandwidth, 50u);
  auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0x17, {0x08}));
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0x18, {0x00}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x11, 0x6A, {0x48}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x40, 0x8E, {0x58}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x41, 0xCF, {0x99}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x11, 0x33, {0x00, 0x03, 0x3B}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0xB6, {0x13, 0xBB, 0xBC}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x40, 0x14, {0x14}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x40, 0x26, {0x07, 0x26, 0x06, 0xBE}));
  EXPECT_EQ(rig.mainReg(1, 0x00, 0x80) & 0x1F, 0x08);
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x00, 0xFE, {0x01}));  // tune end
  EXPECT_EQ(rig.mainReg(1, 0, 0xC3), 0x00);                   // stream output on
  EXPECT_EQ(rig.tuner(1).system, 23u);
  EXPECT_EQ(rig.tuner(1).frequencyKHz, 555000u);
  EXPECT_TRUE(rig.windowFree(1));
  EXPECT_TRUE(traced("The j83b signal is locked."));

  // The wait returns on the first poll that sees TS lock and never waits after it.
  rig.bus.clearLog();
  fake::resetVirtualMs();
  EXPECT_EQ(sony_integ_j83b_WaitTSLock(&rig.path(1).integ), DEMOD_OK);
  EXPECT_EQ(readsOf(0x40, 0x88), 1);
  EXPECT_EQ(fake::virtualMs(), 0u);
}

TEST_F(J83b, RetuneToClass51OnlyStopsTheStreamAndRewritesTheBand) {
  setLocked(true);
  ASSERT_EQ(tune(555000, 50), DEMOD_OK);
  rig.bus.clearLog();
  ASSERT_EQ(tune(603000, 51), DEMOD_OK);
  auto log = rig.bus.log();
  EXPECT_EQ(fake::countWrites(log, sys(), 0x00, 0x17), 0);
  EXPECT_EQ(fake::countWrites(log, m(), 0x11, 0x6A), 0);
  EXPECT_EQ(fake::countWrites(log, m(), 0x41, 0xCF), 0);
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x00, 0xC3, {0x01}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0xB6, {0x14, 0x00, 0x00}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x40, 0x14, {0x10}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x40, 0x26, {0x07, 0x77, 0x07, 0x77}));
  EXPECT_EQ(d()->bandwidth, 51u);
  EXPECT_EQ(rig.tuner(1).system, 30u);
}

TEST_F(J83b, SleepRestoresTheCableSettingsAndLeavesTheChipAsleep) {
  setLocked(true);
  ASSERT_EQ(tune(555000, 50), DEMOD_OK);
  rig.bus.clearLog();
  ASSERT_EQ(sony_demod_Sleep(d()), DEMOD_OK);
  EXPECT_EQ(d()->state, DEMOD_STATE_SLEEP);
  EXPECT_EQ(d()->system, DEMOD_SYS_NONE);
  auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x00, 0xC3, {0x01}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x11, 0xA3, {0x00}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x40, 0xB3, {0x02}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x41, 0xCF, {0x77}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x40, 0x26, {0x09, 0x9A, 0x00, 0xEE}));
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0x18, {0x01}));
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0x17, {0x01}));
  EXPECT_EQ(rig.mainReg(1, 0x00, 0x80) & 0x1F, 0x1F);
  // Monitors refuse once asleep, without touching the bus.
  rig.bus.clearLog();
  LONG snr = 0;
  EXPECT_EQ(sony_demod_j83b_monitor_SNR(d(), &snr), DEMOD_ERR_STATE);
  EXPECT_EQ(sony_integ_j83b_monitor_RFLevel(&rig.path(1).integ, &snr), DEMOD_ERR_STATE);
  EXPECT_TRUE(rig.bus.log().empty());
}

TEST_F(J83b, DemodLockWithoutTsLockIsNotLockAndTheWaitGivesUpAfter199Polls) {
  rig.mainReg(1, 0x40, 0x88) = 0x01;  // carrier locked, no TS lock
  EXPECT_EQ(tune(555000, 50), DEMOD_ERR_UNLOCKED);
  EXPECT_EQ(readsOf(0x40, 0x88), 199);
  EXPECT_GE(fake::virtualMs(), 199u * 10u);
  EXPECT_TRUE(traced("The j83b signal unlocked!"));
  EXPECT_EQ(d()->state, DEMOD_STATE_ACTIVE);

  ULONG lock = 9;
  rig.mainReg(1, 0x40, 0x88) = 0x00;
  rig.mainReg(1, 0x40, 0x10) = 0x20;  // TS lock alone is not lock either
  ASSERT_EQ(sony_demod_j83b_CheckTSLock(d(), &lock), DEMOD_OK);
  EXPECT_EQ(lock, J83B_LOCK_NOT_YET);
  rig.mainReg(1, 0x40, 0x88) = 0x03;  // locked, unlock flag set: the sync state still reports it
  UCHAR dl = 0, ts = 0, ul = 0;
  ASSERT_EQ(sony_demod_j83b_monitor_SyncStat(d(), &dl, &ts, &ul), DEMOD_OK);
  EXPECT_EQ(dl, 1);
  EXPECT_EQ(ts, 1);
  EXPECT_EQ(ul, 1);
}

TEST_F(J83b, SnrFormulaClampAndRefusals) {
  setLocked(true);
  ASSERT_EQ(tune(555000, 50), DEMOD_OK);
  DemodResult r;
  // word = (0x4C & 0x1F) << 8 | 0x4D; 100 is raised to 126.
  EXPECT_EQ(snrOf(0x04, 0x00, 100, &r), 95941 - 95 * static_cast<LONG>(Lnx100(126)));
  EXPECT_EQ(r, DEMOD_OK);
  EXPECT_EQ(snrOf(0xFA, 0xE1, 0x00, &r), 95941 - 95 * static_cast<LONG>(Lnx100(0x100)));  // masks applied
  EXPECT_EQ(r, DEMOD_OK);
  snrOf(0x03, 0x01, 0x00, &r);
  EXPECT_EQ(r, DEMOD_ERR_HARDWARE);  // neither 64- nor 256-QAM
  snrOf(0x04, 0x20, 0x00, &r);
  EXPECT_EQ(r, DEMOD_ERR_HARDWARE);  // word 0

  // A failing read after the freeze still unfreezes and reports a bus error.
  const uint8_t main = m();
  rig.bus.failIf = [main](const fake::Transfer& t) { return !t.write && t.slave == main && t.reg == 0x4C; };
  rig.bus.clearLog();
  LONG snr = 0;
  EXPECT_EQ(sony_demod_j83b_monitor_SNR(d(), &snr), DEMOD_ERR_BUS);
  auto log = rig.bus.log();
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(log.back().write && log.back().reg == 0x01 && log.back().data == std::vector<uint8_t>{0});
}

TEST_F(J83b, RfLevelIsTheTunersCableLevelAndTheRepeaterClosesOnFailure) {
  setLocked(true);
  ASSERT_EQ(tune(555000, 50), DEMOD_OK);
  LONG level = 0, direct = 0;
  ASSERT_EQ(sony_integ_j83b_monitor_RFLevel(&rig.path(1).integ, &level), DEMOD_OK);
  EXPECT_EQ(rig.tuner(1).rfLevelSystem, DEMOD_SYS_J83B);
  ASSERT_EQ(sony_demod_I2cRepeater(d(), 1), DEMOD_OK);
  ASSERT_EQ(sony_tuner_ascot3_ReadRFLevel(&rig.tuner(1), &direct), DEMOD_OK);
  ASSERT_EQ(sony_demod_I2cRepeater(d(), 0), DEMOD_OK);
  EXPECT_EQ(level, direct * 10);
  LONG rssi = 0;
  ASSERT_EQ(sony_demod_I2cRepeater(d(), 1), DEMOD_OK);
  ASSERT_EQ(sony_ascot3_ReadRssi(&rig.tuner(1), &rssi), DEMOD_OK);
  ASSERT_EQ(sony_demod_I2cRepeater(d(), 0), DEMOD_OK);
  EXPECT_EQ(level, (rssi - 150) * 10);

  rig.bus.failIf = [](const fake::Transfer& t) { return t.slave == 0xC0; };
  EXPECT_EQ(sony_integ_j83b_monitor_RFLevel(&rig.path(1).integ, &level), DEMOD_ERR_BUS);
  EXPECT_FALSE(rig.bus.repeaterOpen(rig.master(1), m()));
  EXPECT_TRUE(rig.windowFree(1));
}

}  // namespace
