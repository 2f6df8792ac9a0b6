// Tuner-demod objects end to end: the driver loaded through PnP on the emulated machine, a simulated card
// with its demodulators and tuners, and the default air. Objects are built as the tuner layer will build
// them: constructed with the path index, given the Device, powered up (path 1 first: it resets the whole
// card).
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "demod/sony_demod_dvbt.h"
#include "on_card.h"

using namespace standards_test;

TEST_F(OnCard, PowerUpOfPathOneResetsEveryDemodulatorThenBringsThePathUp) {
  std::vector<int> resets;
  std::mutex rm;
  machine.card(0).setResetListener([&](int n, bool inReset) {
    std::lock_guard<std::mutex> g(rm);
    if (inReset) resets.push_back(n);
  });
  CDVBTDemod* one = add<CDVBTDemod>(1);
  powerUp(one);
  machine.card(0).setResetListener({});
  EXPECT_EQ(resets, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_TRUE(one->initialised());
  EXPECT_EQ(one->demodPath()->device, device);
  EXPECT_TRUE(traces.has("CDVBTDemod::apiInitEnvironment \n"));
  EXPECT_TRUE(traces.has("sony_integ_Initialize successfully.\n"));

  // Another path brings up only itself, on its own master and slave.
  resets.clear();
  clearI2c();
  ISDBTDemod* six = add<ISDBTDemod>(6);
  powerUp(six);
  EXPECT_TRUE(resets.empty());
  const std::vector<std::string> lines = i2cLines();
  ASSERT_FALSE(lines.empty());
  for (const std::string& l : lines) EXPECT_EQ(l.rfind("0x6000 ", 0), 0u) << l;
  EXPECT_GT(i2cCount("0x6000 0xdc w 00 00"), 0u);  // system slave of 0xD8: bank 0
  // Nothing tuned yet: not locked, strength is the noise floor.
  EXPECT_EQ(locked(one), 0u);
  EXPECT_EQ(one->getSignalStrength(), CTunerDemodType::kNoSignalStrength);
  EXPECT_EQ(one->getSignalQuality(), CTunerDemodType::kNoSignalQuality);
}

// Below 1 000 kHz the tuner does not tune, above 1 048 575 kHz its 20 frequency bits cannot carry the value:
// the glue refuses both before it wakes the demodulator.
TEST_F(OnCard, FrequenciesTheTunerCannotCarryAreRefusedBeforeAnyTraffic) {
  CDVBTDemod* t = object<CDVBTDemod>(1);
  clearI2c();
  for (ULONG kHz : {999u, 1048576u, 1100000u})
    for (DemodMode mode : {DEMOD_MODE_DVBT, DEMOD_MODE_DVBT2})
      EXPECT_EQ(cxd6802_Tune(t->demodPath(), kHz, 0, 8, 0, mode), 0u) << kHz << " mode " << mode;
  EXPECT_TRUE(i2cLines().empty());
}

TEST_F(OnCard, DvbtCommitTriesT2FirstAndFallsBackToDvbt) {
  CDVBTDemod* t = object<CDVBTDemod>(1);
  const sim::Multiplex m = mux("DVB-T 474 MHz");
  request(t, m);
  traces.clear();
  commit(t);
  EXPECT_EQ(t->lockedStandard(), 1u);
  const std::string tr = traces.text();
  const size_t t2 =
      tr.find("Demod 1, frequency = 474000,symrate_KSps = 0,bandwith = 8,streamid = 0 mode = 2 \n");
  const size_t t1 =
      tr.find("Demod 1, frequency = 474000,symrate_KSps = 0,bandwith = 8,streamid = 0 mode = 1 \n");
  ASSERT_NE(t2, std::string::npos);
  ASSERT_NE(t1, std::string::npos);
  EXPECT_LT(t2, t1) << "DVB-T2 is tried first and fails on a DVB-T multiplex";
  EXPECT_TRUE(traces.has("Demod 1 new 474000  8000000\n"));
  EXPECT_EQ(t->currentBandwidth(), 8000000u);

  EXPECT_EQ(locked(t), 1u);
  const LONG rf = static_cast<SHORT>(t->getSignalStrength());
  EXPECT_NEAR(rf, m.rfLevelDbm * 100, 10);
  EXPECT_EQ(t->getSignalQuality(),
            static_cast<ULONG>(cxd6802_QualityFromSnr(raw(t->demodPath(), sony_demod_dvbt_monitor_SNR))));
}

TEST_F(OnCard, PendingPlpMakesOneT2AttemptAndTheNextCommitSearchesAgain) {
  CDVBTDemod* t = object<CDVBTDemod>(1);
  request(t, mux("DVB-T 474 MHz"));
  UCHAR plp[1] = {3};
  EXPECT_EQ(t->SetZYNPLPNumber(plp), 1u);
  traces.clear();
  commit(t);
  EXPECT_FALSE(t->plpPending());
  EXPECT_EQ(t->lockedStandard(), 2u);
  EXPECT_EQ(traces.count("Demod 1, frequency = 474000"), 1u);
  EXPECT_TRUE(traces.has("streamid = 3 mode = 2 \n"));
  EXPECT_EQ(locked(t), 0u);  // DVB-T2 cannot lock here

  traces.clear();
  commit(t);
  EXPECT_EQ(traces.count("Demod 1, frequency = 474000"), 2u);
  EXPECT_EQ(t->lockedStandard(), 1u);
  EXPECT_EQ(locked(t), 1u);
}

TEST_F(OnCard, QualityWhileUnlockedIsNoSignalWithoutAnySnrRead) {
  CDVBTDemod* t = object<CDVBTDemod>(1);
  t->setFrequency(800000);  // nothing on air here
  t->apiSetBandwidth(8);
  commit(t);
  EXPECT_EQ(t->lockedStandard(), 1u);
  clearI2c();
  EXPECT_EQ(t->getSignalQuality(), CTunerDemodType::kNoSignalQuality);
  EXPECT_GT(i2cCount("0x4000 0xc8 w 10"), 0u);  // the lock state was read
  EXPECT_EQ(i2cCount("0x4000 0xc8 w 28"), 0u);  // the SNR registers were not
}

TEST_F(OnCard, StrengthIsTheRfLevelAsSixteenBitTwosComplement) {
  CDVBTDemod* t = object<CDVBTDemod>(1);
  ASSERT_TRUE(machine.air().setRfLevel("DVB-T 474 MHz", -60.0));
  request(t, mux("DVB-T 474 MHz"));
  commit(t);
  ASSERT_EQ(locked(t), 1u);
  const ULONG strength = t->getSignalStrength();
  EXPECT_LT(strength, 0x10000u);
  EXPECT_NEAR(static_cast<double>(strength), 59536.0, 10.0);  // -6000 hundredths of a dBm
  EXPECT_EQ(static_cast<SHORT>(strength), cxd6802_GetRFLevel(t->demodPath(), DEMOD_MODE_DVBT));
}

TEST_F(OnCard, ThirtyDecibelsGiveQuality45) {
  CDVBTDemod* t = object<CDVBTDemod>(1);
  ASSERT_TRUE(machine.air().setCnr("DVB-T 506 MHz", 30.0));
  request(t, mux("DVB-T 506 MHz"));
  commit(t);
  ASSERT_EQ(locked(t), 1u);
  EXPECT_EQ(t->getSignalQuality(), 45u);
  EXPECT_TRUE(traces.has("snr = 45"));
}

TEST_F(OnCard, EveryPathLocksWithTheAirsSnrAndLevel) {
  const char* names[] = {"DVB-T 474 MHz", "DVB-T 506 MHz", "DVB-T 177.5 MHz", "DVB-T 602 MHz 6 MHz",
                         "DVB-T 226.5 MHz 5 MHz"};
  for (UCHAR path = 1; path <= 8; ++path) {
    SCOPED_TRACE(testing::Message() << "path " << int(path));
    CDVBTDemod* t = object<CDVBTDemod>(path);
    const sim::Multiplex m = mux(names[(path - 1) % 5]);
    request(t, m);
    commit(t);
    ASSERT_EQ(locked(t), 1u) << machine.frontEnds(0).demod(path).fault();
    EXPECT_EQ(t->lockedStandard(), 1u);
    EXPECT_NEAR(raw(t->demodPath(), sony_demod_dvbt_monitor_SNR) / 1000.0, m.cnrDb, kTenthDb);
    EXPECT_NEAR(cxd6802_GetRFLevel(t->demodPath(), DEMOD_MODE_DVBT) / 100.0, m.rfLevelDbm, kTenthDb);
    EXPECT_NEAR(static_cast<SHORT>(t->getSignalStrength()) / 100.0, m.rfLevelDbm, kTenthDb);
  }
  expectCleanCard();
}

TEST_F(OnCard, EightChannelsTuningAtOnceNeverCollideOnABus) {
  std::vector<CDVBTDemod*> ts;
  for (UCHAR path = 1; path <= 8; ++path) ts.push_back(object<CDVBTDemod>(path));
  const char* names[] = {"DVB-T 474 MHz", "DVB-T 506 MHz", "DVB-T 177.5 MHz", "DVB-T 602 MHz 6 MHz"};
  std::vector<std::thread> threads;
  std::atomic<int> lockedCount{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      CDVBTDemod* t = ts[i];
      request(t, mux(names[i % 4]));
      for (int round = 0; round < 2; ++round) {
        commit(t);
        UCHAR reply[CTunerDemodType::kPlpReplyBytes];
        t->GetZYNPLPNumber(reply);
        t->getSignalQuality();
      }
      lockedCount += locked(t) == 1;
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(lockedCount.load(), 8);
  expectCleanCard();
}

TEST_F(OnCard, PlpListReadWaitsForARunningTune) {
  CDVBTDemod* t = object<CDVBTDemod>(1);
  t->setFrequency(800000);  // no signal: the DVB-T tune waits its whole lock time
  t->apiSetBandwidth(8);
  std::thread committer([&] { commit(t); });
  // The DVB-T attempt has begun, so the commit holds the object lock until it ends.
  ASSERT_TRUE(waitFor([&] { return traces.has("streamid = 0 mode = 1 \n"); }));
  UCHAR reply[CTunerDemodType::kPlpReplyBytes + 16];
  memset(reply, 0xAB, sizeof reply);
  EXPECT_EQ(t->GetZYNPLPNumber(reply), 1u);
  EXPECT_EQ(t->lockedStandard(), 1u);  // set at the end of the commit, under the lock
  committer.join();
  // DVB-T2 lists nothing here: count 0, the whole record cleared, nothing written past it.
  for (size_t i = 0; i < CTunerDemodType::kPlpReplyBytes; ++i) ASSERT_EQ(reply[i], 0) << i;
  for (size_t i = CTunerDemodType::kPlpReplyBytes; i < sizeof reply; ++i) ASSERT_EQ(reply[i], 0xAB) << i;
}

TEST_F(OnCard, EachFamilyTunesItsOwnModeWithItsArguments) {
  object<CDVBTDemod>(1);
  CDVBC2Demod* c2 = add<CDVBC2Demod>(2);
  ISDBCDemod* ic = add<ISDBCDemod>(3);
  CMCNSDemod* j83 = add<CMCNSDemod>(4);
  CDVBCDemod* dc = add<CDVBCDemod>(5);
  ISDBTDemod* it = add<ISDBTDemod>(6);
  ATSCDemod* at = add<ATSCDemod>(7);
  for (CTunerDemodType* o : {(CTunerDemodType*)c2, (CTunerDemodType*)ic, (CTunerDemodType*)j83,
                             (CTunerDemodType*)dc, (CTunerDemodType*)it, (CTunerDemodType*)at})
    powerUp(o);
  clearI2c();
  traces.clear();

  UCHAR plp[1] = {5};
  c2->SetZYNPLPNumber(plp);
  c2->setFrequency(474000);
  c2->apiSetBandwidth(8);
  commit(c2);
  commit(c2);  // the selection stays in force
  EXPECT_EQ(
      traces.count("Demod 2, frequency = 474000,symrate_KSps = 0,bandwith = 8,streamid = 5 mode = 4 \n"), 2u);

  UCHAR sid[2] = {0x34, 0x12};
  EXPECT_EQ(ic->SetInputStreamID(sid), 1u);
  ic->setFrequency(621000);
  ic->apiSetSymbolRate(5274000);
  commit(ic);
  EXPECT_TRUE(traces.has("ISDBCDemod::commitChanges\n"));
  EXPECT_TRUE(traces.has("new 621000  5274  \n"));
  EXPECT_TRUE(
      traces.has("Demod 3, frequency = 621000,symrate_KSps = 5274,bandwith = 8,streamid = 4660 mode = 7 \n"));
  EXPECT_EQ(ic->currentSymbolRate(), 5274u);

  j83->setFrequency(621000);
  j83->apiSetSymbolRate(5360537);
  commit(j83);
  EXPECT_TRUE(
      traces.has("Demod 4, frequency = 621000,symrate_KSps = 5360,bandwith = 8,streamid = 0 mode = 5 \n"));

  dc->setFrequency(306000);
  dc->apiSetSymbolRate(6900);
  dc->apiSetBandwidth(6);  // trace only: cable is 8 MHz
  commit(dc);
  EXPECT_TRUE(
      traces.has("Demod 5, frequency = 306000,symrate_KSps = 6900,bandwith = 8,streamid = 0 mode = 3 \n"));
  EXPECT_EQ(traces.count("__commitChanges_END__"), 3u);

  it->setFrequency(557143);
  it->apiSetBandwidth(6);
  commit(it);
  EXPECT_TRUE(traces.has("current 0  0 \n"));
  EXPECT_TRUE(
      traces.has("Demod 6, frequency = 557143,symrate_KSps = 0,bandwith = 6,streamid = 0 mode = 6 \n"));
  EXPECT_EQ(it->currentFrequency(), 557143u);

  at->setFrequency(533000);
  at->apiSetBandwidth(6);
  commit(at);
  EXPECT_TRUE(
      traces.has("Demod 7, frequency = 533000,symrate_KSps = 0,bandwith = 6,streamid = 0 mode = 8 \n"));

  // None of these frequencies carries the family's standard: no lock, no quality.
  for (CTunerDemodType* o : {(CTunerDemodType*)c2, (CTunerDemodType*)ic, (CTunerDemodType*)at}) {
    EXPECT_EQ(locked(o), 0u);
    EXPECT_EQ(o->getSignalQuality(), CTunerDemodType::kNoSignalQuality);
  }
  // Codes that name no standard are refused before the bus is touched.
  clearI2c();
  traces.clear();
  EXPECT_EQ(cxd6802_Tune(c2->demodPath(), 474000, 0, 8, 0, 0), 0u);
  EXPECT_EQ(cxd6802_Tune(c2->demodPath(), 474000, 0, 8, 0, 9), 0u);
  EXPECT_EQ(traces.count("Can not support this mode."), 2u);
  EXPECT_TRUE(i2cLines().empty());
}
