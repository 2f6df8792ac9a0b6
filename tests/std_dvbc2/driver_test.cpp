// DVB-C2 driver against the scripted bus of tests/demod: the tune sequence's steps and their register
// traffic, the pass bound (a sequence still running at the end is a time-out, not success), lock checks,
// monitors, the preset path and the carrier-position and preset arithmetic.
#include <string>
#include <vector>

#include "demod/sony_demod_dvbc2.h"
#include "demod/sony_demod_dvbt.h"
#include "one_path.h"

namespace {

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class Dvbc2 : public OnePath {
 protected:
  DemodResult tune(ULONG freq, ULONG bw, UCHAR plp = 0, UCHAR preset = 0, ULONG tunerKHz = 0) {
    params = {freq, bw, 0, plp, preset, tunerKHz};
    return sony_integ_dvbc2_Tune(integ(), &params);
  }
  // Status byte of bank 0x20 register 0x10: sync state in bits 2:0, unlock bit 4, TS lock bit 5.
  void status(uint8_t v) { rig.mainReg(1, 0x20, 0x10) = v; }
  int tunerTunes() {
    int n = 0;
    for (const auto& t : rig.bus.log())
      if (t.write && t.slave == 0xC0 && t.reg == 0x68 && t.data.size() == 17) ++n;
    return n;
  }
  // Values written to the freeze register, in order.
  std::vector<uint8_t> freezeWrites() {
    std::vector<uint8_t> v;
    for (const auto& t : rig.bus.log())
      if (t.write && t.ok && t.slave == m() && t.reg == 0x01 && t.data.size() == 1) v.push_back(t.data[0]);
    return v;
  }
  DvbC2TuneParams params = {};
};

TEST_F(Dvbc2, RefusalsComeBeforeAnyBusTraffic) {
  EXPECT_EQ(tune(474000, 7), DEMOD_ERR_UNSUPPORTED);
  EXPECT_EQ(tune(0, 5), DEMOD_ERR_UNSUPPORTED);  // bandwidth is checked before the frequency
  EXPECT_EQ(tune(0, 8), DEMOD_ERR_ARGUMENT);
  EXPECT_EQ(sony_integ_dvbc2_Tune(&rig.path(1).integ, nullptr), DEMOD_ERR_ARGUMENT);
  EXPECT_TRUE(rig.bus.log().empty());
  EXPECT_EQ(d()->state, DEMOD_STATE_SLEEP);
}

TEST_F(Dvbc2, ShortPathWakesTheChipSetsTheCarrierAndLocks) {
  status(0x26);
  ASSERT_EQ(tune(714000, 8, 3), DEMOD_OK);
  EXPECT_EQ(d()->state, DEMOD_STATE_ACTIVE);
  EXPECT_EQ(d()->system, DEMOD_SYS_DVBC2);
  EXPECT_EQ(d()->bandwidth, 8u);
  auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0x17, {0x05}));  // DVB-C2 system selector
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x20, 0x9F, {0x15, 0, 0, 0, 0}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0xB6, {0x1A, 0x22, 0x22}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x50, 0xEC, {0x14, 0xA0}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x25, 0x89, {0x0C, 0xD1, 0x40}));
  // ReleasePreset after the wake-up: the fixed preset row and no frequency offset.
  EXPECT_TRUE(
      fake::hasWrite(log, m(), 0x2A, 0x20, {0x16, 0xF0, 0x2B, 0xD8, 0x16, 0x16, 0xF0, 0x2C, 0xD8, 0x16}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x27, 0xF4, {0x02, 0x80}));
  // 714 000 kHz is carrier position 319872 = 0x04E180; data slice 0, PLP 3.
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x50, 0x7A, {0x04, 0xE1, 0x80, 0x02, 0x00, 0x03}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x50, 0x87, {0x01}));
  EXPECT_EQ(fake::countWrites(log, m(), 0x50, 0x81), 0);  // the preset path's block is not used
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x00, 0xFE, {0x01}));
  EXPECT_EQ(rig.mainReg(1, 0, 0xC3), 0x00);  // stream output on
  EXPECT_EQ(tunerTunes(), 1);
  EXPECT_EQ(rig.tuner(1).frequencyKHz, 714000u);
  EXPECT_EQ(rig.tuner(1).system, 26u);
  // Steps 0, 1, 10 (locked at once), 11, 12.
  const std::string tr = fake::trace();
  EXPECT_EQ(count(tr, "sony_demod_dvbc2_TuneSeq"), 5u);
  EXPECT_EQ(count(tr, "CheckTuneDemodLock"), 1u);
  EXPECT_EQ(count(tr, "Change1stTrial"), 1u);
  EXPECT_TRUE(rig.windowFree(1));
}

