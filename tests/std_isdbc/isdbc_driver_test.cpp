// ISDB-C driver against the scripted bus: TSMF stream selection, the tune and sleep sequences with and
// without channel bonding, re-tunes, the lock wait, the monitors and the glue's verdict.
#include "demod/sony_demod_dvbt.h"
#include "demod/sony_demod_isdbc.h"
#include "one_path.h"
#include "zadivo/sony_cxd6802/sony_cxd6802.h"

namespace {

class Isdbc : public OnePath {
 protected:
  void setLocked(bool locked) {
    rig.mainReg(1, 0x40, 0x88) = locked ? 0x01 : 0x00;
    rig.mainReg(1, 0x40, 0x10) = locked ? 0x20 : 0x00;
  }
  DemodResult tune(USHORT streamId, ULONG type = ISDBC_STREAM_SELECT_BY_ID, ULONG freq = 375000) {
    IsdbcTuneParams p = {freq, 0, type, streamId, 11};
    return sony_integ_isdbc_Tune(integ(), &p);
  }
  // Index of the first write in the log matching slave/bank/register, or -1.
  int firstWrite(uint8_t slave, uint8_t bank, uint8_t reg) {
    const auto log = rig.bus.log();
    for (size_t i = 0; i < log.size(); ++i)
      if (log[i].write && log[i].slave == slave && log[i].bank == bank && log[i].reg == reg)
        return static_cast<int>(i);
    return -1;
  }
  int lastWrite(uint8_t slave, uint8_t bank, uint8_t reg) {
    const auto log = rig.bus.log();
    for (size_t i = log.size(); i-- > 0;)
      if (log[i].write && log[i].slave == slave && log[i].bank == bank && log[i].reg == reg)
        return static_cast<int>(i);
    return -1;
  }
};

TEST_F(Isdbc, StreamSelectionByIdOrRelativeNumber) {
  EXPECT_EQ(SetTSMFSetting(d(), 0, 0, 0x1234, 11), DEMOD_OK);
  auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x49, 0x37, {0x00}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x49, 0x32, {0x12, 0x34, 0x00, 0x0B}));

  rig.bus.clearLog();
  EXPECT_EQ(SetTSMFSetting(d(), 3, 1, 5, 0), DEMOD_OK);
  log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x49, 0x37, {0x15}));
  EXPECT_EQ(rig.mainReg(1, 0x49, 0x36) & 0x18, 0x18);
  EXPECT_EQ(fake::countWrites(log, m(), 0x49, 0x32), 0);

  rig.bus.clearLog();
  EXPECT_EQ(SetTSMFSetting(d(), 0, 1, 16, 0), DEMOD_ERR_ARGUMENT);
  EXPECT_EQ(SetTSMFSetting(d(), 0, 1, 0, 0), DEMOD_ERR_ARGUMENT);
  EXPECT_TRUE(rig.bus.log().empty());
}

TEST_F(Isdbc, TuneFromSleepSelectsTheStreamThenProgramsTheCableCore) {
  setLocked(true);
  ASSERT_EQ(tune(2), DEMOD_OK);
  EXPECT_EQ(d()->state, DEMOD_STATE_ACTIVE);
  EXPECT_EQ(d()->system, DEMOD_SYS_ISDBC);
  EXPECT_EQ(d()->bandwidth, 6u);
  const auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x49, 0x32, {0x00, 0x02, 0x00, 0x0B}));
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0x17, {0x09}));
  EXPECT_LT(firstWrite(m(), 0x49, 0x32), firstWrite(sys(), 0x00, 0x17));  // written while asleep
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x11, 0x6A, {0x48}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x48, 0x2C, {0x03}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0xB6, {0x13, 0xBB, 0xBC}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x11, 0xA3, {0x14}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x40, 0x26, {0x07, 0x08, 0x07, 0x08}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x00, 0xFE, {0x01}));  // the common tune end
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x00, 0xC3, {0x00}));
  // No bonding unless configured.
  EXPECT_EQ(fake::countWrites(log, sys(), 0x00, 0xC1), 0);
  EXPECT_EQ(fake::countWrites(log, m(), 0x03, 0xB1), 0);
}

TEST_F(Isdbc, RetuneToAnotherStreamWritesOnlyTheSelection) {
  setLocked(true);
  ASSERT_EQ(tune(1), DEMOD_OK);
  rig.bus.clearLog();
  ASSERT_EQ(tune(2), DEMOD_OK);
  const auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x49, 0x32, {0x00, 0x02, 0x00, 0x0B}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x00, 0xC3, {0x01}));
  EXPECT_EQ(fake::countWrites(log, m(), 0x10, 0xA6), 0);
  EXPECT_EQ(fake::countWrites(log, sys(), 0x00, 0x17), 0);
}

