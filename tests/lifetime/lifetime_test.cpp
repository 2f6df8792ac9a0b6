// Failures the card must survive without lying or losing its footing: a tuner-type change that fails part
// way, tuner-type changes over and over, stop and remove while a commit is tuning, a failed transfer in the
// demodulator's sleep step, and a byte refused in the middle of a long transfer.
#include <cstring>
#include <functional>
#include <ostream>

#include "tests/lifetime/rig.h"

using namespace lifetime_test;

namespace {

constexpr ULONG kDvbtKHz = 474000;  // DVB-T: the DVB-T2 attempt fails, the channel sleeps and wakes as DVB-T

// ---- Start ----------------------------------------------------------------------------------------------

TEST_F(Rig, StartBringsUpEveryChannelOrFailsLeavingNothing) {
  startWithType(1, false);
  const uint64_t before = host::pool::allocationCount();
  ASSERT_EQ(machine->start(0), STATUS_SUCCESS);
  const uint64_t perStart = host::pool::allocationCount() - before;
  for (uint64_t n = 1; n <= perStart; ++n) {
    SCOPED_TRACE("failing allocation " + std::to_string(n));
    startWithType(1, false);  // a fresh machine; the last one removed its card
    host::pool::failNth(n);
    const NTSTATUS start = machine->start(0);
    host::pool::clearFaults();
    expectWholeOrNothing(start);
  }
}

// ---- Tuner-type change ----------------------------------------------------------------------------------

// Where a change fails: the EEPROM write, the first allocation of the change, or its last one.
enum class Failure { kEeprom, kFirstAllocation, kLastAllocation };

class FailedTypeChange : public Rig, public ::testing::WithParamInterface<Failure> {};

TEST_P(FailedTypeChange, AnswersTheFailureAndKeepsTheStoredAndRunningTypeAsTheyWere) {
  startWithType(1);
  Graph& g = graph(1);
  // A change to the type already running allocates what a change to any other type does.
  const uint64_t before = host::pool::allocationCount();
  ASSERT_EQ(setTunerType(*g.antenna, 1), STATUS_SUCCESS);
  const uint64_t changeAllocations = host::pool::allocationCount() - before;
  const size_t factories = host::ks::liveFactories();

  switch (GetParam()) {
    case Failure::kEeprom:
      machine->card(0).eeprom().holdBusy(true);
      break;
    case Failure::kFirstAllocation:
      host::pool::failNth(1);
      break;
    case Failure::kLastAllocation:
      host::pool::failNth(changeAllocations);
      break;
  }
  EXPECT_FALSE(NT_SUCCESS(setTunerType(*g.antenna, 4)));
  host::pool::clearFaults();
  machine->card(0).eeprom().holdBusy(false);

  EXPECT_EQ(storedTunerType(), 1);
  EXPECT_EQ(runningTypes(), std::vector<ULONG>(8, 1));
  EXPECT_TRUE(everyChannelListedOnce());
  EXPECT_EQ(host::ks::liveFactories(), factories);
  // Nothing was torn down under the filter that asked: it tunes on.
  tunesLocksAndStreams(g, 1, 1);
}

INSTANTIATE_TEST_SUITE_P(Where, FailedTypeChange,
                         ::testing::Values(Failure::kEeprom, Failure::kFirstAllocation,
                                           Failure::kLastAllocation));

// What an application sees after a change, without a restart: every channel's tuner listed once, each opening
// with the new family's demodulator; and the filter that asked, of the old family, tunes on until it closes.
TEST_F(Rig, TypeChangeUnderAnOpenFilterListsEightOpenableTunersOfTheNewType) {
  startWithType(1);
  Graph& g = graph(1);
  tuneAndRun(g, kDvbtKHz, 8);

  ASSERT_EQ(setTunerType(*g.antenna, 4), STATUS_SUCCESS);
  EXPECT_TRUE(everyChannelListedOnce());
  for (const auto& info : host::client::enumerate(KSCATEGORY_BDA_NETWORK_TUNER, machineId())) {
    std::unique_ptr<host::client::Filter> fresh;
    ASSERT_EQ(host::client::Filter::open(info, fresh), STATUS_SUCCESS);
    const KSFILTER_DESCRIPTOR* d = fresh->ksFilter()->Descriptor;
    ASSERT_EQ(d->NodeDescriptorsCount, 2u);
    EXPECT_TRUE(IsEqualGUID(*d->NodeDescriptors[1].Type, KSNODE_BDA_QAM_DEMODULATOR));
    EXPECT_EQ(fresh->close(), STATUS_SUCCESS);
  }

  tunesLocksAndStreams(g, 1, 1);
}

TEST_F(Rig, RepeatedTypeChangesLeaveFactoriesAndPoolAsTheyWere) {
  startWithType(1);
  const size_t factories = host::ks::liveFactories();
  const size_t pool = host::pool::outstandingBytes(kTagDevice);
  host::client::Filter* tuner = openTuner(1);
  std::unique_ptr<host::client::Pin> antenna;
  ASSERT_EQ(tuner->createPin(0, nullptr, 0, antenna), STATUS_SUCCESS);

  for (UCHAR type : {4, 1, 8, 1, 3, 1, 7, 1, 5, 1}) {
    ASSERT_EQ(setTunerType(*antenna, type), STATUS_SUCCESS) << int(type);
    EXPECT_EQ(runningTypes(), std::vector<ULONG>(8, type));
    EXPECT_TRUE(everyChannelListedOnce()) << int(type);
    // The asking filter still holds the tuner it was opened on, and that tuner's factory.
    EXPECT_EQ(host::ks::liveFactories(), factories + 1) << int(type);
  }
  antenna->close();
  tuner->close();
  EXPECT_EQ(host::ks::liveFactories(), factories);
  EXPECT_EQ(host::pool::outstandingBytes(kTagDevice), pool) << host::pool::report();
}

// ---- Stop and remove under a commit in flight ------------------------------------------------------------

class TeardownInFlight : public Rig, public ::testing::WithParamInterface<bool> {
 protected:
  void TearDown() override {
    host::dpc::resume();
    Rig::TearDown();
  }
};

TEST_P(TeardownInFlight, WaitsForTheCommitAndRefusesNewRequests) {
  const bool remove = GetParam();
  startWithType(1);
  Graph& g = graph(1);
  Graph& other = graph(2);
  ASSERT_EQ(g.antenna->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(g.antenna->setState(KSSTATE_RUN), STATUS_SUCCESS);

  // With the DPCs held back every transfer of the tune waits out its completion time-out: the commit stays
  // in flight until they run again.
  host::dpc::pause();
  host::trace::clear();
  std::atomic<int> order{0};
  int committed = 0, tornDown = 0;
  NTSTATUS commit = STATUS_PENDING;
  std::thread committer([&] {
    commit = tune(g, kDvbtKHz, 8);
    committed = ++order;
  });
  ASSERT_TRUE(
      waitFor([&] { return host::trace::text().find("Sending pre-channel change") != std::string::npos; }));
  std::thread teardown([&] {
    if (remove)
      machine->remove(0);
    else
      machine->stop(0);
    tornDown = ++order;
  });
  // Once the teardown has begun, a request on any filter of the card is refused before it reaches a tuner.
  EXPECT_TRUE(waitFor([&] {
    ULONG v = 0;
    return get(*other.antenna, 0, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, v) == STATUS_DEVICE_NOT_READY;
  }));
  host::dpc::resume();
  committer.join();
  teardown.join();
  EXPECT_LT(committed, tornDown) << "the teardown returned before the commit it had to wait for";
  EXPECT_TRUE(NT_SUCCESS(commit));
  EXPECT_EQ(host::ks::liveFilters(), 0u);
}

INSTANTIATE_TEST_SUITE_P(StopOrRemove, TeardownInFlight, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Remove" : "Stop"; });

// ---- The bus fails in the sleep step, then recovers -------------------------------------------------------

TEST_F(Rig, FailedSleepStepIsReportedAndTheNextTuneWorksOnceTheBusRecovers) {
  startWithType(1);
  Graph& g = graph(1);
  tuneAndRun(g, kDvbtKHz, 8);  // channel A now active in DVB-T

  // The next commit tries DVB-T2 first, which puts the DVB-T demodulator to sleep: its first transfer fails.
  sim::I2cBus& bus = machine->card(0).i2cBus(0);
  const UCHAR main = cxd6802_SlaveAddress(1);
  bus.nakAlways(main);
  bus.nakAlways(static_cast<UCHAR>(main + 4));
  EXPECT_EQ(tune(g, kDvbtKHz, 8), STATUS_UNSUCCESSFUL);
  bus.clearFaults();
  tunesLocksAndStreams(g, 1, 1);
}

TEST_F(Rig, ChannelWhoseTunerFailedToStartTunesOnceTheBusRecovers) {
  startWithType(1, false);
  sim::I2cBus& bus = machine->card(0).i2cBus(0);
  bus.nakAlways(0xC0);  // the tuners of channels A and B, behind their demodulators' repeaters
  ASSERT_EQ(machine->start(0), STATUS_SUCCESS);
  bus.clearFaults();
  tunesLocksAndStreams(graph(2), 1, 2);
}

// ---- A data byte refused in the first, a middle or the last operation of a long transfer ------------------

// The 7-byte MAC write (offset, then six bytes), the 6-byte MAC read (2 + 4 bytes), DVB-C's 15-byte band
// block on the main slave (3 + 6 + 6) and the tuner's 21-byte power-on block (3 + 6 + 6 + 6).
enum class Transfer { kMacWrite, kMacRead, kBandBlock, kPowerOn };
struct DataNak {
  const char* name;
  Transfer transfer;
  uint32_t position;  // of the refused byte in the transfer
};
void PrintTo(const DataNak& c, std::ostream* os) { *os << c.name; }

class LongTransferFault : public Rig, public ::testing::WithParamInterface<DataNak> {};

// The extended set's MAC member on the RF tuner node: the record (index, then the address at bytes 4..9) as
// the data of a set; after the request, with the address coming back at bytes 10..15 of the data, for a get.
NTSTATUS macRequest(host::client::Pin& antenna, bool set, UCHAR (&record)[16]) {
  struct {
    KSP_NODE node;
    UCHAR record[16];
  } req{};
  req.node.Property.Set = kPropSetExtended;
  req.node.Property.Id = 15;
  req.node.Property.Flags = (set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET) | KSPROPERTY_TYPE_TOPOLOGY;
  std::memcpy(req.record, record, sizeof record);
  return antenna.property(&req, set ? sizeof req.node : sizeof req, record, sizeof record).status;
}

// Refused on every attempt, the failure reaches the caller: the MAC property fails, the tune fails its
// commit. On a clean bus the same request then works.
TEST_P(LongTransferFault, ReachesTheCallerAndACleanBusWorksAgain) {
  const DataNak c = GetParam();
  constexpr uint64_t kEvery = UINT64_MAX;
  startWithType(4, false);
  sim::I2cBus& bus =
      machine->card(0).i2cBus(c.transfer == Transfer::kMacWrite || c.transfer == Transfer::kMacRead ? 3 : 0);
  if (c.transfer == Transfer::kPowerOn) bus.nakDataByte(0xC0, false, c.position, kEvery, 0x81);
  ASSERT_EQ(machine->start(0), STATUS_SUCCESS);
  Graph& g = graph(1);
  ASSERT_EQ(g.antenna->setState(KSSTATE_RUN), STATUS_SUCCESS);
  const sim::Multiplex mux = multiplex(multiplexFor(4));
  std::function<NTSTATUS()> request = [&] { return tuneTo(g, mux, 4); };
  switch (c.transfer) {
    case Transfer::kMacWrite:
    case Transfer::kMacRead: {
      const bool write = c.transfer == Transfer::kMacWrite;
      bus.nakDataByte(0xA0, !write, c.position, kEvery);
      request = [&, write] {
        UCHAR record[16] = {2, 0, 0, 0, 0x02, 0x5A, 0x44, 0x00, 0x00, 0x17};
        return macRequest(*g.antenna, write, record);
      };
      break;
    }
    case Transfer::kBandBlock:
      bus.nakDataByte(cxd6802_SlaveAddress(1), false, c.position, kEvery, 0xA6);
      break;
    case Transfer::kPowerOn:
      break;
  }
  const uint64_t naks = bus.naks();
  EXPECT_EQ(request(), STATUS_UNSUCCESSFUL);
  EXPECT_GT(bus.naks(), naks);
  bus.clearFaults();
  EXPECT_EQ(request(), STATUS_SUCCESS);
  if (c.transfer == Transfer::kMacWrite) {
    EXPECT_EQ(machine->card(0).eeprom().contents()[0x25], 0x17);
  } else if (c.transfer != Transfer::kMacRead) {
    EXPECT_TRUE(waitLocked(g));
  }
}

INSTANTIATE_TEST_SUITE_P(FirstMiddleLast, LongTransferFault,
                         ::testing::Values(DataNak{"MacWriteFirst", Transfer::kMacWrite, 0},
                                           DataNak{"MacWriteLast", Transfer::kMacWrite, 6},
                                           DataNak{"MacReadFirst", Transfer::kMacRead, 0},
                                           DataNak{"MacReadLast", Transfer::kMacRead, 5},
                                           DataNak{"BandBlockFirst", Transfer::kBandBlock, 1},
                                           DataNak{"BandBlockMiddle", Transfer::kBandBlock, 5},
                                           DataNak{"BandBlockLast", Transfer::kBandBlock, 14},
                                           DataNak{"PowerOnFirst", Transfer::kPowerOn, 1},
                                           DataNak{"PowerOnMiddle", Transfer::kPowerOn, 10},
                                           DataNak{"PowerOnLast", Transfer::kPowerOn, 20}),
                         [](const auto& info) { return std::string(info.param.name); });

// Refused once, the MAC write is sent again whole: the bytes before the refused one were programmed at the
// stop, and the next attempt waits out that write cycle instead of being refused inside it. Where the
// attempt falls against the cycle is the platform clock's business, so the outcome is checked at the
// suite's time scale and at real time.
class RefusedMacByte : public Rig, public ::testing::WithParamInterface<double> {};

TEST_P(RefusedMacByte, IsSentAgainWithTheWholeWrite) {
  startWithType(1);
  Graph& g = graph(3);
  sim::Card& card = machine->card(0);
  sim::I2cBus& bus = card.i2cBus(3);
  bus.nakDataByte(0xA0, false, 6);
  const uint64_t naks = bus.naks();
  const uint64_t cycles = card.eeprom().writeCycles();
  UCHAR record[16] = {8, 0, 0, 0, 1, 2, 3, 4, 5, 6};
  const double suiteScale = host::clock::scale();
  if (GetParam() > 0) host::clock::setScale(GetParam());
  const NTSTATUS status = macRequest(*g.antenna, true, record);
  host::clock::setScale(suiteScale);
  EXPECT_EQ(status, STATUS_SUCCESS);
  const auto eeprom = card.eeprom().contents();
  EXPECT_EQ(std::vector<uint8_t>(eeprom.begin() + 0x80, eeprom.begin() + 0x86),
            std::vector<uint8_t>({1, 2, 3, 4, 5, 6}));
  EXPECT_GT(bus.naks(), naks);
  // The cut-short attempt's five bytes, then the whole record.
  EXPECT_EQ(card.eeprom().writeCycles(), cycles + 2);
}

INSTANTIATE_TEST_SUITE_P(TimeScales, RefusedMacByte, ::testing::Values(0.0, 1.0),
                         [](const auto& info) { return info.param > 0 ? "RealTime" : "SuiteScale"; });

}  // namespace