TEST_F(Dvbc2, TunerFrequencyOverrideGoesToTheTunerOnly) {
  status(0x26);
  ASSERT_EQ(tune(714000, 6, 0, 0, 713500), DEMOD_OK);
  EXPECT_EQ(rig.tuner(1).frequencyKHz, 713500u);
  EXPECT_EQ(rig.tuner(1).system, 25u);
  // The carrier is still that of the centre frequency: 714000 * 1792 / 3000 = 426496, rounded to 426492.
  EXPECT_TRUE(fake::hasWrite(rig.bus.log(), m(), 0x50, 0x7A, {0x06, 0x81, 0xFC, 0x02, 0x00, 0x00}));
  EXPECT_TRUE(fake::hasWrite(rig.bus.log(), m(), 0x20, 0x9F, {0x1C, 0, 0, 0, 0}));
}

TEST_F(Dvbc2, SequenceStillRunningAfterTheLastPassIsATimeOut) {
  status(0x03);  // acquiring, never locked, never declared unlocked
  EXPECT_EQ(tune(714000, 8), DEMOD_ERR_TIMEOUT);
  const std::string tr = fake::trace();
  EXPECT_EQ(count(tr, "sony_demod_dvbc2_TuneSeq"), kDvbc2MaxPasses);
  EXPECT_EQ(count(tr, "CheckTuneDemodLock"), kDvbc2MaxPasses - 2);
  EXPECT_NE(tr.find("The DVBC2 tune sequence timed out at step 10."), std::string::npos);
  EXPECT_TRUE(rig.windowFree(1));
}

TEST_F(Dvbc2, UnlockEndsTheWaitAndSyncSevenIsAHardwareFault) {
  status(0x10);
  EXPECT_EQ(tune(714000, 8), DEMOD_ERR_UNLOCKED);
  EXPECT_EQ(count(fake::trace(), "CheckTuneDemodLock"), 1u);
  status(0x07);
  EXPECT_EQ(tune(714000, 8), DEMOD_ERR_HARDWARE);
}

TEST_F(Dvbc2, LockNeedsSyncSixWithTsLock) {
  status(0x26);
  ASSERT_EQ(tune(714000, 8), DEMOD_OK);
  ULONG lock = 99;
  status(0x25);
  ASSERT_EQ(sony_demod_dvbc2_CheckTSLock(d(), &lock), DEMOD_OK);
  EXPECT_EQ(lock, DVBC2_LOCK_NOT_YET);
  status(0x06);
  ASSERT_EQ(sony_demod_dvbc2_CheckTSLock(d(), &lock), DEMOD_OK);
  EXPECT_EQ(lock, DVBC2_LOCK_NOT_YET);
  status(0x36);
  ASSERT_EQ(sony_demod_dvbc2_CheckTSLock(d(), &lock), DEMOD_OK);
  EXPECT_EQ(lock, DVBC2_LOCK_UNLOCK_DETECTED);
}

