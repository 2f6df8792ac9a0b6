// ATSC end to end: ATSCDemod objects on the emulated machine tune the default air's ATSC multiplex through
// the glue, the mailbox and the tuner; lock only where the air has ATSC with enough margin; report the air's
// level and SNR; the card streams the locked multiplex.
#include <chrono>
#include <thread>

#include "../standards/on_card.h"
#include "demod/sony_demod_atsc.h"
#include "demod/sony_demod_dvbt.h"
#include "sim/demod_atsc.h"

using namespace standards_test;

namespace {

constexpr const char* kAtsc = "ATSC 575 MHz";

class AtscOnCard : public OnCard {
 protected:
  static void request(CTunerDemodType* t, ULONG frequencyKHz) {
    t->setFrequency(frequencyKHz);
    t->apiSetBandwidth(6);
  }
};

LONG atscSnr(DemodPath* p) { return raw(p, sony_demod_atsc_monitor_SNR); }

TEST_F(AtscOnCard, LocksOnTheAirsMultiplexAndReportsItsLevelAndSnr) {
  ATSCDemod* t = object<ATSCDemod>(1);
  const sim::Multiplex x = mux(kAtsc);
  request(t, static_cast<ULONG>(x.frequencyHz / 1000));
  clearI2c();
  commit(t);
  EXPECT_TRUE(
      traces.has("Demod 1, frequency = 575000,symrate_KSps = 0,bandwith = 6,streamid = 0 mode = 8 \n"));
  EXPECT_TRUE(traces.has("the singal is locked."));
  ASSERT_EQ(locked(t), 1u);
  EXPECT_EQ(lockedName(1), kAtsc);

  // Path 1 is 0xC8 on master 0x4000: its settings went through slave R (0x88), one command each, and the
  // tune ended with the soft-reset command.
  EXPECT_EQ(i2cCount("0x4000 0x88 w 0a c5"), 33u);
  EXPECT_EQ(i2cCount("0x4000 0x88 w 0a c5 a3 a1 77 ff 00"), 1u);
  EXPECT_EQ(i2cCount("0x4000 0x88 w 0a c5 a3 a4 27 ff 00"), 1u);
  EXPECT_EQ(i2cCount("0x4000 0x88 w 0a b3 10 00 00 00 00"), 1u);
  EXPECT_GT(i2cCount("0x4000 0x20 w 11"), 0u);  // lock read from the monitor slave

  EXPECT_NEAR(atscSnr(t->demodPath()) / 1000.0, x.cnrDb, kTenthDb);
  EXPECT_NEAR(cxd6802_GetRFLevel(t->demodPath(), DEMOD_MODE_ATSC) / 100.0, x.rfLevelDbm, kTenthDb);
  EXPECT_NEAR(static_cast<SHORT>(t->getSignalStrength()) / 100.0, x.rfLevelDbm, kTenthDb);
  EXPECT_EQ(t->getSignalQuality(), static_cast<ULONG>(cxd6802_QualityFromSnr(atscSnr(t->demodPath()))));

  // The card outputs the multiplex while locked.
  EXPECT_TRUE(machine.frontEnds(0).demod(1).tsOutputEnabled());
  EXPECT_NE(machine.frontEnds(0).stream(1), nullptr);
  expectCleanCard();
}

TEST_F(AtscOnCard, FiguresFollowTheAirOnAnotherPath) {
  ATSCDemod* t = object<ATSCDemod>(8);
  ASSERT_TRUE(machine.air().setRfLevel(kAtsc, -71.3));
  ASSERT_TRUE(machine.air().setCnr(kAtsc, 31.7));
  request(t, 575000);
  commit(t);
  ASSERT_EQ(locked(t), 1u);
  EXPECT_NEAR(atscSnr(t->demodPath()) / 1000.0, 31.7, kTenthDb);
  EXPECT_NEAR(static_cast<SHORT>(t->getSignalStrength()) / 100.0, -71.3, kTenthDb);
  // Path 8 is 0xDA on master 0x7000: slave R 0x9A.
  EXPECT_EQ(i2cCount("0x7000 0x9a w 0a b3"), 1u);
  expectCleanCard();
}

TEST_F(AtscOnCard, NoLockWithoutAnAtscCarrierOrWithTooLittleMargin) {
  ATSCDemod* t = object<ATSCDemod>(2);
  // One channel off, a DVB-T carrier, nothing at all.
  for (ULONG f : {581000u, 474000u, 800000u}) {
    SCOPED_TRACE(f);
    request(t, f);
    commit(t);
    EXPECT_EQ(locked(t), 0u);
    EXPECT_EQ(t->getSignalQuality(), CTunerDemodType::kNoSignalQuality);
    EXPECT_EQ(cxd6802_Tune(t->demodPath(), f, 0, 6, 0, DEMOD_MODE_ATSC), 0u);
  }
  ASSERT_TRUE(machine.air().setCnr(kAtsc, 15.0));  // below what 8-VSB needs
  request(t, 575000);
  commit(t);
  EXPECT_EQ(locked(t), 0u);
  EXPECT_EQ(lockedName(2), "");
  EXPECT_EQ(machine.frontEnds(0).stream(2), nullptr);
  ASSERT_TRUE(machine.air().setCnr(kAtsc, 16.0));
  commit(t);
  EXPECT_EQ(locked(t), 1u);
  expectCleanCard();
}

TEST_F(AtscOnCard, RetuneSendsNoSettingsAndLocksAgain) {
  ATSCDemod* t = object<ATSCDemod>(1);
  request(t, 575000);
  commit(t);
  ASSERT_EQ(locked(t), 1u);
  clearI2c();
  commit(t);
  EXPECT_EQ(locked(t), 1u);
  EXPECT_EQ(i2cCount("0x4000 0x88 w 0a c5"), 0u);
  EXPECT_EQ(i2cCount("0x4000 0x88 w 0a b3"), 1u);
  expectCleanCard();
}

TEST_F(AtscOnCard, TheChipMovesBetweenAtscAndDvbtOnOnePath) {
  ATSCDemod* t = object<ATSCDemod>(1);
  request(t, 575000);
  commit(t);
  ASSERT_EQ(locked(t), 1u);
  DemodPath* p = t->demodPath();
  // The same path taken to DVB-T by the glue: ATSC's sleep runs, DVB-T locks, ATSC no longer does.
  EXPECT_EQ(cxd6802_Tune(p, 474000, 0, 8, 0, DEMOD_MODE_DVBT), 1u);
  EXPECT_EQ(lockedName(1), "DVB-T 474 MHz");
  EXPECT_EQ(cxd6802_GetLock(p, DEMOD_MODE_ATSC), 0u);
  EXPECT_EQ(cxd6802_Tune(p, 575000, 0, 6, 0, DEMOD_MODE_ATSC), 1u);
  EXPECT_EQ(lockedName(1), kAtsc);
  EXPECT_EQ(cxd6802_GetLock(p, DEMOD_MODE_ATSC), 1u);
  expectCleanCard();
}

TEST_F(AtscOnCard, ModelRefusesAnIncompleteSetting) {
  ATSCDemod* t = object<ATSCDemod>(1);
  request(t, 575000);
  commit(t);
  ASSERT_EQ(locked(t), 1u);
  // One setting changed behind the driver's back (after an abort, so the core takes it) and the tune
  // restarted: the core cannot lock.
  DemodPath* p = t->demodPath();
  sony_demod_t* d = p->integ.p_demod;
  KeWaitForSingleObject(&p->lock, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(demodAbort(d), DEMOD_OK);
  EXPECT_EQ(sony_demod_atsc_SlaveRWriteRegister(d, 0x06, 0x71, 0x04, 0x07), DEMOD_OK);
  EXPECT_EQ(sony_demod_atsc_SoftReset(d), DEMOD_OK);
  KeReleaseMutex(&p->lock, FALSE);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < deadline &&
         !machine.frontEnds(0).demod(1).status().unlockDetected)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(machine.frontEnds(0).demod(1).status().unlockDetected);
  EXPECT_EQ(cxd6802_GetLock(p, DEMOD_MODE_ATSC), 0u);
  EXPECT_EQ(lockedName(1), "");
}

}  // namespace

