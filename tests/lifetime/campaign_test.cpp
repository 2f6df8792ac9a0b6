// Campaigns over a card's whole life: every allocation failed in turn; NAK bursts on the bus (address phases
// and data bytes) on every standard, then a clean bus; eight channels re-tuning, streaming and reporting at
// once (the race hunt for ThreadSanitizer). Each prints its figures.
#include <cstdio>
#include <mutex>

#include "tests/lifetime/rig.h"

using namespace lifetime_test;

namespace {

// ---- Every allocation of a card's life failed in turn -----------------------------------------------------

// The operations of one life, in order.
enum Op { kStart, kGraph, kTypeChange, kSecondGraph, kTune, kTeardown, kOps };
const char* const kOpNames[kOps] = {"start",        "graph", "tuner-type change",
                                    "second graph", "tune",  "teardown"};

class AllocationSweep : public Rig {
 protected:
  // One life of a card with the n-th allocation failing (0: none): start, a graph on channel A, a tuner-type
  // change asked through it, a graph on channel B from the new factory, a tune there, stop, remove. The first
  // operation that fails must have failed cleanly (checked, then shown by doing it again, which must work);
  // the life ends there. Returns that operation, or kOps when none failed.
  Op life(uint64_t n) {
    startWithType(1, false);
    EXPECT_EQ(host::pool::outstandingBlocks(), 0u);
    if (n) host::pool::failNth(n);
    Op failed = lifeUntilAFailure();
    host::pool::clearFaults();
    graphs.clear();
    host::Leftovers left;
    EXPECT_EQ(machine->remove(0, &left), STATUS_SUCCESS);
    EXPECT_TRUE(left.clean());
    EXPECT_EQ(host::pool::outstandingBlocks(), 0u) << "after failing allocation " << n << "\n"
                                                   << host::pool::report();
    return failed;
  }

