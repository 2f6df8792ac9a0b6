// Tuner-demod objects without a card: parameter scaling and refusals, the factory, start values before
// power-up, PLP selection, lifetime; and the glue's per-standard tune arguments and unit conversions.
#include <memory>

#include "support.h"

using namespace standards_test;

namespace {
struct Deleter {
  void operator()(CTunerDemodType* t) const { delete t; }
};
using Obj = std::unique_ptr<CTunerDemodType, Deleter>;
Obj make(ULONG type, UCHAR path = 1) { return Obj(newTunerDemodObject(type, path)); }
}  // namespace

TEST(TunerDemodParams, BandwidthScalesMHzAndKHzToHzUpToTheClassLimit) {
  TraceScope traces;
  struct Case {
    ULONG type, in, stored;
  } cases[] = {
      {1, 8, 8000000},       {1, 8000, 8000000}, {1, 5, 5},
      {1, 11, 11},           {1, 10, 10000000},  {1, 6, 6000000},
      {1, 7000000, 7000000}, {3, 6, 6000000},    {3, 10000, 10000000},
      {7, 8, 8000000},       {7, 10, 10},        {7, 10000, 10000},
      {5, 8000, 8000000},    {5, 9, 9},
  };
  for (const Case& c : cases) {
    Obj t = make(c.type);
    t->apiSetBandwidth(c.in);
    EXPECT_EQ(t->getBandwidth(), c.stored) << "type " << c.type << " value " << c.in;
  }
  // The scaling classes trace the result, ISDB-T only the request; the cable classes keep their bandwidth.
  traces.clear();
  make(1)->apiSetBandwidth(8);
  EXPECT_TRUE(traces.has("CDVBTDemod::api Set bandwidth = 8\n"));
  EXPECT_TRUE(traces.has("CDVBTDemod::_bandwidth= 8000000\n"));
  traces.clear();
  make(5)->apiSetBandwidth(8);
  EXPECT_TRUE(traces.has("ISDBTDemod::api Set bandwidth = 8\n"));
  EXPECT_FALSE(traces.has("_bandwidth="));
  for (ULONG type : {4u, 6u, 8u}) {
    Obj t = make(type);
    t->apiSetBandwidth(8);
    EXPECT_EQ(t->getBandwidth(), 0xFFFFFFFFu) << type;
  }
  EXPECT_TRUE(traces.has("CMCNSDemod::api Set bandwidth = 8\n"));
}

TEST(TunerDemodParams, SymbolRateTakesKSpsOrSps) {
  TraceScope traces;
  Obj t = make(4);
  for (auto [in, stored] :
       {std::pair<ULONG, ULONG>{6900, 6900}, {6900000, 6900}, {100001, 100}, {100000, 100000}}) {
    t->apiSetSymbolRate(in);
    EXPECT_EQ(t->symbolRate(), stored) << in;
  }
  EXPECT_TRUE(traces.has("CDVBCDemod::apiSetSymbolRate = 6900000\n"));
  EXPECT_TRUE(traces.has("CDVBCDemod::_symblerate= 6900\n"));
}

TEST(TunerDemodParams, FrequencyAndMultiplierRefusals) {
  TraceScope traces(2);
  Obj t = make(1);
  t->setFrequency(474000);
  t->setFrequency(0);
  t->setFrequency(0xFFFFFFFF);
  EXPECT_EQ(t->frequency(), 474000u);
  t->setFrequency(1);
  EXPECT_EQ(t->frequency(), 1u);

  EXPECT_EQ(t->frequencyMultiplier(), 1000u);
  for (ULONG refused : {0u, 0xFFFFFFFFu, 2u, 5u, 9u}) {
    t->setFrequencyMultiplier(refused);
    EXPECT_EQ(t->frequencyMultiplier(), 1000u) << refused;
  }
  EXPECT_EQ(traces.count("got invalid multiplier valid, ignore\n"), 5u);
  t->setFrequencyMultiplier(1);
  EXPECT_EQ(t->frequencyMultiplier(), 1u);
  t->setFrequencyMultiplier(10);
  EXPECT_EQ(t->frequencyMultiplier(), 10u);
  EXPECT_TRUE(traces.has("new frequency multiplier value = 10\n"));

  // The refusal is a level-2 trace: at level 1 only the entry line prints.
  ZadivoTraceLevel = 1;
  traces.clear();
  t->setFrequencyMultiplier(3);
  EXPECT_TRUE(traces.has("CTunerDemodType::setFrequencyMultiplier\n"));
  EXPECT_FALSE(traces.has("invalid multiplier"));
}

TEST(TunerDemodParams, ChangeTestAndReset) {
  Obj t = make(4);
  EXPECT_FALSE(t->isChanged());
  t->setFrequency(306000);
  EXPECT_TRUE(t->isChanged());
  ULONG ok = 0;
  t->commitChanges(&ok);  // cable commits make the request current; with no device the tune is refused
  EXPECT_EQ(ok, 0u);
  EXPECT_EQ(t->currentFrequency(), 306000u);
  EXPECT_FALSE(t->isChanged());
  t->resetCurrent();
  EXPECT_EQ(t->currentFrequency(), 0u);
  EXPECT_TRUE(t->isChanged());
}

