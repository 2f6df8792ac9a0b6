// DVB-T2 and DVB-C drivers against the scripted bus: the bytes of the sequences, the lock waits' polling,
// the monitors' arithmetic and refusals, and the moves between standards.
#include "demod/sony_demod_dvbc.h"
#include "demod/sony_demod_dvbt.h"
#include "demod/sony_demod_dvbt2.h"
#include "one_path.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kBlock8 = {0x2F, 0xBA, 0x28, 0x9B, 0x28, 0x9D, 0x28, 0xA1, 0x29, 0xA5, 0x2A, 0xAC, 0x29, 0xB5};
const Bytes kBlockC = {0x29, 0x9A, 0x28, 0x9E, 0x2F, 0xB9, 0x27, 0xA5, 0x28, 0xA9, 0x2B, 0xB0, 0x08, 0xD6};
const Bytes kBlock6 = {0x31, 0xA8, 0x29, 0x9B, 0x27, 0x9C, 0x28, 0x9E, 0x29, 0xA4, 0x29, 0xA2, 0x29, 0xA8};

class Std : public OnePath {
 protected:
  DemodResult tuneT2(ULONG freq, ULONG bw, UCHAR plp = 0, ULONG profile = 2) {
    DvbT2TuneParams p = {freq, bw, plp, profile};
    return sony_integ_dvbt2_Tune(integ(), &p);
  }
  DemodResult tuneC(ULONG freq, ULONG bw) {
    DvbcTuneParams p = {freq, bw};
    return sony_integ_dvbc_Tune(integ(), &p);
  }
  // T2 status byte: sync state, TS lock (bit 5), unlock detected (bit 4).
  void t2Status(uint8_t v) { rig.mainReg(1, 0x20, 0x10) = v; }
  void cStatus(bool demodLock, bool tsLock) {
    rig.mainReg(1, 0x40, 0x88) = demodLock ? 0x01 : 0x00;
    rig.mainReg(1, 0x40, 0x10) = tsLock ? 0x20 : 0x00;
  }
  bool has(const Bytes& expect, uint8_t bank, uint8_t reg) {
    return fake::hasWrite(rig.bus.log(), m(), bank, reg, expect);
  }
  // Freeze and unfreeze writes come in pairs and the last one leaves the registers live.
  void expectUnfrozen() {
    int freezes = 0, unfreezes = 0;
    for (const auto& t : rig.bus.log())
      if (t.write && t.ok && t.slave == m() && t.reg == 0x01 && t.data.size() == 1)
        (t.data[0] ? freezes : unfreezes)++;
    EXPECT_EQ(freezes, unfreezes);
    EXPECT_EQ(rig.mainReg(1, 0, 0x01), 0);
  }
};

TEST_F(Std, T2TuneFromSleepSelectsPlpAndProfileProgramsTheBandAndLocks) {
  t2Status(0x26);
  ASSERT_EQ(tuneT2(538000, 8, 1), DEMOD_OK);
  EXPECT_EQ(d()->state, DEMOD_STATE_ACTIVE);
  EXPECT_EQ(d()->system, DEMOD_SYS_DVBT2);
  EXPECT_TRUE(has({0x01}, 0x23, 0xAF));
  EXPECT_TRUE(has({0x01}, 0x23, 0xAD));  // manual PLP
  EXPECT_TRUE(has({0x00}, 0x2E, 0x10));  // profile 2
  EXPECT_TRUE(has({0x2E}, 0x2B, 0x9D));
  EXPECT_TRUE(fake::hasWrite(rig.bus.log(), sys(), 0x00, 0x17, {0x02}));
  EXPECT_TRUE(has({0x10}, 0x13, 0x83));
  EXPECT_TRUE(has({0x34}, 0x13, 0x86));
  EXPECT_TRUE(has({0xD8}, 0x13, 0x9F));
  EXPECT_TRUE(has({0x01}, 0x23, 0xDB));
  EXPECT_TRUE(has({0x15, 0, 0, 0, 0}, 0x20, 0x9F));
  EXPECT_TRUE(has({0x00}, 0x27, 0x7A));
  EXPECT_TRUE(has(kBlock8, 0x10, 0xA6));
  EXPECT_TRUE(has({0x01}, 0x10, 0xA5));
  EXPECT_TRUE(has({0x19, 0x99, 0x9A}, 0x10, 0xB6));
  EXPECT_TRUE(has({0x00}, 0x10, 0xD7));
  EXPECT_EQ(rig.mainReg(1, 0, 0xC3), 0x00);  // stream output on
  EXPECT_EQ(rig.tuner(1).system, 22u);
  EXPECT_EQ(rig.tuner(1).frequencyKHz, 538000u);
  EXPECT_TRUE(traced("The DVBT2 signal Demod locked."));
  EXPECT_TRUE(traced("The DVBT2 signal TS locked.\n"));
  EXPECT_TRUE(rig.windowFree(1));
}