TEST_F(Dvbc2, SnrWordIsClampedAndFailuresUnfreeze) {
  status(0x26);
  ASSERT_EQ(tune(714000, 8), DEMOD_OK);
  LONG snr = 0;
  auto word = [&](uint32_t w) {
    rig.mainReg(1, 0x20, 0x28) = static_cast<uint8_t>(w >> 8);
    rig.mainReg(1, 0x20, 0x29) = static_cast<uint8_t>(w);
  };
  word(51442);
  ASSERT_EQ(sony_demod_dvbc2_monitor_SNR(d(), &snr), DEMOD_OK);
  EXPECT_EQ(snr, (LONG(Log10x100(51441)) - LONG(Log10x100(55000 - 51441))) * 100 + 38400);
  word(17000);
  ASSERT_EQ(sony_demod_dvbc2_monitor_SNR(d(), &snr), DEMOD_OK);
  EXPECT_EQ(snr, (LONG(Log10x100(17000)) - LONG(Log10x100(38000))) * 100 + 38400);
  EXPECT_NEAR(snr / 1000.0, 35.0, 0.2);
  word(0);
  EXPECT_EQ(sony_demod_dvbc2_monitor_SNR(d(), &snr), DEMOD_ERR_HARDWARE);

  word(17000);
  status(0x05);  // not synchronised: no SNR
  rig.bus.clearLog();
  EXPECT_EQ(sony_demod_dvbc2_monitor_SNR(d(), &snr), DEMOD_ERR_HARDWARE);
  EXPECT_EQ(freezeWrites(), (std::vector<uint8_t>{1, 0}));

  status(0x26);
  rig.bus.failIf = [&](const fake::Transfer& t) { return !t.write && t.slave == m() && t.reg == 0x28; };
  EXPECT_EQ(sony_demod_dvbc2_monitor_SNR(d(), &snr), DEMOD_ERR_BUS);
  rig.bus.failIf = nullptr;
  EXPECT_EQ(freezeWrites(), (std::vector<uint8_t>{1, 0, 1, 0}));  // unfrozen again after the failed read
}

TEST_F(Dvbc2, MonitorsNeedActiveDvbc2) {
  LONG v = 0;
  UCHAR a = 0, b = 0, c = 0;
  EXPECT_EQ(sony_demod_dvbc2_monitor_SNR(d(), &v), DEMOD_ERR_STATE);
  EXPECT_EQ(sony_demod_dvbc2_monitor_SyncStat(d(), &a, &b, &c), DEMOD_ERR_STATE);
  EXPECT_EQ(sony_integ_dvbc2_monitor_RFLevel(&rig.path(1).integ, &v), DEMOD_ERR_STATE);
  EXPECT_TRUE(rig.bus.log().empty());
  status(0x26);
  ASSERT_EQ(tune(714000, 8), DEMOD_OK);
  EXPECT_EQ(sony_integ_dvbc2_monitor_RFLevel(&rig.path(1).integ, &v), DEMOD_OK);
  EXPECT_EQ(rig.tuner(1).rfLevelSystem, DEMOD_SYS_DVBC2);
  EXPECT_TRUE(rig.windowFree(1));
}

TEST_F(Dvbc2, RetuneOnlyRewritesTheBandAndAnotherStandardSleepsFirst) {
  status(0x26);
  ASSERT_EQ(tune(714000, 8), DEMOD_OK);
  rig.bus.clearLog();
  ASSERT_EQ(tune(602000, 6), DEMOD_OK);
  auto log = rig.bus.log();
  EXPECT_EQ(fake::countWrites(log, sys(), 0x00, 0x17), 0);
  EXPECT_EQ(fake::countWrites(log, m(), 0x25, 0x89), 0);
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x10, 0xB6, {0x13, 0xBB, 0xBC}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x50, 0xEC, {0x1B, 0x70}));
  EXPECT_EQ(d()->bandwidth, 6u);

  // DVB-T next: the DVB-C2 sleep sequence runs before DVB-T wakes.
  rig.bus.clearLog();
  rig.setLocked(1, true);
  DvbtTuneParams t = {474000, 8, 0};
  ASSERT_EQ(sony_integ_dvbt_Tune(&rig.path(1).integ, &t), DEMOD_OK);
  log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x2D, 0x24, {0x89, 0x89}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x25, 0x89, {0x07, 0x61, 0x36}));
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0x17, {0x01}));
  EXPECT_EQ(d()->system, DEMOD_SYS_DVBT);
}

TEST_F(Dvbc2, SleepFromDvbc2ReleasesThePresetAndEndsInSleep) {
  status(0x26);
  ASSERT_EQ(tune(714000, 8), DEMOD_OK);
  rig.bus.clearLog();
  ASSERT_EQ(sony_demod_Sleep(d()), DEMOD_OK);
  EXPECT_EQ(d()->state, DEMOD_STATE_SLEEP);
  EXPECT_EQ(d()->system, DEMOD_SYS_NONE);
  auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x27, 0x73, {0x07, 0x3F, 0x3F, 0x19}));
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0x18, {0x01}));
  EXPECT_EQ(rig.mainReg(1, 0, 0xC3), 0x01);  // stream output off
}

