// DVB-C2 end to end: CDVBC2Demod on the emulated machine (driver through PnP, simulated card, default air).
// The C2 multiplex locks only with the system, bandwidth, carrier position and PLP the driver programmed;
// the monitors give back the air's level and C/N; a locked path delivers its stream.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../standards/on_card.h"
#include "demod/sony_demod_dvbc2.h"
#include "sim/demod_dvbc2.h"

using namespace standards_test;

namespace {

constexpr const char* kC2 = "DVB-C2 714 MHz";

void selectPlp(CDVBC2Demod* t, UCHAR plp) {
  UCHAR b[1] = {plp};
  EXPECT_EQ(t->SetZYNPLPNumber(b), 1u);
}

LONG c2Snr(DemodPath* p) { return raw(p, sony_demod_dvbc2_monitor_SNR); }

TEST_F(OnCard, C2MultiplexLocksWithTheAirsFiguresAndStreams) {
  CDVBC2Demod* t = object<CDVBC2Demod>(1);
  const sim::Multiplex mx = mux(kC2);
  request(t, 714000, 8);
  traces.clear();
  commit(t);
  EXPECT_TRUE(
      traces.has("Demod 1, frequency = 714000,symrate_KSps = 0,bandwith = 8,streamid = 0 mode = 4 \n"));
  EXPECT_FALSE(traces.has("Can not support this mode."));
  EXPECT_FALSE(traces.has("timed out"));
  ASSERT_EQ(locked(t), 1u);
  ASSERT_TRUE(chip(1).lockedMultiplex().has_value());
  EXPECT_EQ(chip(1).lockedMultiplex()->name, kC2);
  EXPECT_EQ(chip(1).activeSystem(), sim::DeliverySystem::DVBC2);

  const LONG snr = c2Snr(t->demodPath());
  EXPECT_NEAR(snr / 1000.0, mx.cnrDb, kTenthDb);
  EXPECT_NEAR(cxd6802_GetRFLevel(t->demodPath(), DEMOD_MODE_DVBC2) / 100.0, mx.rfLevelDbm, kTenthDb);
  EXPECT_NEAR(static_cast<SHORT>(t->getSignalStrength()) / 100.0, mx.rfLevelDbm, kTenthDb);
  EXPECT_EQ(t->getSignalQuality(), static_cast<ULONG>(cxd6802_QualityFromSnr(snr)));
  EXPECT_TRUE(streams(1));
  for (int k = 0; k < 4; ++k) EXPECT_EQ(machine.card(0).i2cBus(k).collisions(), 0u);
  EXPECT_TRUE(machine.card(0).errors().empty());
}

TEST_F(OnCard, FiguresFollowTheAir) {
  CDVBC2Demod* t = object<CDVBC2Demod>(3);
  ASSERT_TRUE(machine.air().setRfLevel(kC2, -61.3));
  ASSERT_TRUE(machine.air().setCnr(kC2, 31.7));
  request(t, 714000, 8);
  commit(t);
  ASSERT_EQ(locked(t), 1u);
  EXPECT_NEAR(c2Snr(t->demodPath()) / 1000.0, 31.7, kTenthDb);
  EXPECT_NEAR(static_cast<SHORT>(t->getSignalStrength()) / 100.0, -61.3, kTenthDb);
  // Below the threshold of the mode the multiplex no longer locks.
  ASSERT_TRUE(machine.air().setCnr(kC2, 25.0));
  commit(t);
  EXPECT_EQ(locked(t), 0u);
  EXPECT_EQ(t->getSignalQuality(), CTunerDemodType::kNoSignalQuality);
  EXPECT_FALSE(streams(3));
}

TEST_F(OnCard, SelectedPlpReachesTheTuneAndAnAbsentOneNeverLocks) {
  CDVBC2Demod* t = object<CDVBC2Demod>(2);
  request(t, 714000, 8);
  selectPlp(t, 1);
  traces.clear();
  commit(t);
  EXPECT_TRUE(traces.has("streamid = 1 mode = 4 \n"));
  EXPECT_EQ(locked(t), 0u);
  EXPECT_FALSE(streams(2));
  commit(t);  // the selection stays in force
  EXPECT_EQ(traces.count("streamid = 1 mode = 4 \n"), 2u);
  EXPECT_EQ(locked(t), 0u);

  selectPlp(t, 0);
  commit(t);
  EXPECT_EQ(locked(t), 1u);
  EXPECT_TRUE(streams(2));
}

TEST_F(OnCard, WrongBandwidthFrequencyOrSystemNeverLocks) {
  CDVBC2Demod* t = object<CDVBC2Demod>(1);
  request(t, 714000, 6);  // the multiplex is 8 MHz wide
  commit(t);
  EXPECT_EQ(locked(t), 0u);
  EXPECT_FALSE(chip(1).signalLock());

  request(t, 346000, 8);  // the DVB-C multiplex: another system
  commit(t);
  EXPECT_EQ(locked(t), 0u);

  request(t, 714150, 8);  // heard by the tuner, but the carrier position misses the data slice
  commit(t);
  EXPECT_EQ(locked(t), 0u);

  // 7 MHz is refused before any bus traffic, and the commit says so.
  request(t, 714000, 7);
  clearI2c();
  traces.clear();
  commit(t, 0);
  EXPECT_TRUE(traces.has("bandwith = 7,streamid = 0 mode = 4 \n"));
  EXPECT_EQ(i2cCount(), 0u);

  request(t, 714000, 8);
  commit(t);
  EXPECT_EQ(locked(t), 1u);
}

TEST_F(OnCard, OnePathMovesBetweenStandardsThroughTheGlue) {
  CDVBC2Demod* t = object<CDVBC2Demod>(1);
  DemodPath* p = t->demodPath();
  EXPECT_EQ(cxd6802_Tune(p, 474000, 0, 8, 0, DEMOD_MODE_DVBT), 1u);
  EXPECT_EQ(cxd6802_GetLock(p, DEMOD_MODE_DVBT), 1u);
  EXPECT_EQ(cxd6802_GetLock(p, DEMOD_MODE_DVBC2), 0u);  // not active in DVB-C2
  EXPECT_EQ(cxd6802_Tune(p, 714000, 0, 8, 0, DEMOD_MODE_DVBC2), 1u);
  EXPECT_EQ(cxd6802_GetLock(p, DEMOD_MODE_DVBC2), 1u);
  EXPECT_EQ(chip(1).activeSystem(), sim::DeliverySystem::DVBC2);
  EXPECT_EQ(cxd6802_Tune(p, 474000, 0, 8, 0, DEMOD_MODE_DVBT), 1u);
  EXPECT_EQ(chip(1).activeSystem(), sim::DeliverySystem::DVBT);
  EXPECT_EQ(p->integ.demod.state, DEMOD_STATE_ACTIVE);
}

TEST_F(OnCard, EveryPathLocksTheC2Multiplex) {
  const sim::Multiplex mx = mux(kC2);
  std::vector<CDVBC2Demod*> ts;
  for (UCHAR path = 1; path <= 8; ++path) ts.push_back(object<CDVBC2Demod>(path));
  for (CDVBC2Demod* t : ts) {
    request(t, 714000, 8);
    commit(t);
  }
  for (UCHAR path = 1; path <= 8; ++path) {
    SCOPED_TRACE(testing::Message() << "path " << int(path));
    EXPECT_EQ(locked(ts[path - 1]), 1u);
    EXPECT_NEAR(static_cast<SHORT>(ts[path - 1]->getSignalStrength()) / 100.0, mx.rfLevelDbm, kTenthDb);
  }
  for (int k = 0; k < 4; ++k) EXPECT_EQ(machine.card(0).i2cBus(k).collisions(), 0u);
}

TEST(C2Model, SnrWordsCodeTheCnrWithinATenth) {
  for (double cn = 20.0; cn <= 45.0; cn += 0.7) {
    const uint32_t w = sim::dvbc2WordFor(cn);
    EXPECT_NEAR(sim::dvbc2SnrOfWord(w) / 1000.0, cn, kTenthDb) << cn;
    LONG driver = (LONG(Log10x100(w)) - LONG(Log10x100(55000 - w))) * 100 + 38400;
    EXPECT_EQ(driver, sim::dvbc2SnrOfWord(w));
  }
  EXPECT_EQ(sim::dvbc2CodeOf(714000000, 8000000), 319872u);
  EXPECT_EQ(sim::dvbc2HzOfCode(319872, 8000000), 714000000u);
}

}  // namespace