TEST_F(Std, T2OnePointSevenMegahertzLeavesTheBlockAndUsesItsOwnIf) {
  t2Status(0x26);
  ASSERT_EQ(tuneT2(200000, 1), DEMOD_OK);
  EXPECT_EQ(fake::countWrites(rig.bus.log(), m(), 0x10, 0xA6), 0);
  EXPECT_TRUE(has({0x1A, 0x03, 0xE8, 0x8C, 0xB3}, 0x20, 0x9F));
  EXPECT_TRUE(has({0x03}, 0x27, 0x7A));
  EXPECT_TRUE(has({0x00}, 0x10, 0xA5));
  EXPECT_TRUE(has({0x12, 0xAA, 0xAB}, 0x10, 0xB6));
  EXPECT_TRUE(has({0x03}, 0x10, 0xD7));
  EXPECT_EQ(rig.tuner(1).system, 18u);
}

TEST_F(Std, T2RefusalsComeBeforeTheChipOrAfterThePlpAsTheOrderSays) {
  for (ULONG bw : {0u, 2u, 4u, 9u}) EXPECT_EQ(tuneT2(538000, bw), DEMOD_ERR_UNSUPPORTED) << bw;
  EXPECT_TRUE(rig.bus.log().empty());
  // Profile 3: the PLP registers are already written, the profile ones are not, the chip stays asleep.
  EXPECT_EQ(tuneT2(538000, 8, 4, 3), DEMOD_ERR_ARGUMENT);
  EXPECT_TRUE(has({0x04}, 0x23, 0xAF));
  EXPECT_EQ(fake::countWrites(rig.bus.log(), m(), 0x2E, 0x10), 0);
  EXPECT_EQ(d()->state, DEMOD_STATE_SLEEP);
  // The lock waits refuse an unknown profile with different codes.
  t2Status(0x26);
  ASSERT_EQ(tuneT2(538000, 8), DEMOD_OK);
  EXPECT_EQ(dvbt2_WaitDemodLock(&rig.path(1).integ, 3), DEMOD_ERR_STATE);
  EXPECT_EQ(sony_integ_dvbt2_WaitTSLock(&rig.path(1).integ, 3), DEMOD_ERR_ARGUMENT);
}

TEST_F(Std, T2DemodLockNeedsOnlySyncSixButTsLockNeedsItsBit) {
  t2Status(0x06);  // demodulator locked, no TS lock
  EXPECT_EQ(tuneT2(538000, 8), DEMOD_ERR_UNLOCKED);
  EXPECT_TRUE(traced("The DVBT2 signal Demod locked."));
  EXPECT_TRUE(traced("The DVBT2 signal TS unlocked!\n"));
  EXPECT_EQ(readsOf(0x20, 0x10), 1 + 119);
  EXPECT_GE(fake::virtualMs(), 119u * 16u);

  // Profile 0 polls longer.
  clear();
  EXPECT_EQ(tuneT2(538000, 8, 0, 0), DEMOD_ERR_UNLOCKED);
  EXPECT_EQ(readsOf(0x20, 0x10), 1 + 149);
}

TEST_F(Std, T2UnlockReportDoesNotEndTheWaitButSyncSevenDoes) {
  t2Status(0x13);  // unlock detected
  EXPECT_EQ(tuneT2(538000, 8), DEMOD_ERR_UNLOCKED);
  EXPECT_EQ(readsOf(0x20, 0x10), 200);
  EXPECT_TRUE(traced("The DVBT2 signal Demod unlocked!"));
  EXPECT_GE(fake::virtualMs(), 200u * 20u);

  clear();
  t2Status(0x07);
  EXPECT_EQ(tuneT2(538000, 8), DEMOD_ERR_HARDWARE);
  EXPECT_EQ(readsOf(0x20, 0x10), 1);
}