// Preset path: the receiver reports ready, a measured carrier position and a data-slice layout.
TEST_F(Dvbc2, PresetPathMeasuresPresetsAndRetunesToTheMeasuredCarrier) {
  status(0x26);
  uint8_t* p = &rig.mainReg(1, 0x50, 0x14);
  for (int i = 0; i < 23; ++i) p[i] = 0;
  p[0] = 0x01;                // ready
  p[1] = 0x10;                // step of 12 carriers
  p[2] = 0x00, p[3] = 0x80;   // reference carrier 128
  p[7] = 0x00, p[8] = 0x10;   // slice 0 from 16 ...
  p[9] = 0x00, p[10] = 0x64;  // ... to 100
  p[19] = 0x04;
  // Measured carrier: Y = 16000 steps of 12, X = 5: 192005.
  rig.mainReg(1, 0x52, 0x24) = 0x00, rig.mainReg(1, 0x52, 0x25) = 0x00, rig.mainReg(1, 0x52, 0x26) = 0x05;
  rig.mainReg(1, 0x52, 0x30) = static_cast<uint8_t>(16000 >> 8), rig.mainReg(1, 0x52, 0x31) = 16000 & 0xFF;
  const uint8_t trl[5] = {0x15, 0x01, 0x02, 0x03, 0x04};
  for (int i = 0; i < 5; ++i) rig.mainReg(1, 0x20, 0x52 + i) = trl[i];

  ASSERT_EQ(tune(714000, 8, 2, 1), DEMOD_OK);
  auto log = rig.bus.log();
  const ULONG measured = 16000 * 12 + 5;
  // d = (100 * 4 + 11) / 12 = 34, c = 0: centre = measured + 12 * (34 - 17).
  const ULONG centre = measured + 12 * 17;
  EXPECT_TRUE(fake::hasWrite(
      log, m(), 0x50, 0x81,
      {uint8_t(measured >> 16), uint8_t(measured >> 8), uint8_t(measured), 0x02, 0x00, 0x02, 0x01}));
  EXPECT_TRUE(
      fake::hasWrite(log, m(), 0x50, 0x7A,
                     {uint8_t(centre >> 16), uint8_t(centre >> 8), uint8_t(centre), 0x02, 0x00, 0x02}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x20, 0x9F, {0x15, 0x01, 0x02, 0x03, 0x04}));  // the nominal rate
  // One slice of 84 carriers: sum = 335, n = 3074, preset row 3, timing (3074 * 13 + 20050) / 100 = 600.
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x27, 0xF4, {0x02, 0x58}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x27, 0xC9, {0x03}));
  // Frequency offset (measured - centre) * 16 = -3264 in 16 bits.
  const uint16_t offset = static_cast<uint16_t>(-3264);
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x50, 0x6B, {uint8_t(offset >> 8), uint8_t(offset), 0x02, 0x01}));
  std::vector<uint8_t> layout(p + 1, p + 23);
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x50, 0x55, layout));
  EXPECT_EQ(tunerTunes(), 2);
  EXPECT_EQ(rig.tuner(1).frequencyKHz, measured * 1000 / 448);
  EXPECT_EQ(count(fake::trace(), "DemodPreset"), 1u);
}

TEST_F(Dvbc2, PresetWaitThatNeverBecomesReadyTimesOut) {
  status(0x03);
  rig.mainReg(1, 0x50, 0x14) = 0x00;
  EXPECT_EQ(tune(714000, 8, 0, 1), DEMOD_ERR_TIMEOUT);
  EXPECT_EQ(count(fake::trace(), "CheckPresetReady1_1"), kDvbc2MaxPasses - 2);
  EXPECT_EQ(tunerTunes(), 1);
}

TEST(Dvbc2Arithmetic, CarrierPositionIsTheNearestMultipleOfTwelve) {
  ULONG pos = 0;
  ASSERT_EQ(CalculateCarrierTunePosition(&pos, 474000, 8), DEMOD_OK);
  EXPECT_EQ(pos, 212352u);
  ASSERT_EQ(CalculateCarrierTunePosition(&pos, 474000, 6), DEMOD_OK);
  EXPECT_EQ(pos, 283140u);
  EXPECT_EQ(CalculateCarrierTunePosition(&pos, 474000, 7), DEMOD_ERR_UNSUPPORTED);
  ULONG khz = 0;
  ASSERT_EQ(sony_demod_dvbc2_CodeToKHz(319872, 8, &khz), DEMOD_OK);
  EXPECT_EQ(khz, 714000u);
  ASSERT_EQ(sony_demod_dvbc2_CodeToKHz(283136, 6, &khz), DEMOD_OK);
  EXPECT_EQ(khz, 474000u);
  EXPECT_EQ(sony_demod_dvbc2_CodeToKHz(1, 7, &khz), DEMOD_ERR_UNSUPPORTED);
}

