// CMCNSDemod (J.83 Annex B) and ISDBTDemod end to end on the emulated machine: the driver loaded through PnP,
// the simulated card and the default air. Lock only on the multiplex that fits what was asked, the air's
// level and C/N read back through the monitors, the stream the card outputs, standard changes on one path.
#include "../standards/on_card.h"

#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "demod/sony_demod_isdbt.h"
#include "demod/sony_demod_j83b.h"
#include "sim/demod_isdbt.h"

using namespace standards_test;

namespace {

// J.83B codes its SNR in steps of up to 0.38 dB (95 x a natural-log step): the driver must give back the
// value of the word nearest the air's C/N, which lies within half a step of it.
void expectJ83bSnr(LONG snr, double cnrDb) {
  EXPECT_EQ(snr, sim::j83bSnrOfWord(sim::j83bWordFor(cnrDb)));
  EXPECT_NEAR(snr / 1000.0, cnrDb, 0.2);
}

// ---- J.83 Annex B ----

TEST_F(OnCard, J83bLocksOnTheAirsMultiplexWithItsLevelAndSnr) {
  CMCNSDemod* t = object<CMCNSDemod>(1);
  const sim::Multiplex x = mux("J.83B 555 MHz");
  t->setFrequency(555000);
  t->apiSetSymbolRate(x.symbolRate);  // 5360537 S/s is taken as 5360 kS/s: class 50
  traces.clear();
  commit(t);
  EXPECT_TRUE(
      traces.has("Demod 1, frequency = 555000,symrate_KSps = 5360,bandwith = 8,streamid = 0 mode = 5 \n"));
  EXPECT_TRUE(traces.has("The j83b signal is locked."));
  EXPECT_EQ(locked(t), 1u);

  const sony_demod_t& d = t->demodPath()->integ.demod;
  EXPECT_EQ(d.system, DEMOD_SYS_J83B);
  EXPECT_EQ(d.bandwidth, 50u);
  EXPECT_EQ(t->demodPath()->integ.tuner.system, 23u);  // cable row of the tuner for class 50

  expectJ83bSnr(raw(t->demodPath(), sony_demod_j83b_monitor_SNR), x.cnrDb);
  EXPECT_NEAR(cxd6802_GetRFLevel(t->demodPath(), DEMOD_MODE_J83B) / 100.0, x.rfLevelDbm, kTenthDb);
  EXPECT_NEAR(static_cast<SHORT>(t->getSignalStrength()) / 100.0, x.rfLevelDbm, kTenthDb);
  EXPECT_EQ(t->getSignalQuality(),
            static_cast<ULONG>(cxd6802_QualityFromSnr(raw(t->demodPath(), sony_demod_j83b_monitor_SNR))));

  // The card outputs the multiplex's stream.
  ASSERT_TRUE(chip(1).tsOutputEnabled());
  ASSERT_TRUE(chip(1).lockedMultiplex().has_value());
  EXPECT_EQ(chip(1).lockedMultiplex()->name, "J.83B 555 MHz");
  EXPECT_NE(chip(1).stream(), nullptr);
  EXPECT_TRUE(machine.card(0).errors().empty());
}

TEST_F(OnCard, J83bRefusesTheWrongSymbolRateClassFrequencyAndSystem) {
  CMCNSDemod* t = object<CMCNSDemod>(2);
  t->setFrequency(555000);
  t->apiSetSymbolRate(6000);  // class 51: a 6 MS/s channel, not what is on air
  commit(t);
  EXPECT_EQ(t->demodPath()->integ.demod.bandwidth, 51u);
  EXPECT_EQ(t->demodPath()->integ.tuner.system, 30u);
  EXPECT_TRUE(traces.has("The j83b signal unlocked!"));
  EXPECT_EQ(locked(t), 0u);
  EXPECT_EQ(t->getSignalQuality(), CTunerDemodType::kNoSignalQuality);
  EXPECT_EQ(chip(2).stream(), nullptr);

  // Right class at a frequency with nothing on air.
  t->setFrequency(561000);
  t->apiSetSymbolRate(5360537);
  commit(t);
  EXPECT_EQ(locked(t), 0u);

  // Right class and frequency: locks, re-tuned without going to sleep.
  clearI2c();
  t->setFrequency(555000);
  commit(t);
  EXPECT_EQ(locked(t), 1u);
  EXPECT_FALSE(sawI2c("0x4000 0xd8 w cf 77"));  // no ACCtoSL on the way

  // The DVB-C system at the J.83B frequency does not lock (selector and band differ).
  EXPECT_EQ(cxd6802_Tune(t->demodPath(), 555000, 5360, 8, 0, DEMOD_MODE_DVBC), 0u);
  EXPECT_EQ(cxd6802_GetLock(t->demodPath(), DEMOD_MODE_DVBC), 0u);
}

// Two J.83B channels, one of each symbol-rate class.
class FastAndSlowJ83b : public OnCard {
 protected:
  FastAndSlowJ83b() : OnCard(air()) {}
  static std::shared_ptr<sim::Air> air() {
    std::string err;
    auto air = sim::Air::parse(
        "[fast]\nDELIVERY_SYSTEM = DVBC/ANNEX_B\nFREQUENCY = 603000000\nSYMBOL_RATE = 6000000\n"
        "RF_LEVEL_DBM = -47.3\nCNR_DB = 31.6\n"
        "[slow]\nDELIVERY_SYSTEM = DVBC/ANNEX_B\nFREQUENCY = 609000000\nSYMBOL_RATE = 5056941\n"
        "RF_LEVEL_DBM = -52.0\nCNR_DB = 29.0\n",
        &err);
    EXPECT_TRUE(air) << err;
    return air;
  }
};

TEST_F(FastAndSlowJ83b, J83bClass51LocksOnAFastChannelAndNotOnASlowOne) {
  ASSERT_EQ(machine.air().size(), 2u);
  CMCNSDemod* t = object<CMCNSDemod>(1);
  t->setFrequency(603000);
  t->apiSetSymbolRate(6000000);
  commit(t);
  ASSERT_EQ(locked(t), 1u);
  EXPECT_EQ(t->demodPath()->integ.demod.bandwidth, 51u);
  expectJ83bSnr(raw(t->demodPath(), sony_demod_j83b_monitor_SNR), 31.6);
  EXPECT_NEAR(cxd6802_GetRFLevel(t->demodPath(), DEMOD_MODE_J83B) / 100.0, -47.3, kTenthDb);

  // Class 51 asked for the 5.06 MS/s channel: refused; class 50 locks it (64-QAM there).
  t->setFrequency(609000);
  commit(t);
  EXPECT_EQ(locked(t), 0u);
  t->apiSetSymbolRate(5057);
  commit(t);
  ASSERT_EQ(locked(t), 1u);
  expectJ83bSnr(raw(t->demodPath(), sony_demod_j83b_monitor_SNR), 29.0);
}

TEST_F(OnCard, J83bNeedsEnoughCarrierToNoise) {
  ASSERT_TRUE(machine.air().setCnr("J.83B 555 MHz", 20.0));
  CMCNSDemod* t = object<CMCNSDemod>(1);
  t->setFrequency(555000);
  t->apiSetSymbolRate(5360537);
  commit(t);
  EXPECT_EQ(locked(t), 0u);
  ASSERT_TRUE(machine.air().setCnr("J.83B 555 MHz", 36.5));
  commit(t);
  ASSERT_EQ(locked(t), 1u);
  expectJ83bSnr(raw(t->demodPath(), sony_demod_j83b_monitor_SNR), 36.5);
}

// ---- ISDB-T ----

TEST_F(OnCard, IsdbtLocksOnTheAirsMultiplexWithItsLevelAndSnr) {
  ISDBTDemod* t = object<ISDBTDemod>(1);
  const sim::Multiplex x = mux("ISDB-T 563.143 MHz");
  t->setFrequency(563143);
  t->apiSetBandwidth(6);
  traces.clear();
  commit(t);
  EXPECT_TRUE(
      traces.has("Demod 1, frequency = 563143,symrate_KSps = 0,bandwith = 6,streamid = 0 mode = 6 \n"));
  EXPECT_TRUE(traces.has("ISDBT singal is locked."));
  EXPECT_TRUE(traces.has("Sony_ISDB_t centerFreqKHz = 563143"));
  EXPECT_EQ(locked(t), 1u);
  EXPECT_EQ(t->demodPath()->integ.tuner.system, 11u);

  EXPECT_NEAR(raw(t->demodPath(), sony_demod_isdbt_monitor_SNR) / 1000.0, x.cnrDb, kTenthDb);
  EXPECT_NEAR(cxd6802_GetRFLevel(t->demodPath(), DEMOD_MODE_ISDBT) / 100.0, x.rfLevelDbm, kTenthDb);
  EXPECT_NEAR(static_cast<SHORT>(t->getSignalStrength()) / 100.0, x.rfLevelDbm, kTenthDb);
  EXPECT_EQ(t->getSignalQuality(),
            static_cast<ULONG>(cxd6802_QualityFromSnr(raw(t->demodPath(), sony_demod_isdbt_monitor_SNR))));

  ASSERT_TRUE(chip(1).lockedMultiplex().has_value());
  EXPECT_EQ(chip(1).lockedMultiplex()->name, "ISDB-T 563.143 MHz");
  EXPECT_NE(chip(1).stream(), nullptr);
}

TEST_F(OnCard, IsdbtLocksOnlyWithTheChannelsBandwidth) {
  ISDBTDemod* t = object<ISDBTDemod>(3);
  t->setFrequency(563143);
  t->apiSetBandwidth(8);
  commit(t);
  EXPECT_TRUE(traces.has("ISDBT singal is unlocked!"));
  EXPECT_EQ(locked(t), 0u);
  EXPECT_EQ(chip(3).stream(), nullptr);

  t->apiSetBandwidth(7);
  commit(t);
  EXPECT_EQ(locked(t), 0u);

  // 5 is no ISDB-T bandwidth: the object keeps it as 5 Hz, the commit passes 0 MHz, the glue tunes 6 MHz.
  clearI2c();
  t->apiSetBandwidth(5);
  commit(t);
  EXPECT_TRUE(traces.has("bandwith = 0,streamid = 0 mode = 6 \n"));
  EXPECT_EQ(locked(t), 1u);
  EXPECT_EQ(t->demodPath()->integ.demod.bandwidth, 6u);
  // Re-tune while active: stream output off directly, no sleep sequence (bank 0x1E 0x73 = 0 is AITtoSL's).
  EXPECT_TRUE(sawI2c("0x5000 0xca w c3 01"));
  EXPECT_FALSE(sawI2c("0x5000 0xca w 73 00"));
}

TEST_F(OnCard, DvbtObjectDoesNotLockOnIsdbtAndIsdbtNotOnDvbt) {
  CDVBTDemod* dvbt = object<CDVBTDemod>(1);
  dvbt->setFrequency(563143);
  dvbt->apiSetBandwidth(6);
  commit(dvbt);
  EXPECT_EQ(dvbt->lockedStandard(), 1u);
  EXPECT_EQ(locked(dvbt), 0u);

  ISDBTDemod* isdbt = object<ISDBTDemod>(2);
  isdbt->setFrequency(474000);
  isdbt->apiSetBandwidth(8);
  commit(isdbt);
  EXPECT_EQ(locked(isdbt), 0u);
}

TEST_F(OnCard, OnePathMovesBetweenStandardsThroughSleep) {
  CMCNSDemod* j = object<CMCNSDemod>(1);
  DemodPath* p = j->demodPath();
  j->setFrequency(555000);
  j->apiSetSymbolRate(5360537);
  commit(j);
  ASSERT_EQ(locked(j), 1u);

  // ISDB-T on the same path: J.83B goes to sleep first (its bank 0x41 0xCF = 0x77), then ISDB-T locks.
  clearI2c();
  ASSERT_EQ(cxd6802_Tune(p, 563143, 0, 6, 0, DEMOD_MODE_ISDBT), 1u);
  EXPECT_TRUE(sawI2c("0x4000 0xc8 w cf 77"));
  EXPECT_EQ(cxd6802_GetLock(p, DEMOD_MODE_ISDBT), 1u);
  EXPECT_EQ(cxd6802_GetLock(p, DEMOD_MODE_J83B), 0u);  // the J.83B monitor refuses: not active in J.83B
  EXPECT_EQ(chip(1).lockedMultiplex()->name, "ISDB-T 563.143 MHz");

  // And back: ISDB-T sleeps first (its bank 0x1E 0x73 = 0).
  clearI2c();
  ASSERT_EQ(cxd6802_Tune(p, 555000, 5360, 8, 0, DEMOD_MODE_J83B), 1u);
  EXPECT_TRUE(sawI2c("0x4000 0xc8 w 73 00"));
  EXPECT_EQ(cxd6802_GetLock(p, DEMOD_MODE_J83B), 1u);
  EXPECT_EQ(cxd6802_GetSNR(p, DEMOD_MODE_ISDBT), 0);  // the ISDB-T monitor refuses while J.83B is active
  EXPECT_EQ(chip(1).lockedMultiplex()->name, "J.83B 555 MHz");
  expectCleanCard();
}

TEST_F(OnCard, EveryPathLocksBothStandards) {
  for (UCHAR path = 1; path <= 8; ++path) {
    SCOPED_TRACE(testing::Message() << "path " << int(path));
    CTunerDemodType* t;
    if (path % 2) {
      t = object<ISDBTDemod>(path);
      t->setFrequency(563143);
      t->apiSetBandwidth(6);
    } else {
      t = object<CMCNSDemod>(path);
      t->setFrequency(555000);
      t->apiSetSymbolRate(5360537);
    }
    commit(t);
    EXPECT_EQ(locked(t), 1u);
    EXPECT_NE(chip(path).stream(), nullptr);
  }
  expectCleanCard();
}

}  // namespace