TEST_F(Std, T2SnrClampsReportsAndAlwaysUnfreezes) {
  t2Status(0x26);
  ASSERT_EQ(tuneT2(538000, 8), DEMOD_OK);
  LONG snr = 0;
  rig.mainReg(1, 0x20, 0x28) = 20000 >> 8;
  rig.mainReg(1, 0x20, 0x29) = 20000 & 0xFF;
  clear();
  ASSERT_EQ(sony_demod_dvbt2_monitor_SNR(d(), &snr), DEMOD_OK);
  EXPECT_EQ(snr, 100 * (LONG(Log10x100(10876)) - LONG(Log10x100(12600 - 10876))) + 32000);
  expectUnfrozen();

  rig.mainReg(1, 0x20, 0x28) = 0x0B;  // 3000
  rig.mainReg(1, 0x20, 0x29) = 0xB8;
  ASSERT_EQ(sony_demod_dvbt2_monitor_SNR(d(), &snr), DEMOD_OK);
  EXPECT_EQ(snr, 100 * (LONG(Log10x100(3000)) - LONG(Log10x100(9600))) + 32000);

  rig.mainReg(1, 0x20, 0x28) = rig.mainReg(1, 0x20, 0x29) = 0;
  EXPECT_EQ(sony_demod_dvbt2_monitor_SNR(d(), &snr), DEMOD_ERR_HARDWARE);
  t2Status(0x05);
  EXPECT_EQ(sony_demod_dvbt2_monitor_SNR(d(), &snr), DEMOD_ERR_HARDWARE);
  t2Status(0x07);  // a failed sync read is reported as a bus failure
  EXPECT_EQ(sony_demod_dvbt2_monitor_SNR(d(), &snr), DEMOD_ERR_BUS);
  expectUnfrozen();
  // Only while active in DVB-T2.
  EXPECT_EQ(sony_demod_dvbc_monitor_SNR(d(), &snr), DEMOD_ERR_STATE);
}

TEST_F(Std, T2DataPlpListSpansTwoBanksAndRefusesAnInvalidOrEmptyList) {
  t2Status(0x26);
  ASSERT_EQ(tuneT2(538000, 8), DEMOD_OK);
  UCHAR ids[kDvbt2MaxPlps] = {};
  UCHAR count = 0;

  rig.mainReg(1, 0x22, 0x12) = 0x00;
  rig.mainReg(1, 0x22, 0x7F) = 3;
  clear();
  EXPECT_EQ(sony_demod_dvbt2_monitor_DataPLPs(d(), ids, &count), DEMOD_ERR_HARDWARE);
  EXPECT_EQ(readsOf(0x22, 0x7F), 0);
  expectUnfrozen();

  rig.mainReg(1, 0x22, 0x12) = 0x01;
  rig.mainReg(1, 0x22, 0x7F) = 0;
  EXPECT_EQ(sony_demod_dvbt2_monitor_DataPLPs(d(), ids, &count), DEMOD_ERR_OTHER);
  expectUnfrozen();

  rig.mainReg(1, 0x22, 0x7F) = 130;
  for (int i = 0; i < 128; ++i) rig.mainReg(1, 0x22, uint8_t(0x80 + i)) = uint8_t(i + 1);
  rig.mainReg(1, 0x23, 0x10) = 200;
  rig.mainReg(1, 0x23, 0x11) = 201;
  clear();
  ASSERT_EQ(sony_demod_dvbt2_monitor_DataPLPs(d(), ids, &count), DEMOD_OK);
  EXPECT_EQ(count, 130);
  EXPECT_EQ(ids[0], 1);
  EXPECT_EQ(ids[127], 128);
  EXPECT_EQ(ids[128], 200);
  EXPECT_EQ(ids[129], 201);
  EXPECT_EQ(ids[130], 0);
  expectUnfrozen();

  // Without an array only the count is read.
  clear();
  count = 0;
  EXPECT_EQ(sony_demod_dvbt2_monitor_DataPLPs(d(), nullptr, &count), DEMOD_OK);
  EXPECT_EQ(count, 130);
  for (const auto& t : rig.bus.log()) EXPECT_FALSE(!t.write && t.data.size() > 1);
  EXPECT_EQ(sony_demod_dvbt2_monitor_DataPLPs(d(), ids, nullptr), DEMOD_ERR_ARGUMENT);
}