TEST(TunerDemodParams, RoundedDivisionNeverDividesByZero) {
  Obj t = make(1);
  EXPECT_EQ(t->divideRounded(7, 2), 4);
  EXPECT_EQ(t->divideRounded(10, 4), 3);
  EXPECT_EQ(t->divideRounded(9, 4), 2);
  EXPECT_EQ(t->divideRounded(5, 0), 0);
}

TEST(TunerDemodObjects, FactoryByTunerTypeAndDestructorTraces) {
  TraceScope traces;
  struct Row {
    ULONG type;
    const char* name;
    const char* finished;
    DemodMode mode;
  } rows[] = {
      {1, "CDVBTDemod", "~CDVBTDemod   finished  \n", DEMOD_MODE_DVBT2},
      {3, "ATSCDemod", "~ATSCDemod   finished  \n", DEMOD_MODE_ATSC},
      {4, "CDVBCDemod", "~CDVBCDemod   finished\n", DEMOD_MODE_DVBC},
      {5, "ISDBTDemod", "~ISDBTDemod   finished  \n", DEMOD_MODE_ISDBT},
      {6, "CMCNSDemod", "~CMCNSDemod   finished\n", DEMOD_MODE_J83B},
      {7, "CDVBC2Demod", "~CDVBC2Demod   finished  \n", DEMOD_MODE_DVBC2},
      {8, "ISDBCDemod", "~ISDBCDemod   finished\n", DEMOD_MODE_ISDBC},
  };
  const size_t before = host::pool::outstandingBlocks();
  for (const Row& r : rows) {
    Obj t = make(r.type, 3);
    ASSERT_TRUE(t) << r.type;
    CTunerDemodChannel* c = channel(t.get());
    EXPECT_STREQ(c->traits().className, r.name);
    EXPECT_EQ(c->traits().mode, r.mode);
    ASSERT_NE(t->demodPath(), nullptr);
    EXPECT_EQ(t->demodPath()->pathIndex, 3);
    EXPECT_EQ(c->pathIndex(), 3);
    EXPECT_EQ(host::pool::outstandingBlocks(), before + 2);  // object and path, both on the pool
    traces.clear();
    t.reset();
    EXPECT_TRUE(traces.has(r.finished)) << r.name;
    EXPECT_EQ(host::pool::outstandingBlocks(), before);
  }
  for (ULONG refused : {0u, 2u, 9u, 255u}) EXPECT_EQ(newTunerDemodObject(refused, 1), nullptr);
}

// A channel that never came up claims neither lock nor signal, whatever its family.
TEST(TunerDemodObjects, NoSignalBeforePowerUp) {
  TraceScope traces;
  for (ULONG type : {1u, 3u, 4u, 5u, 6u, 7u, 8u}) {
    Obj t = make(type);
    ULONG locked = 7;
    t->getLockStatus(&locked);
    EXPECT_EQ(locked, 0u) << type;
    EXPECT_EQ(t->getSignalStrength(), CTunerDemodType::kNoSignalStrength) << type;
    EXPECT_EQ(t->getSignalQuality(), CTunerDemodType::kNoSignalQuality) << type;
  }
  Obj t = make(1);
  // Commits before power-up tune nothing in the search classes, and say so.
  ULONG ok = 1;
  t->setFrequency(474000);
  t->commitChanges(&ok);
  EXPECT_EQ(ok, 0u);
  EXPECT_EQ(static_cast<CDVBTDemod*>(t.get())->lockedStandard(), 0u);
  EXPECT_FALSE(traces.has("frequency = 474000"));
}

TEST(TunerDemodObjects, PlpSelectionByClass) {
  TraceScope traces;
  UCHAR plp[4] = {3, 0xEE, 0xEE, 0xEE};
  for (ULONG type : {1u, 3u, 7u}) {
    Obj t = make(type);
    EXPECT_EQ(t->SetZYNPLPNumber(plp), 1u);
    EXPECT_TRUE(channel(t.get())->plpPending()) << type;
    EXPECT_EQ(channel(t.get())->plpId(), 3u);
  }
  EXPECT_TRUE(traces.has("*******CDVBTDemod::SetZYNPLPNumber********\n"));
  EXPECT_TRUE(traces.has("*******CDVBC2Demod::SetZYNPLPNumber: 3 \n"));
  for (ULONG type : {4u, 5u, 6u, 8u}) {
    Obj t = make(type);
    EXPECT_EQ(t->SetZYNPLPNumber(plp), 1u);
    EXPECT_FALSE(channel(t.get())->plpPending()) << type;
  }
  // Only the DVB-T object answers Get PLP; the others leave the reply as it was.
  UCHAR reply[CTunerDemodType::kPlpReplyBytes];
  memset(reply, 0xAB, sizeof reply);
  EXPECT_EQ(make(7)->GetZYNPLPNumber(reply), 1u);
  for (UCHAR b : reply) ASSERT_EQ(b, 0xAB);
}