namespace {

// The card model's side of the SNR coding: every C/N the air may carry comes back within the chip's
// resolution (a tenth of a decibel at worst: its logarithm table skips some hundredths).
TEST(AtscModel, SnrWordCodesEveryCnrWithinATenth) {
  for (int tenths = 20; tenths <= 500; ++tenths) {  // above 50 dB the word is too small for tenths
    const double cnr = tenths / 10.0;
    const uint32_t word = sim::atscWordFor(cnr);
    ASSERT_LE(word, 0x7FFFFFu);
    EXPECT_NEAR(sim::atscSnrOfWord(word) / 1000.0, cnr, kTenthDb) << cnr;
  }
}

TEST_F(AtscOnCard, MailboxDoesNotAnswerWhileTheAtscCoreIsOff) {
  CDVBTDemod* t = object<CDVBTDemod>(1);
  DemodPath* p = t->demodPath();
  ASSERT_EQ(cxd6802_Tune(p, 474000, 0, 8, 0, DEMOD_MODE_DVBT), 1u);
  clearI2c();
  KeWaitForSingleObject(&p->lock, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(sony_demod_atsc_SlaveRWriteRegister(p->integ.p_demod, 0xA0, 0x13, 0x03, 0x03), DEMOD_ERR_TIMEOUT);
  KeReleaseMutex(&p->lock, FALSE);
  EXPECT_EQ(i2cCount("0x4000 0x88 w 0a c5 a0 13 03 03 00"), 1u);
  EXPECT_EQ(i2cCount("0x4000 0x88 r"), 100u);  // a hundred polls, all "not done"
  EXPECT_EQ(lockedName(1), "DVB-T 474 MHz");   // the DVB-T channel went on undisturbed
}

}  // namespace
