// DVB-T2 and DVB-C end to end: tuner-demod objects on the emulated machine (driver through PnP, simulated
// card, default air). A multiplex locks only when the driver programmed what it needs; the monitors give
// back the air's level and C/N; a locked path delivers its multiplex's stream.
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../standards/on_card.h"
#include "demod/sony_demod_dvbc.h"
#include "demod/sony_demod_dvbt2.h"

using namespace standards_test;

namespace {

class T2AndCableOnCard : public OnCard {
 protected:
  static ZynPlpReply plps(CDVBTDemod* t) {
    ZynPlpReply r;
    memset(&r, 0xAB, sizeof r);
    EXPECT_EQ(t->GetZYNPLPNumber(reinterpret_cast<PUCHAR>(&r)), 1u);
    return r;
  }
};

TEST_F(T2AndCableOnCard, T2MultiplexLocksAsT2AtTheFirstTryWithTheAirsFiguresAndBothPlps) {
  CDVBTDemod* t = object<CDVBTDemod>(1);
  const sim::Multiplex m = mux("DVB-T2 538 MHz PLP 0");
  request(t, m);
  traces.clear();
  commit(t);
  EXPECT_EQ(t->lockedStandard(), 2u);
  EXPECT_EQ(traces.count("Demod 1, frequency = 538000"), 1u);  // no DVB-T attempt
  EXPECT_TRUE(traces.has("streamid = 0 mode = 2 \n"));
  EXPECT_TRUE(traces.has("The DVBT2 signal TS locked.\n"));
  EXPECT_EQ(locked(t), 1u);
  EXPECT_EQ(lockedName(1), "DVB-T2 538 MHz PLP 0");
  EXPECT_TRUE(streams(1));

  const LONG snr = raw(t->demodPath(), sony_demod_dvbt2_monitor_SNR);
  EXPECT_NEAR(snr / 1000.0, m.cnrDb, kTenthDb);
  EXPECT_EQ(t->getSignalQuality(), static_cast<ULONG>(cxd6802_QualityFromSnr(snr)));
  EXPECT_NEAR(static_cast<SHORT>(t->getSignalStrength()) / 100.0, m.rfLevelDbm, kTenthDb);

  const ZynPlpReply r = plps(t);
  EXPECT_EQ(r.count, 2u);
  EXPECT_EQ(r.ids[0], 0);
  EXPECT_EQ(r.ids[1], 1);
  for (size_t i = 2; i < sizeof r.ids; ++i) ASSERT_EQ(r.ids[i], 0) << i;
  EXPECT_EQ(r.reserved, 0);
}

TEST_F(T2AndCableOnCard, SelectedPlpIsTheOneDeliveredAndAnAbsentOneNeverLocks) {
  CDVBTDemod* t = object<CDVBTDemod>(2);
  request(t, mux("DVB-T2 538 MHz PLP 1"));
  UCHAR one[1] = {1};
  t->SetZYNPLPNumber(one);
  commit(t);
  EXPECT_FALSE(t->plpPending());
  EXPECT_EQ(t->lockedStandard(), 2u);
  ASSERT_EQ(locked(t), 1u);
  EXPECT_EQ(lockedName(2), "DVB-T2 538 MHz PLP 1");
  EXPECT_TRUE(streams(2));

  UCHAR absent[1] = {5};
  t->SetZYNPLPNumber(absent);
  traces.clear();
  commit(t);
  EXPECT_EQ(traces.count("Demod 2, frequency = 538000"), 1u);
  EXPECT_EQ(t->lockedStandard(), 2u);
  EXPECT_EQ(locked(t), 0u);
  EXPECT_EQ(t->getSignalQuality(), CTunerDemodType::kNoSignalQuality);
  EXPECT_FALSE(streams(2));

  commit(t);  // the selection was used once: searching again finds the first PLP
  EXPECT_EQ(locked(t), 1u);
  EXPECT_EQ(lockedName(2), "DVB-T2 538 MHz PLP 0");
}

TEST_F(T2AndCableOnCard, WrongBandwidthFrequencyOrMarginNeverLocksT2) {
  CDVBTDemod* t = object<CDVBTDemod>(3);
  const sim::Multiplex seven = mux("DVB-T2 650 MHz");
  request(t, 650000, 8);  // on air at 7 MHz
  commit(t);
  EXPECT_EQ(locked(t), 0u);
  request(t, 651000, 7);  // a megahertz off
  commit(t);
  EXPECT_EQ(locked(t), 0u);

  ASSERT_TRUE(machine.air().setCnr(seven.name, 19.0));  // below what T2 needs here
  request(t, seven);
  commit(t);
  EXPECT_EQ(locked(t), 0u);
  EXPECT_EQ(lockedName(3), "");

  ASSERT_TRUE(machine.air().setCnr(seven.name, 21.3));
  commit(t);
  ASSERT_EQ(locked(t), 1u);
  EXPECT_EQ(t->lockedStandard(), 2u);
  EXPECT_NEAR(raw(t->demodPath(), sony_demod_dvbt2_monitor_SNR) / 1000.0, 21.3, kTenthDb);
  EXPECT_NEAR(cxd6802_GetRFLevel(t->demodPath(), DEMOD_MODE_DVBT2) / 100.0, seven.rfLevelDbm, kTenthDb);
  // The 7 MHz multiplex lists its one PLP.
  EXPECT_EQ(plps(t).count, 1u);
}

TEST_F(T2AndCableOnCard, OneObjectMovesBetweenDvbtAndT2Multiplexes) {
  CDVBTDemod* t = object<CDVBTDemod>(1);
  request(t, mux("DVB-T 474 MHz"));
  traces.clear();
  commit(t);
  EXPECT_FALSE(traces.has("Can not support this mode."));
  EXPECT_TRUE(traces.has("The DVBT2 signal Demod unlocked!"));
  EXPECT_EQ(t->lockedStandard(), 1u);
  ASSERT_EQ(locked(t), 1u);
  EXPECT_EQ(lockedName(1), "DVB-T 474 MHz");
  // A DVB-T lock has no PLP list: count 0 and a clean record.
  EXPECT_EQ(plps(t).count, 0u);

  request(t, mux("DVB-T2 538 MHz PLP 0"));
  commit(t);
  EXPECT_EQ(t->lockedStandard(), 2u);
  ASSERT_EQ(locked(t), 1u);
  EXPECT_EQ(plps(t).count, 2u);

  request(t, mux("DVB-T 506 MHz"));
  commit(t);
  EXPECT_EQ(t->lockedStandard(), 1u);
  EXPECT_EQ(locked(t), 1u);
  EXPECT_EQ(lockedName(1), "DVB-T 506 MHz");
  EXPECT_TRUE(machine.card(0).errors().empty());
}

TEST_F(T2AndCableOnCard, CableLocksOnItsMultiplexWithTheAirsFiguresAndStreams) {
  CDVBCDemod* c = object<CDVBCDemod>(3);
  const sim::Multiplex m = mux("DVB-C 346 MHz");
  request(c, m);
  traces.clear();
  commit(c);
  EXPECT_TRUE(
      traces.has("Demod 3, frequency = 346000,symrate_KSps = 6900,bandwith = 8,streamid = 0 mode = 3 \n"));
  EXPECT_TRUE(traces.has("The DVBC signal is locked."));
  ASSERT_EQ(locked(c), 1u);
  EXPECT_EQ(lockedName(3), m.name);
  EXPECT_TRUE(streams(3));

  const LONG snr = raw(c->demodPath(), sony_demod_dvbc_monitor_SNR);
  EXPECT_NEAR(snr / 1000.0, m.cnrDb, kTenthDb);
  EXPECT_EQ(c->getSignalQuality(), static_cast<ULONG>(cxd6802_QualityFromSnr(snr)));
  EXPECT_NEAR(static_cast<SHORT>(c->getSignalStrength()) / 100.0, m.rfLevelDbm, kTenthDb);

  // Level and C/N follow the air.
  ASSERT_TRUE(machine.air().setRfLevel(m.name, -63.2));
  ASSERT_TRUE(machine.air().setCnr(m.name, 31.4));
  commit(c);
  ASSERT_EQ(locked(c), 1u);
  EXPECT_NEAR(static_cast<SHORT>(c->getSignalStrength()) / 100.0, -63.2, kTenthDb);
  EXPECT_NEAR(raw(c->demodPath(), sony_demod_dvbc_monitor_SNR) / 1000.0, 31.4, kTenthDb);
}

TEST_F(T2AndCableOnCard, CableRefusesOtherFrequenciesSystemsAndPoorMargin) {
  CDVBCDemod* c = object<CDVBCDemod>(4);
  request(c, 350000, 8, 6900000);  // 4 MHz off the multiplex
  commit(c);
  EXPECT_EQ(locked(c), 0u);
  request(c, 474000, 8, 6900000);  // a DVB-T multiplex
  commit(c);
  EXPECT_EQ(locked(c), 0u);
  EXPECT_FALSE(streams(4));

  ASSERT_TRUE(machine.air().setCnr("DVB-C 346 MHz", 26.0));
  request(c, 346000, 8, 6900000);
  commit(c);
  EXPECT_EQ(locked(c), 0u);
  EXPECT_EQ(c->getSignalQuality(), CTunerDemodType::kNoSignalQuality);
  ASSERT_TRUE(machine.air().setCnr("DVB-C 346 MHz", 36.0));
  commit(c);
  EXPECT_EQ(locked(c), 1u);
  // The T2 and C monitors answer only for their own standard.
  EXPECT_EQ(cxd6802_GetLock(c->demodPath(), DEMOD_MODE_DVBT2), 0u);
  EXPECT_EQ(cxd6802_GetLock(c->demodPath(), DEMOD_MODE_DVBC), 1u);
}

// The card decides lock from what the driver left in the chip: spoil one setting and re-end the tune, and
// the lock goes; put it back and it returns.
TEST_F(T2AndCableOnCard, ChipLocksOnlyWithTheBandSettingsTheDriverWrote) {
  CDVBTDemod* t = object<CDVBTDemod>(1);
  request(t, mux("DVB-T2 538 MHz PLP 0"));
  commit(t);
  ASSERT_EQ(locked(t), 1u);
  DemodPath* p = t->demodPath();
  const UCHAR main = p->integ.demod.slaveMain;
  auto rewrite = [&](UCHAR bank, UCHAR reg, const UCHAR* data, ULONG n) {
    KeWaitForSingleObject(&p->lock, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(WriteOneRegister(p, main, 0x00, bank), DEMOD_OK);
    EXPECT_EQ(WriteRegister(p, main, reg, data, n), DEMOD_OK);
    EXPECT_EQ(WriteOneRegister(p, main, 0x00, 0x00), DEMOD_OK);
    EXPECT_EQ(WriteOneRegister(p, main, 0xFE, 0x01), DEMOD_OK);  // tune end: acquisition starts over
    KeReleaseMutex(&p->lock, FALSE);
  };
  const UCHAR wrongIf[3] = {0x16, 0x66, 0x66};  // the 7 MHz IF on an 8 MHz band
  rewrite(0x10, 0xB6, wrongIf, 3);
  EXPECT_FALSE(chip(1).signalLock());
  EXPECT_TRUE(waitFor([&] { return chip(1).status().unlockDetected; }));
  EXPECT_EQ(cxd6802_GetLock(p, DEMOD_MODE_DVBT2), 0u);

  const UCHAR rightIf[3] = {0x19, 0x99, 0x9A};
  rewrite(0x10, 0xB6, rightIf, 3);
  EXPECT_TRUE(waitFor([&] { return chip(1).signalLock(); }));

  const UCHAR otherPlp[1] = {7};
  rewrite(0x23, 0xAF, otherPlp, 1);
  EXPECT_FALSE(chip(1).signalLock());
  EXPECT_FALSE(chip(1).status().signal);
}

}  // namespace