TEST_F(Isdbc, BondingFollowsTheActiveState) {
  ASSERT_EQ(sony_demod_SetConfig(d(), 20, 1), DEMOD_OK);
  ASSERT_EQ(sony_demod_SetConfig(d(), 21, 5), DEMOD_OK);
  setLocked(true);
  ASSERT_EQ(tune(1), DEMOD_OK);
  auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0xC1, {0x05}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x03, 0x17, {0x01, 0x09}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x03, 0xB1, {0x01}));
  EXPECT_LT(firstWrite(m(), 0x03, 0xB1), firstWrite(sys(), 0x00, 0x17));  // before the wake-up

  // Bonded output is switched even while 0xA9 reports a TS mode that would skip it otherwise.
  rig.mainReg(1, 0x00, 0xA9) = 0x01;
  rig.bus.clearLog();
  EXPECT_EQ(sony_demod_SetStreamOutput(d(), 0), DEMOD_OK);
  EXPECT_TRUE(fake::hasWrite(rig.bus.log(), m(), 0x00, 0xC3, {0x01}));
  rig.mainReg(1, 0x00, 0xA9) = 0x00;

  rig.bus.clearLog();
  ASSERT_EQ(sony_demod_Sleep(d()), DEMOD_OK);
  log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0xC1, {0x00}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x03, 0xB1, {0x00}));
  EXPECT_GT(firstWrite(m(), 0x03, 0xB1), lastWrite(sys(), 0x00, 0x17));  // after the common sleep steps
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x40, 0x14, {0x1F}));
}

TEST_F(Isdbc, BadSelectionStopsTheTuneBeforeAnythingIsTouched) {
  DvbtTuneParams t = {474000, 8, 0};
  ASSERT_EQ(sony_demod_dvbt_Tune(d(), &t), DEMOD_OK);
  rig.bus.clearLog();
  EXPECT_EQ(tune(16, ISDBC_STREAM_SELECT_RELATIVE), DEMOD_ERR_ARGUMENT);
  EXPECT_TRUE(rig.bus.log().empty());
  EXPECT_EQ(d()->system, DEMOD_SYS_DVBT);  // the DVB-T channel was not put to sleep
  EXPECT_EQ(tune(1, ISDBC_STREAM_SELECT_BY_ID, 0), DEMOD_ERR_ARGUMENT);
  EXPECT_TRUE(rig.bus.log().empty());
}

TEST_F(Isdbc, LockWaitWithoutSignalRunsOutAndReportsSuccess) {
  setLocked(false);
  EXPECT_EQ(tune(1), DEMOD_OK);
  EXPECT_GE(fake::virtualMs(), 199u * 16u);
  // Lock needs the demodulator lock and TS lock together.
  rig.mainReg(1, 0x40, 0x88) = 0x01;
  ULONG lock = 9;
  ASSERT_EQ(sony_demod_isdbc_CheckTSLock(d(), &lock), DEMOD_OK);
  EXPECT_EQ(lock, 0u);
  rig.mainReg(1, 0x40, 0x10) = 0x20;
  ASSERT_EQ(sony_demod_isdbc_CheckTSLock(d(), &lock), DEMOD_OK);
  EXPECT_EQ(lock, 1u);
}

TEST_F(Isdbc, SnrNeedsAKnownConstellationAndAReading) {
  setLocked(true);
  ASSERT_EQ(tune(1), DEMOD_OK);
  LONG snr = 0;
  rig.mainReg(1, 0x40, 0x19) = 0x04;
  rig.mainReg(1, 0x40, 0x4C) = 0xE1;  // upper bits are not part of the value: x = 0x100
  rig.mainReg(1, 0x40, 0x4D) = 0x00;
  ASSERT_EQ(sony_demod_isdbc_monitor_SNR(d(), &snr), DEMOD_OK);
  EXPECT_EQ(snr, 95941 - 95 * static_cast<LONG>(Lnx100(0x100)));
  EXPECT_EQ(rig.mainReg(1, 0x00, 0x01), 0x00);  // unfrozen again
  rig.mainReg(1, 0x40, 0x4C) = 0x00;
  rig.mainReg(1, 0x40, 0x4D) = 0x10;  // below 126: taken as 126
  ASSERT_EQ(sony_demod_isdbc_monitor_SNR(d(), &snr), DEMOD_OK);
  EXPECT_EQ(snr, 95941 - 95 * static_cast<LONG>(Lnx100(126)));
  rig.mainReg(1, 0x40, 0x19) = 0x00;  // a constellation DVB-C would accept
  EXPECT_EQ(sony_demod_isdbc_monitor_SNR(d(), &snr), DEMOD_ERR_HARDWARE);
  rig.mainReg(1, 0x40, 0x19) = 0x02;
  rig.mainReg(1, 0x40, 0x4D) = 0x00;
  EXPECT_EQ(sony_demod_isdbc_monitor_SNR(d(), &snr), DEMOD_ERR_HARDWARE);
  EXPECT_EQ(rig.mainReg(1, 0x00, 0x01), 0x00);
}

TEST_F(Isdbc, GlueReportsTheLockTheChipReached) {
  DemodPath& p = rig.path(1);
  setLocked(false);
  EXPECT_EQ(cxd6802_Tune(&p, 375000, 5274, 8, 2, DEMOD_MODE_ISDBC), 0u);
  EXPECT_EQ(cxd6802_GetLock(&p, DEMOD_MODE_ISDBC), 0u);
  setLocked(true);
  EXPECT_EQ(cxd6802_Tune(&p, 375000, 5274, 8, 2, DEMOD_MODE_ISDBC), 1u);
  EXPECT_EQ(cxd6802_GetLock(&p, DEMOD_MODE_ISDBC), 1u);
  EXPECT_TRUE(fake::hasWrite(rig.bus.log(), m(), 0x49, 0x32, {0x00, 0x02, 0x00, 0x0B}));
}

}  // namespace