TEST(TunerDemodObjects, MissingPathRecordFailsPowerUpAndStaysSafe) {
  TraceScope traces;
  host::pool::failNth(2);  // the object is the first allocation, its path the second
  Obj t = make(1);
  host::pool::clearFaults();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->demodPath(), nullptr);
  ULONG ok = 1;
  t->apiInitEnvironment(&ok);
  EXPECT_EQ(ok, 0u);
  t->setFrequency(474000);
  ok = 1;
  t->commitChanges(&ok);
  EXPECT_EQ(ok, 0u);  // nothing to tune with
  EXPECT_EQ(t->getSignalStrength(), CTunerDemodType::kNoSignalStrength);
  UCHAR reply[CTunerDemodType::kPlpReplyBytes];
  memset(reply, 0xAB, sizeof reply);
  EXPECT_EQ(t->GetZYNPLPNumber(reply), 1u);
  for (UCHAR b : reply) ASSERT_EQ(b, 0);
}

TEST(GlueTuneArgs, EachStandardGetsItsRecordValues) {
  Cxd6802TuneArgs a;
  ASSERT_TRUE(cxd6802_TuneArgsFor(DEMOD_MODE_DVBT, 474000, 6900, 7, 0x1234, &a));
  EXPECT_EQ(a.centerFreqKHz, 474000u);
  EXPECT_EQ(a.bandwidth, 7u);
  EXPECT_EQ(a.profile, 0u);
  EXPECT_EQ(a.dataPlpId, 0u);

  ASSERT_TRUE(cxd6802_TuneArgsFor(DEMOD_MODE_DVBT2, 474000, 0, 8, 0x1234, &a));
  EXPECT_EQ(a.bandwidth, 8u);
  EXPECT_EQ(a.dataPlpId, 0x34u);
  EXPECT_EQ(a.profile, 2u);

  ASSERT_TRUE(cxd6802_TuneArgsFor(DEMOD_MODE_DVBC, 306000, 6900, 6, 0, &a));
  EXPECT_EQ(a.bandwidth, 8u);  // cable is always 8 MHz

  ASSERT_TRUE(cxd6802_TuneArgsFor(DEMOD_MODE_DVBC2, 474000, 0, 6, 0x0105, &a));
  EXPECT_EQ(a.bandwidth, 6u);
  EXPECT_EQ(a.dataPlpId, 5u);
  EXPECT_EQ(a.dataSliceId + a.presetSearch + a.tunerFrequencyKHz, 0u);

  ASSERT_TRUE(cxd6802_TuneArgsFor(DEMOD_MODE_J83B, 621000, 5499, 0, 0, &a));
  EXPECT_EQ(a.bandwidth, kJ83bClassLow);
  ASSERT_TRUE(cxd6802_TuneArgsFor(DEMOD_MODE_J83B, 621000, 5500, 0, 0, &a));
  EXPECT_EQ(a.bandwidth, kJ83bClassHigh);

  for (auto [in, out] : {std::pair<UCHAR, ULONG>{5, 6}, {6, 6}, {7, 7}, {8, 8}, {9, 6}, {0, 6}}) {
    ASSERT_TRUE(cxd6802_TuneArgsFor(DEMOD_MODE_ISDBT, 557143, 0, in, 0, &a));
    EXPECT_EQ(a.bandwidth, out) << int(in);
  }

  ASSERT_TRUE(cxd6802_TuneArgsFor(DEMOD_MODE_ISDBC, 621000, 5274, 6, 0x1234, &a));
  EXPECT_EQ(a.streamId, 0x1234);
  EXPECT_EQ(a.streamIdExt, 11);
  EXPECT_EQ(a.tsmfSetting + a.streamSelectType + a.bandwidth, 0u);

  ASSERT_TRUE(cxd6802_TuneArgsFor(DEMOD_MODE_ATSC, 533000, 1, 6, 9, &a));
  EXPECT_EQ(a.centerFreqKHz, 533000u);
  EXPECT_EQ(a.bandwidth + a.streamId + a.dataPlpId, 0u);

  for (DemodMode bad : {0u, 9u, 0xFFFFFFFFu}) {
    a.centerFreqKHz = 1;
    EXPECT_FALSE(cxd6802_TuneArgsFor(bad, 474000, 0, 8, 0, &a));
    EXPECT_EQ(a.centerFreqKHz, 0u);
  }
  EXPECT_TRUE(cxd6802_ModeSupported(DEMOD_MODE_DVBT));
  EXPECT_FALSE(cxd6802_ModeSupported(0));
  EXPECT_FALSE(cxd6802_ModeSupported(9));
}

TEST(GlueConversions, EdgeValues) {
  EXPECT_EQ(cxd6802_RFLevelHundredths(-60509), -6050);
  EXPECT_EQ(cxd6802_RFLevelHundredths(-9), 0);
  EXPECT_EQ(cxd6802_QualityFromSnr(30000), 45);
  EXPECT_EQ(cxd6802_QualityFromSnr(-1000), -1);
  EXPECT_EQ(cxd6802_QualityFromSnr(65535), 100);
  EXPECT_EQ(cxd6802_QualityFromSnr(0), 0);
  EXPECT_EQ(cxd6802_QualityFromSnr(65534), 99);
}