  Op lifeUntilAFailure() {
    const NTSTATUS start = machine->start(0);
    expectWholeOrNothing(start);
    if (!NT_SUCCESS(start)) {
      host::pool::clearFaults();
      EXPECT_EQ(machine->start(0), STATUS_SUCCESS);
      EXPECT_TRUE(everyChannelListedOnce());
      return kStart;
    }

    const size_t filters = host::ks::liveFilters(), pins = host::ks::livePins();
    graphs.push_back(std::make_unique<Graph>());
    Graph& a = *graphs.back();
    if (!NT_SUCCESS(host::client::buildGraph(tunerInfo(1), a))) {
      EXPECT_EQ(host::ks::liveFilters(), filters);
      EXPECT_EQ(host::ks::livePins(), pins);
      host::pool::clearFaults();
      EXPECT_EQ(host::client::buildGraph(tunerInfo(1), a), STATUS_SUCCESS);
      return kGraph;
    }

    if (!NT_SUCCESS(setTunerType(*a.antenna, 4))) {
      EXPECT_EQ(storedTunerType(), 1);
      EXPECT_EQ(runningTypes(), std::vector<ULONG>(8, 1));
      EXPECT_TRUE(everyChannelListedOnce());
      host::pool::clearFaults();
      EXPECT_EQ(setTunerType(*a.antenna, 4), STATUS_SUCCESS);
      return kTypeChange;
    }
    EXPECT_EQ(storedTunerType(), 4);
    EXPECT_EQ(runningTypes(), std::vector<ULONG>(8, 4));
    EXPECT_TRUE(everyChannelListedOnce());

    graphs.push_back(std::make_unique<Graph>());
    Graph& b = *graphs.back();
    if (!NT_SUCCESS(host::client::buildGraph(tunerInfo(2), b))) {
      host::pool::clearFaults();
      EXPECT_EQ(host::client::buildGraph(tunerInfo(2), b), STATUS_SUCCESS);
      return kSecondGraph;
    }

    EXPECT_EQ(b.antenna->setState(KSSTATE_RUN), STATUS_SUCCESS);
    if (!NT_SUCCESS(tuneTo(b, multiplex(multiplexFor(4)), 4))) return kTune;
    EXPECT_TRUE(waitLocked(b));
    graphs.clear();
    EXPECT_EQ(machine->stop(0), STATUS_SUCCESS);
    return kOps;
  }
};

TEST_F(AllocationSweep, EveryOperationSucceedsWhollyOrFailsCleanlyAndNothingLeaks) {
  const uint64_t before = host::pool::allocationCount();
  ASSERT_EQ(life(0), kOps);
  const uint64_t perLife = host::pool::allocationCount() - before;
  size_t failures[kOps + 1] = {};
  uint64_t injected = 0;
  for (uint64_t n = 1; !HasFailure(); ++n) {
    const uint64_t injectedBefore = host::pool::injectedFailures();
    const Op failed = life(n);
    injected += host::pool::injectedFailures() - injectedBefore;
    ++failures[failed];
    if (host::pool::injectedFailures() == injectedBefore) break;  // n went past the last allocation
    ASSERT_LE(n, perLife) << "more allocations than a clean life makes";
  }
  std::printf("allocation sweep: %llu failures injected;", static_cast<unsigned long long>(injected));
  for (int op = 0; op < kOps; ++op) std::printf(" %s %zu,", kOpNames[op], failures[op]);
  std::printf(" none failed %zu; leaks 0\n", failures[kOps]);
  EXPECT_GT(injected, 0u);
}

// ---- NAK bursts on every standard, then a clean bus
// --------------------------------------------------------

class NakBursts : public Rig, public ::testing::WithParamInterface<ULONG> {};

constexpr int kBurstsPerChannel = 5;
constexpr double kNakRate = 0.10;      // of address phases
constexpr double kDataNakRate = 0.01;  // of data bytes, either direction

TEST_P(NakBursts, EveryChannelTunesAndStreamsAgainAndNoFailureIsReportedAsSuccess) {
  const ULONG type = GetParam();
  startWithType(static_cast<UCHAR>(type));
  const sim::Multiplex mux = multiplex(multiplexFor(type));
  Graph* g[8];
  for (ULONG c = 0; c < 8; ++c) g[c] = &graph(c + 1);

  std::atomic<int> reported{0}, refused{0}, lied{0};
  // One thread per I2C master: each owns its bus's faults; the two channels of a master take turns.
  auto master = [&](ULONG k) {
    sim::I2cBus& bus = machine->card(0).i2cBus(static_cast<int>(k));
    for (ULONG c = 2 * k; c < 2 * k + 2; ++c) {
      Graph& ch = *g[c];
      const UCHAR main = cxd6802_SlaveAddress(c + 1);
      const UCHAR addresses[] = {main, UCHAR(main + 4), UCHAR(main - 0x40), UCHAR(main + 0x58), 0xC0};
      EXPECT_EQ(ch.antenna->setState(KSSTATE_RUN), STATUS_SUCCESS);
      for (int burst = 0; burst < kBurstsPerChannel; ++burst) {
        for (UCHAR a : addresses) {
          bus.nakAtRate(a, kNakRate, type * 1000 + c * 10 + burst);
          bus.nakDataAtRate(a, kDataNakRate, type * 1000 + c * 10 + burst + 500);
        }
        const NTSTATUS s = tuneTo(ch, mux, type);
        bus.clearFaults();
        if (NT_SUCCESS(s)) {
          ++reported;
          // A commit that says it tuned left the channel tuned: on a clean bus it locks with no new commit.
          if (!waitLocked(ch)) ++lied;
        } else {
          ++refused;
          EXPECT_EQ(s, STATUS_UNSUCCESSFUL) << "channel " << c + 1;
        }
      }
      EXPECT_EQ(tuneTo(ch, mux, type), STATUS_SUCCESS) << "channel " << c + 1;
      EXPECT_TRUE(waitLocked(ch)) << "channel " << c + 1 << ": "
                                  << machine->frontEnds(0).demod(static_cast<int>(c + 1)).fault();
    }
  };
  std::vector<std::thread> threads;
  for (ULONG k = 0; k < 4; ++k) threads.emplace_back(master, k);
  for (auto& t : threads) t.join();
  // Then every channel streams, all at once.
  threads.clear();
  for (ULONG c = 0; c < 8; ++c) threads.emplace_back([&, c] { streamsAFrame(*g[c], c + 1); });
  for (auto& t : threads) t.join();
  std::printf("NAK bursts, tuner type %u: %d commits under NAKs, %d reported tuned, %d refused, %d lied\n",
              static_cast<unsigned>(type), reported + refused, reported.load(), refused.load(), lied.load());
  EXPECT_EQ(lied, 0);
}

INSTANTIATE_TEST_SUITE_P(EveryFamily, NakBursts, ::testing::Values(1u, 3u, 4u, 5u, 6u, 7u, 8u),
                         [](const auto& info) { return "Type" + std::to_string(info.param); });

// ---- Eight channels at once ----------------------------------------------------------------------------

// Under ThreadSanitizer (make tsan) this is the race hunt; elsewhere it shows the channels do not disturb
// one another.
TEST_F(Rig, EightChannelsRetuneStreamAndReportAtOnce) {
  startWithType(1);
  const sim::Multiplex muxes[2] = {multiplex("DVB-T 474 MHz"), multiplex("DVB-T2 538 MHz PLP 0")};
  Graph* g[8];
  for (ULONG c = 0; c < 8; ++c) g[c] = &graph(c + 1);
  auto channel = [&](ULONG c) {
    Graph& ch = *g[c];
    EXPECT_EQ(ch.antenna->setState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(ch.transport->setState(KSSTATE_RUN), STATUS_SUCCESS);
    for (int round = 0; round < 4; ++round) {
      const sim::Multiplex& m = muxes[(c + round) % 2];
      EXPECT_EQ(tuneTo(ch, m, 1), STATUS_SUCCESS) << "channel " << c + 1 << " round " << round;
      EXPECT_TRUE(waitLocked(ch)) << "channel " << c + 1 << " round " << round;
      ULONG strength = 0, quality = 0;
      EXPECT_EQ(get(*ch.antenna, 0, kStats, KSPROPERTY_BDA_SIGNAL_STRENGTH, strength), STATUS_SUCCESS);
      EXPECT_EQ(get(*ch.transport, 1, kStats, KSPROPERTY_BDA_SIGNAL_QUALITY, quality), STATUS_SUCCESS);
      EXPECT_NE(quality, 0u);
      streamsAFrame(ch, c + 1);
    }
  };
  std::vector<std::thread> threads;
  for (ULONG c = 0; c < 8; ++c) threads.emplace_back(channel, c);
  for (auto& t : threads) t.join();
}

}  // namespace
