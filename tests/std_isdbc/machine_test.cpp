// ISDB-C end to end: ISDBCDemod objects on the emulated machine tune the default air's TSMF carrier,
// select one of its streams by the id given through SetInputStreamID, lock only on a stream that is on air
// with enough margin, report the air's level and SNR, and the card streams the selected multiplex.
#include <chrono>
#include <thread>

#include "../standards/on_card.h"
#include "demod/sony_demod_isdbc.h"

using namespace standards_test;

namespace {

constexpr const char* kTs1 = "ISDB-C 375 MHz TS 1";
constexpr const char* kTs2 = "ISDB-C 375 MHz TS 2";

class IsdbcOnCard : public OnCard {
 protected:
  static void request(ISDBCDemod* t, ULONG frequencyKHz, USHORT streamId) {
    UCHAR id[2] = {static_cast<UCHAR>(streamId), static_cast<UCHAR>(streamId >> 8)};
    EXPECT_EQ(t->SetInputStreamID(id), 1u);
    t->setFrequency(frequencyKHz);
    t->apiSetSymbolRate(5274000);
  }
};

LONG isdbcSnr(DemodPath* p) { return raw(p, sony_demod_isdbc_monitor_SNR); }

TEST_F(IsdbcOnCard, EachTsmfStreamLocksWithTheAirsFigures) {
  ISDBCDemod* t = object<ISDBCDemod>(1);
  for (const char* name : {kTs1, kTs2}) {
    SCOPED_TRACE(name);
    const sim::Multiplex x = mux(name);
    request(t, static_cast<ULONG>(x.frequencyHz / 1000), static_cast<USHORT>(x.streamId));
    commit(t);
    ASSERT_EQ(locked(t), 1u);
    EXPECT_EQ(lockedName(1), name);
    EXPECT_NEAR(isdbcSnr(t->demodPath()) / 1000.0, x.cnrDb, kTenthDb);
    EXPECT_NEAR(static_cast<SHORT>(t->getSignalStrength()) / 100.0, x.rfLevelDbm, kTenthDb);
    EXPECT_EQ(t->getSignalQuality(), static_cast<ULONG>(cxd6802_QualityFromSnr(isdbcSnr(t->demodPath()))));
    EXPECT_NE(machine.frontEnds(0).stream(1), nullptr);
  }
  EXPECT_TRUE(
      traces.has("Demod 1, frequency = 375000,symrate_KSps = 5274,bandwith = 8,streamid = 2 mode = 7 \n"));
  expectCleanCard();
}

TEST_F(IsdbcOnCard, SwitchingStreamsOnOneCarrierSkipsTheBandSettings) {
  ISDBCDemod* t = object<ISDBCDemod>(3);  // 0xCA on master 0x5000
  request(t, 375000, 1);
  commit(t);
  ASSERT_EQ(lockedName(3), kTs1);
  clearI2c();
  request(t, 375000, 2);
  commit(t);
  EXPECT_EQ(locked(t), 1u);
  EXPECT_EQ(lockedName(3), kTs2);
  EXPECT_EQ(i2cCount("0x5000 0xca w 32 00 02 00 0b"), 1u);  // the TSMF selection
  EXPECT_EQ(i2cCount("0x5000 0xca w a6"), 0u);              // no band setting
  EXPECT_EQ(i2cCount("0x5000 0xce w 17"), 0u);              // no wake-up
  expectCleanCard();
}

TEST_F(IsdbcOnCard, NoLockOnAStreamNotOnAirOrWithoutMargin) {
  ISDBCDemod* t = object<ISDBCDemod>(2);
  request(t, 375000, 3);  // the frame carries streams 1 and 2 only
  commit(t);
  EXPECT_EQ(locked(t), 0u);
  EXPECT_EQ(t->getSignalQuality(), CTunerDemodType::kNoSignalQuality);
  EXPECT_EQ(cxd6802_Tune(t->demodPath(), 375000, 5274, 8, 3, DEMOD_MODE_ISDBC), 0u);
  request(t, 381000, 1);  // one channel off
  commit(t);
  EXPECT_EQ(locked(t), 0u);
  ASSERT_TRUE(machine.air().setCnr(kTs1, 25.0));  // below what 256-QAM needs
  request(t, 375000, 1);
  commit(t);
  EXPECT_EQ(locked(t), 0u);
  EXPECT_EQ(machine.frontEnds(0).stream(2), nullptr);
  ASSERT_TRUE(machine.air().setCnr(kTs1, 27.0));
  commit(t);
  EXPECT_EQ(locked(t), 1u);
  expectCleanCard();
}

TEST_F(IsdbcOnCard, AnIsdbcTuneDoesNotLockOnAnotherCableSystem) {
  ISDBCDemod* t = object<ISDBCDemod>(1);
  for (const sim::Multiplex& x : machine.air().multiplexes()) {
    if (x.system != sim::DeliverySystem::DVBC_ANNEX_A && x.system != sim::DeliverySystem::DVBC_ANNEX_B)
      continue;
    SCOPED_TRACE(x.name);
    request(t, static_cast<ULONG>(x.frequencyHz / 1000), 0);
    commit(t);
    EXPECT_EQ(locked(t), 0u);
  }
}

TEST_F(IsdbcOnCard, BondedPathSwitchesBondingWithItsActiveState) {
  ISDBCDemod* t = object<ISDBCDemod>(1);
  DemodPath* p = t->demodPath();
  KeWaitForSingleObject(&p->lock, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(sony_demod_SetConfig(p->integ.p_demod, 20, 1), DEMOD_OK);
  EXPECT_EQ(sony_demod_SetConfig(p->integ.p_demod, 21, 3), DEMOD_OK);
  KeReleaseMutex(&p->lock, FALSE);
  request(t, 375000, 1);
  commit(t);
  EXPECT_EQ(locked(t), 1u);
  sim::DemodModel& chip = machine.frontEnds(0).demod(1);
  EXPECT_EQ(chip.reg(sim::DemodSlave::Sys, 0x00, 0xC1), 3);
  EXPECT_EQ(chip.reg(sim::DemodSlave::Main, 0x03, 0xB1), 1);
  EXPECT_EQ(cxd6802_Tune(p, 474000, 0, 8, 0, DEMOD_MODE_DVBT), 1u);  // ISDB-C goes to sleep
  EXPECT_EQ(chip.reg(sim::DemodSlave::Sys, 0x00, 0xC1), 0);
  EXPECT_EQ(chip.reg(sim::DemodSlave::Main, 0x03, 0xB1), 0);
  expectCleanCard();
}

}  // namespace