// A layout of slices with the given widths (end - start, starting at carrier 1 so no edge correction).
C2TuneSequence withSlices(std::initializer_list<ULONG> widths) {
  C2TuneSequence seq = {};
  const UCHAR masks[3] = {4, 2, 1};
  ULONG i = 0, start = 1;
  for (ULONG w : widths) {
    const ULONG end = start + w;
    seq.presetData[4 * i + 7] = static_cast<UCHAR>(start >> 8);
    seq.presetData[4 * i + 8] = static_cast<UCHAR>(start);
    seq.presetData[4 * i + 9] = static_cast<UCHAR>(end >> 8);
    seq.presetData[4 * i + 10] = static_cast<UCHAR>(end);
    seq.presetData[19] |= masks[i++];
    start = end + 1;
  }
  return seq;
}

TEST(Dvbc2Arithmetic, PresetIndexBoundaries) {
  struct Case {
    std::initializer_list<ULONG> widths;
    ULONG n;
    UCHAR index;
  };
  // sum = 4 * total width - slices; n = 3409 - sum.
  const Case cases[] = {
      {{300, 331}, 887, 0},
      {{200, 200, 231}, 888, 1},
      {{100, 87}, 2663, 2},
      {{60, 60, 67}, 2664, 3},
  };
  for (const Case& c : cases) {
    C2TuneSequence seq = withSlices(c.widths);
    CalculatePresetValue(&seq);
    EXPECT_EQ(seq.presetIndex, c.index) << "n = " << c.n;
    EXPECT_EQ(seq.timingPreset, ((c.n * 13 + 20050) & 0xFFFF) / 100) << "n = " << c.n;
  }
}

TEST(Dvbc2Arithmetic, SliceEdgesAtTheBandLimitsCountOneCarrierMore) {
  C2TuneSequence seq = {};
  seq.presetData[19] = 0x04;  // slice 0 from carrier 0 to 852
  seq.presetData[9] = 0x03, seq.presetData[10] = 0x54;
  CalculatePresetValue(&seq);
  // (852 * 4 - 1) + 1 + 1 = 3409: n = 0.
  EXPECT_EQ(seq.presetIndex, 0);
  EXPECT_EQ(seq.timingPreset, 20050 / 100);
  seq.presetData[19] = 0x04 | 0x10 | 0x08;  // edge flags set: no correction, n = 2
  CalculatePresetValue(&seq);
  EXPECT_EQ(seq.timingPreset, (2 * 13 + 20050) / 100);
}

TEST(Dvbc2Arithmetic, CentreMovesUpOrDownFromTheMeasuredCarrier) {
  C2TuneSequence seq = {};
  seq.measuredFrequencyCode = 10000;
  seq.presetData[3] = 0x80;  // reference 128
  seq.presetData[19] = 0x04;
  seq.presetData[8] = 0x10, seq.presetData[10] = 0x64;  // slice from 16 to 100, below the reference
  CalculateCenterFreq(&seq);
  // K 24: d = (400 + 23) / 24 = 17, centre = measured + 24 * (17 - 9).
  EXPECT_EQ(seq.centreFrequencyCode, 10000u + 24 * 8);
  CalculatePresetValue(&seq);
  EXPECT_EQ(seq.frequencyOffset, static_cast<USHORT>(-(24 * 8) * 16));

  seq.presetData[7] = 0x01, seq.presetData[8] = 0xF4;  // slice from 500, above the reference
  CalculateCenterFreq(&seq);
  // c = (3408 - 2000 + 23) / 24 = 59, d = 0: centre = measured - 24 * 30 (the difference wraps).
  EXPECT_EQ(seq.centreFrequencyCode, 10000u - 24 * 30);
}

}  // namespace