TEST_F(Std, T2RetuneSkipsTheWakeUpAndSwitchingToCableSleepsT2First) {
  t2Status(0x26);
  ASSERT_EQ(tuneT2(538000, 8), DEMOD_OK);
  clear();
  ASSERT_EQ(tuneT2(650000, 7), DEMOD_OK);
  EXPECT_EQ(fake::countWrites(rig.bus.log(), sys(), 0x00, 0x17), 0);
  EXPECT_TRUE(has({0x01}, 0x00, 0xC3));  // stream off before the new band
  EXPECT_TRUE(has({0x18, 0, 0, 0, 0}, 0x20, 0x9F));
  EXPECT_TRUE(has({0x16, 0x66, 0x66}, 0x10, 0xB6));
  EXPECT_EQ(d()->bandwidth, 7u);

  clear();
  cStatus(true, true);
  ASSERT_EQ(tuneC(346000, 8), DEMOD_OK);
  EXPECT_TRUE(has({0x40}, 0x13, 0x83));  // T2's own sleep steps
  EXPECT_TRUE(has({0x21}, 0x13, 0x86));
  EXPECT_TRUE(has({0xFB}, 0x13, 0x9F));
  EXPECT_TRUE(fake::hasWrite(rig.bus.log(), sys(), 0x00, 0x17, {0x04}));
  EXPECT_EQ(d()->system, DEMOD_SYS_DVBC);
  LONG snr = 0;
  EXPECT_EQ(sony_demod_dvbt2_monitor_SNR(d(), &snr), DEMOD_ERR_STATE);
  UCHAR count = 0;
  EXPECT_EQ(sony_demod_dvbt2_monitor_DataPLPs(d(), nullptr, &count), DEMOD_ERR_STATE);
}

TEST_F(Std, CableBandsShareTheBlockAtSevenAndEightButNotTheIfOrBank40) {
  cStatus(true, true);
  ASSERT_EQ(tuneC(346000, 8), DEMOD_OK);
  EXPECT_TRUE(fake::hasWrite(rig.bus.log(), sys(), 0x00, 0x17, {0x04}));
  EXPECT_TRUE(has({0x48}, 0x11, 0x6A));
  EXPECT_TRUE(has({0x03}, 0x48, 0x2C));
  EXPECT_TRUE(has(kBlockC, 0x10, 0xA6));
  EXPECT_TRUE(has({0x1A, 0x22, 0x22}, 0x10, 0xB6));
  EXPECT_TRUE(has({0x00}, 0x11, 0xA3));
  EXPECT_TRUE(has({0x09, 0x9A, 0x00, 0xEE}, 0x40, 0x26));
  EXPECT_EQ(rig.tuner(1).system, 24u);
  EXPECT_TRUE(traced("The DVBC signal is locked."));

  clear();
  ASSERT_EQ(tuneC(346000, 7), DEMOD_OK);  // re-tune: no wake-up
  EXPECT_EQ(fake::countWrites(rig.bus.log(), sys(), 0x00, 0x17), 0);
  EXPECT_TRUE(has(kBlockC, 0x10, 0xA6));
  EXPECT_TRUE(has({0x1A, 0x22, 0x22}, 0x10, 0xB6));
  EXPECT_TRUE(has({0x08, 0x66, 0x00, 0xEE}, 0x40, 0x26));
  EXPECT_EQ(rig.tuner(1).system, 24u);

  clear();
  ASSERT_EQ(tuneC(346000, 6), DEMOD_OK);
  EXPECT_TRUE(has(kBlock6, 0x10, 0xA6));
  EXPECT_TRUE(has({0x13, 0xBB, 0xBC}, 0x10, 0xB6));
  EXPECT_TRUE(has({0x14}, 0x11, 0xA3));
  EXPECT_TRUE(has({0x07, 0x33, 0x00, 0xEE}, 0x40, 0x26));
  EXPECT_EQ(rig.tuner(1).system, 23u);
}

TEST_F(Std, CableRefusesBandwidthBeforeFrequencyWithoutTouchingTheChip) {
  EXPECT_EQ(tuneC(0, 5), DEMOD_ERR_UNSUPPORTED);
  EXPECT_EQ(tuneC(346000, 9), DEMOD_ERR_UNSUPPORTED);
  EXPECT_EQ(tuneC(0, 8), DEMOD_ERR_ARGUMENT);
  EXPECT_TRUE(rig.bus.log().empty());
  EXPECT_EQ(d()->state, DEMOD_STATE_SLEEP);
}

TEST_F(Std, CableLockNeedsDemodAndTsLockAndPollsEveryTwelveMilliseconds) {
  cStatus(true, false);
  EXPECT_EQ(tuneC(346000, 8), DEMOD_ERR_UNLOCKED);
  EXPECT_EQ(readsOf(0x40, 0x88), 149);
  EXPECT_GE(fake::virtualMs(), 149u * 12u);
  EXPECT_TRUE(traced("The DVBC signal unlocked!"));
  clear();
  cStatus(false, true);
  rig.mainReg(1, 0x40, 0x88) = 0x02;  // unlock reported: ignored by the wait
  EXPECT_EQ(tuneC(346000, 8), DEMOD_ERR_UNLOCKED);
  EXPECT_EQ(readsOf(0x40, 0x88), 149);
}

TEST_F(Std, CableSnrByConstellationWithItsFloorsAndMask) {
  cStatus(true, true);
  ASSERT_EQ(tuneC(346000, 8), DEMOD_OK);
  auto snrOf = [&](uint8_t constellation, uint16_t word, LONG* out) {
    rig.mainReg(1, 0x40, 0x19) = constellation;
    rig.mainReg(1, 0x40, 0x4C) = uint8_t(word >> 8);
    rig.mainReg(1, 0x40, 0x4D) = uint8_t(word);
    return sony_demod_dvbc_monitor_SNR(d(), out);
  };
  LONG snr = 0;
  clear();
  EXPECT_EQ(snrOf(4, 0x2000, &snr), DEMOD_ERR_HARDWARE);  // bit 13 masked: reads 0
  expectUnfrozen();
  ASSERT_EQ(snrOf(1, 50, &snr), DEMOD_OK);
  EXPECT_EQ(snr, 86999 - 88 * LONG(Lnx100(69)));
  ASSERT_EQ(snrOf(2, 50, &snr), DEMOD_OK);
  EXPECT_EQ(snr, 95941 - 95 * LONG(Lnx100(126)));
  ASSERT_EQ(snrOf(0xFC, 1000, &snr), DEMOD_OK);  // only bits 2:0 are the constellation
  EXPECT_EQ(snr, 95941 - 95 * LONG(Lnx100(1000)));
  for (uint8_t c : {5, 6, 7}) EXPECT_EQ(snrOf(c, 1000, &snr), DEMOD_ERR_HARDWARE) << int(c);
  expectUnfrozen();
}

TEST_F(Std, CableSleepRunsItsOwnStepsAndLeavesNoSystem) {
  cStatus(true, true);
  ASSERT_EQ(tuneC(346000, 8), DEMOD_OK);
  clear();
  ASSERT_EQ(sony_demod_Sleep(d()), DEMOD_OK);
  EXPECT_TRUE(has({0x00}, 0x11, 0xA3));
  EXPECT_TRUE(has({0x01}, 0x48, 0x2C));
  EXPECT_TRUE(fake::hasWrite(rig.bus.log(), sys(), 0x00, 0x18, {0x01}));
  EXPECT_EQ(d()->state, DEMOD_STATE_SLEEP);
  EXPECT_EQ(d()->system, DEMOD_SYS_NONE);
  UCHAR a = 0, b = 0, c = 0;
  EXPECT_EQ(sony_demod_dvbc_monitor_SyncStat(d(), &a, &b, &c), DEMOD_ERR_STATE);
  LONG level = 0;
  EXPECT_EQ(sony_integ_dvbc_monitor_RFLevel(&rig.path(1).integ, &level), DEMOD_ERR_STATE);
}

TEST_F(Std, BusFailureInT2BandSettingStopsTheTuneWithTheChipInvalid) {
  rig.bus.failIf = [&](const fake::Transfer& t) { return t.write && t.slave == m() && t.bank == 0x27; };
  EXPECT_EQ(tuneT2(538000, 8), DEMOD_ERR_BUS);
  rig.bus.failIf = nullptr;
  EXPECT_EQ(d()->state, DEMOD_STATE_INVALID);  // part way through its wake-up
  EXPECT_EQ(rig.tuner(1).frequencyKHz, 0u);    // the tuner was never reached
  EXPECT_TRUE(rig.windowFree(1));
}

}  // namespace
