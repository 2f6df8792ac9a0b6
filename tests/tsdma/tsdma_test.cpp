// The transport-stream path end to end on the emulation: the card's DMA, the ISR, the DMA DPCs, the rings and
// the frames a client reads from a capture pin of the test's own. Sources number their packets, so every
// delivered byte is checked against what the card wrote.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hw/dma_regs.h"
#include "hw/irq_regs.h"
#include "platform/host/clock.h"
#include "platform/host/host.h"
#include "platform/host/ks/ks_host.h"
#include "platform/host/pnp.h"
#include "sim/card.h"
#include "tests/tsdma/stream_rig.h"
#include "trace/trace.h"
#include "zadivo/device.h"

namespace {

using namespace std::chrono_literals;
using tsdma_rig::Capture;
using tsdma_rig::SeqSource;
using tsdma_rig::StreamCheck;

constexpr auto kWait = 10s;                   // generous bound on any awaited state
constexpr uint64_t kFastBitrate = 400000000;  // short block periods; the gate sets the pace

struct Access {
  char rw;
  uint32_t offset;
  uint32_t value;
};

// The card with a register trace, and a way to show the ISR status bits the model never raises by itself.
class TsCard final : public sim::Card {
 public:
  explicit TsCard(const sim::CardConfig& cfg) : sim::Card(cfg) {
    setMmioTraceSink([this](const std::string& line) {
      Access a{};
      unsigned off = 0, val = 0;
      if (std::sscanf(line.c_str(), "%c 0x%x 0x%x", &a.rw, &off, &val) == 3) {
        a.offset = off;
        a.value = val;
        std::lock_guard<std::mutex> g(m);
        log.push_back(a);
      }
    });
  }
  uint32_t mmioRead(int bar, uint32_t offset) override {
    const uint32_t v = sim::Card::mmioRead(bar, offset);
    if (bar == 0 && lapAt.load() != 0 && offset == lapAt.load() && ++lapReads == 2) {
      lapAt = 0;  // the second read of the channel's counter: the card comes round meanwhile
      lap();
      return sim::Card::mmioRead(bar, offset);
    }
    return (bar == 0 && offset == hw::irq::kStatus) ? v | extraStatus.load() : v;
  }
  std::vector<Access> accesses() {
    std::lock_guard<std::mutex> g(m);
    return log;
  }
  void clearLog() {
    std::lock_guard<std::mutex> g(m);
    log.clear();
  }

  std::atomic<uint32_t> extraStatus{0};
  // When set, the second read of this register runs lap() before it is answered.
  std::atomic<uint32_t> lapAt{0};
  std::atomic<int> lapReads{0};
  std::function<void()> lap;

 private:
  std::mutex m;
  std::vector<Access> log;
};

template <class Pred>
bool waitFor(Pred pred, std::chrono::milliseconds bound = kWait) {
  const auto end = std::chrono::steady_clock::now() + bound;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(100us);
  }
  return true;
}

// Frames a client has once B blocks went into an empty ring: a frame leaves only when more than a frame is
// held, so the last block stays behind.
uint64_t framesAfter(uint64_t blocks) { return blocks ? (blocks - 1) / 2 : 0; }

class TsdmaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::setAssertHandler([](const char* report) { ADD_FAILURE() << report; });
    host::trace::capture();
    host::trace::clear();
    host::pool::clearFaults();
    host::clock::setScale(0.02);
    ZadivoTraceLevel = 1;
    ASSERT_EQ(pnp.loadDriver(DriverEntry), STATUS_SUCCESS);
    sim::CardConfig cfg;
    cfg.echoErrors = false;
    card = std::make_unique<TsCard>(cfg);
    ASSERT_EQ(pnp.addCard(*card), STATUS_SUCCESS);
    ASSERT_EQ(pnp.start(*card), STATUS_SUCCESS);
    ASSERT_EQ(tsdma_rig::createCaptureFactory(pnp.ksDevice(*card)), STATUS_SUCCESS);
    device = static_cast<Device*>(pnp.ksDevice(*card)->Context);
  }
  void TearDown() override {
    host::dpc::resume();
    for (auto& s : sources)
      if (s) s->release();
    for (auto& c : captures) c.close();
    host::Leftovers left;
    if (card) {
      EXPECT_EQ(pnp.remove(*card, &left), STATUS_SUCCESS);
      EXPECT_TRUE(left.clean());
      const auto errors = card->errors();
      EXPECT_TRUE(errors.empty()) << errors.front();
    }
    card.reset();
    EXPECT_EQ(host::pool::outstandingBlocks(), 0u) << host::pool::report();
    EXPECT_EQ(host::ks::livePins(), 0u);
    host::setAssertHandler({});
  }

  // Channel n streams numbered packets into a fresh capture pin; gated sources start held at block 0.
  SeqSource& stream(int n, bool gated, uint64_t bitrate = kFastBitrate) {
    sources[n] = std::make_shared<SeqSource>(n, bitrate, card.get());
    if (gated) sources[n]->gate(0);
    card->setChannelSource(n, sources[n]);
    EXPECT_EQ(captures[n].open(pnp.driverObject()), STATUS_SUCCESS);
    checks[n].channel = n;
    captures[n].start(device, n);
    return *sources[n];
  }
  // Lets the card complete `blocks` more blocks on channel n and waits until it has.
  void produce(int n, uint64_t blocks) {
    const uint64_t target = card->dmaStats(n).blocks + blocks;
    sources[n]->gate(static_cast<int64_t>(blocks));
    ASSERT_TRUE(waitFor([&] { return card->dmaStats(n).blocks >= target; })) << "card stuck on channel " << n;
  }
  // Reads frames of channel n into its check until it has `total` of them.
  void readUntil(int n, uint64_t total) {
    std::vector<UCHAR> frame;
    while (checks[n].frames < total) {
      ASSERT_EQ(captures[n].pin->readFrame(frame, kWait), STATUS_SUCCESS)
          << "channel " << n << " frame " << checks[n].frames;
      checks[n].frame(frame);
    }
  }
  // Reads what is there now (a wait of `quiet` with nothing new ends it).
  void drain(int n, std::chrono::milliseconds quiet = 200ms) {
    std::vector<UCHAR> frame;
    while (captures[n].pin->readFrame(frame, quiet) == STATUS_SUCCESS) checks[n].frame(frame);
  }
  std::string traceText() { return host::trace::text(); }

  host::PnpManager pnp;
  std::unique_ptr<TsCard> card;
  Device* device = nullptr;
  std::shared_ptr<SeqSource> sources[8];
  Capture captures[8];
  StreamCheck checks[8];
};

// ---- Interrupt service routine

TEST_F(TsdmaTest, IsrDeclinesSpuriousAndForeignStatusButRearms) {
  const ULONG vector = card->interruptVector();
  struct Case {
    uint32_t status;
    const char* what;
  };
  // The model raises only bits 0..11; the high bits are shown through the status read.
  for (Case c : {Case{0, "zero status (shared line)"}, Case{0xFFFFF000, "bits 12..31 only"}}) {
    SCOPED_TRACE(c.what);
    card->extraStatus = c.status;
    card->clearLog();
    const uint64_t calls = host::irq::isrCalls(), claimed = host::irq::isrClaimed();
    KeFlushQueuedDpcs();
    host::dpc::pause();
    ASSERT_TRUE(host::irq::raiseSpurious(vector));
    ASSERT_TRUE(waitFor([&] { return host::irq::isrCalls() > calls; }));
    EXPECT_EQ(host::irq::isrClaimed(), claimed);
    EXPECT_EQ(host::dpc::queuedCount(), 0u) << "no DPC for a call that is not the card's";
    host::dpc::resume();
    const auto log = card->accesses();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].rw, 'r');
    EXPECT_EQ(log[0].offset, hw::irq::kStatus);
    EXPECT_EQ(log[1].rw, 'w');
    EXPECT_EQ(log[1].offset, hw::irq::kStatus);
    EXPECT_EQ(log[1].value, c.status) << "the value read is written back";
    EXPECT_EQ(log[2].rw, 'w');
    EXPECT_EQ(log[2].offset, hw::irq::kMasterEnable);
    EXPECT_EQ(log[2].value, 1u);
  }
  card->extraStatus = 0;
}

TEST_F(TsdmaTest, IsrQueuesTheDpcOfEachSetBitOnce) {
  const ULONG vector = card->interruptVector();
  KeFlushQueuedDpcs();  // nothing else queues DPCs in this test: the counts below are exact
  host::dpc::pause();
  card->extraStatus = hw::irq::kCardBits | 0x5000;  // all twelve bits, and two foreign ones
  const uint64_t runs = host::dpc::runCount(), claimed = host::irq::isrClaimed();
  for (int i = 1; i <= 2; ++i) {
    const uint64_t calls = host::irq::isrCalls();
    ASSERT_TRUE(host::irq::raiseSpurious(vector));
    ASSERT_TRUE(waitFor([&] { return host::irq::isrCalls() > calls; }));
    EXPECT_EQ(host::irq::isrClaimed(), claimed + i);
    EXPECT_EQ(host::dpc::queuedCount(), 12u) << "a queued DPC is not queued again";
  }
  card->extraStatus = 0;
  host::dpc::resume();
  ASSERT_TRUE(waitFor([&] { return host::dpc::queuedCount() == 0 && host::dpc::runCount() >= runs + 12; }));
  std::this_thread::sleep_for(20ms);  // room for a wrong extra run to show
  EXPECT_EQ(host::dpc::runCount(), runs + 12);
}

TEST_F(TsdmaTest, PausedDpcsRunOnlyAfterResume) {
  KeFlushQueuedDpcs();
  host::dpc::pause();
  const uint64_t runs = host::dpc::runCount();
  card->extraStatus = hw::irq::kDmaBit(3);
  ASSERT_TRUE(host::irq::raiseSpurious(card->interruptVector()));
  ASSERT_TRUE(waitFor([&] { return host::dpc::queuedCount() == 1; }));
  card->extraStatus = 0;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(host::dpc::queuedCount(), 1u);
  EXPECT_EQ(host::dpc::runCount(), runs);
  host::dpc::resume();
  EXPECT_TRUE(waitFor([&] { return host::dpc::runCount() == runs + 1 && host::dpc::queuedCount() == 0; }));
}

// ---- Channel registers

TEST_F(TsdmaTest, ChannelEUsesItsBlockAndEnableAndStopTracesAnyBase) {
  card->clearLog();
  host::trace::clear();
  ASSERT_EQ(captures[4].open(pnp.driverObject()), STATUS_SUCCESS);
  captures[4].start(device, 4);
  // An ISR finishing an earlier interrupt may touch status and master enable meanwhile: not the channel's.
  auto log = card->accesses();
  std::erase_if(log, [](const auto& a) { return a.offset == 0xC000u || a.offset == 0xC004u; });
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].rw, 'r');
  EXPECT_EQ(log[0].offset, 0x8800u);
  EXPECT_EQ(log[1].rw, 'w');
  EXPECT_EQ(log[1].offset, 0xC028u);
  EXPECT_EQ(log[1].value, 1u);
  EXPECT_EQ(log[2].rw, 'w');
  EXPECT_EQ(log[2].offset, 0x8800u);
  EXPECT_EQ(log[2].value, 1u);
  EXPECT_NE(traceText().find("@@@@@@@@@@startTS4 \n"), std::string::npos);
  EXPECT_EQ(device->_channel[4].p_pin, captures[4].pin->ksPin());
  EXPECT_TRUE(device->_channel[4].running);

  card->clearLog();
  host::trace::clear();
  device->stopTS(0x8800);
  log = card->accesses();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1].offset, 0xC028u);
  EXPECT_EQ(log[1].value, 0u);
  EXPECT_EQ(log[2].offset, 0x8800u);
  EXPECT_EQ(log[2].value, 0u);
  EXPECT_FALSE(device->_channel[4].running);
  EXPECT_EQ(device->_channel[4].p_pin, captures[4].pin->ksPin()) << "the pin is kept";
  EXPECT_NE(traceText().find("@@@@@@@@@@@@@@@@stopTS\n"), std::string::npos);

  // A base of no channel: read and stop written there all the same, no enable touched, no flag cleared.
  ASSERT_EQ(captures[0].open(pnp.driverObject()), STATUS_SUCCESS);
  captures[0].start(device, 0);
  card->clearLog();
  host::trace::clear();
  device->stopTS(0x8400);
  log = card->accesses();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].rw, 'r');
  EXPECT_EQ(log[0].offset, 0x8400u);
  EXPECT_EQ(log[1].rw, 'w');
  EXPECT_EQ(log[1].offset, 0x8400u);
  EXPECT_EQ(log[1].value, 0u);
  EXPECT_TRUE(device->_channel[0].running);
  EXPECT_NE(traceText().find("@@@@@@@@@@@@@@@@stopTS\n"), std::string::npos);
  card->clearErrors();  // the card logs the unknown offset
}

// ---- Data path

// Blocks arrive in bursts of one to six, so DPC runs often find several completed blocks.
TEST_F(TsdmaTest, LongRunDeliversExactlyTheCardsBytesInOrder) {
  stream(2, true);
  const uint64_t kBlocks = 2000;
  uint64_t blocks = 0;
  for (uint64_t burst = 1; blocks < kBlocks; burst = burst % 6 + 1) {
    produce(2, burst);
    blocks += burst;
    readUntil(2, framesAfter(blocks));
    if (HasFatalFailure()) return;
  }
  const StreamCheck& c = checks[2];
  EXPECT_TRUE(c.faults.empty()) << c.faults.front();
  EXPECT_EQ(c.lostPackets, 0u);
  EXPECT_EQ(c.packets, framesAfter(blocks) * tsdma_rig::kPacketsPerFrame);
  EXPECT_EQ(card->dmaStats(2).blocks, blocks);
  EXPECT_EQ(card->dmaStats(2).errors, 0u);
}

// A DPC that runs late finds several completed blocks behind one interrupt and copies all of them.
TEST_F(TsdmaTest, DpcHeldBackForUpToSevenBlocksLosesNothing) {
  stream(5, true);
  uint64_t blocks = 0;
  for (uint64_t held : {2, 7, 5, 1, 7}) {
    SCOPED_TRACE(held);
    host::dpc::pause();
    produce(5, held);
    blocks += held;
    ASSERT_TRUE(waitFor([] { return host::dpc::queuedCount() >= 1; }));
    const uint64_t runs = host::dpc::runCount();
    host::dpc::resume();
    // The held DPC has run before the next hold starts (two holds in one run would be eight blocks or more).
    ASSERT_TRUE(waitFor([&] { return host::dpc::runCount() > runs && host::dpc::queuedCount() == 0; }));
    readUntil(5, framesAfter(blocks));
    if (HasFatalFailure()) return;
  }
  EXPECT_TRUE(checks[5].faults.empty()) << checks[5].faults.front();
  EXPECT_EQ(checks[5].lostPackets, 0u);
  EXPECT_EQ(checks[5].packets, framesAfter(blocks) * tsdma_rig::kPacketsPerFrame);
}

// Nobody reads: the 64 frames fill, then the ring, then whole blocks are dropped. When the reader comes back
// every frame is still 512 aligned packets and the holes are whole blocks.
TEST_F(TsdmaTest, SlowConsumerLosesWholeBlocksOnly) {
  stream(1, true);
  const uint64_t kFirst = 2 * tsdma_rig::kFrames + 40;  // past the frames and the ring
  // Each block waits for its DPC, not just its interrupt: a DPC held back by a loaded machine while the card
  // goes on would lose blocks to the card's own ring, which is not what this test is about.
  for (uint64_t i = 0; i < kFirst; ++i) {
    const uint64_t runs = host::dpc::runCount();
    produce(1, 1);
    ASSERT_TRUE(waitFor([&] {
      return (card->interruptStatus() & hw::irq::kDmaBit(1)) == 0 && host::dpc::runCount() > runs &&
             host::dpc::queuedCount() == 0;
    }));
  }
  drain(1);
  // The frames, plus what the ring held when a late DPC found frames returned by the reader.
  EXPECT_GE(checks[1].frames, tsdma_rig::kFrames);
  EXPECT_LE(checks[1].frames, tsdma_rig::kFrames + kTsRingCapacity / kTsFrameBytes);
  EXPECT_EQ(checks[1].lostPackets, 0u) << "the frames and the ring hold the first blocks";
  // The reader keeps up from now on: the ring drains into the frames.
  uint64_t blocks = kFirst;
  for (int i = 0; i < 60; ++i) {
    produce(1, 2);
    blocks += 2;
    drain(1, 0ms);
  }
  drain(1);
  const StreamCheck& c = checks[1];
  EXPECT_TRUE(c.faults.empty()) << c.faults.front();
  EXPECT_GT(c.lostPackets, 0u);
  EXPECT_TRUE(c.gapsWholeBlocks);
  EXPECT_EQ(c.packets + c.lostPackets, c.nextSeq);
  EXPECT_LE(c.nextSeq, blocks * tsdma_rig::kPacketsPerBlock);
  EXPECT_GE(c.frames, tsdma_rig::kFrames + 30);
}

// Seven blocks wait for a late DPC; while it copies the first, the card writes three more, round into the
// slots still to be copied. The counter read after the copy shows it: the slots the card has started since
// are dropped as whole blocks, counted, and the stream goes on in order with the new lap.
TEST_F(TsdmaTest, DpcLappedByTheCardDropsTheOverwrittenBlocksWhole) {
  stream(3, true);
  host::dpc::pause();
  produce(3, 7);
  ASSERT_TRUE(waitFor([] { return host::dpc::queuedCount() >= 1; }));
  card->lap = [&] {
    sources[3]->gate(3);
    waitFor([&] { return card->dmaStats(3).blocks >= 10; });
  };
  card->lapAt = hw::dma::kBlockBase[3] + hw::dma::kControl;
  host::dpc::resume();
  readUntil(3, 3);  // blocks 3..6, then 7..9 from the next run
  ASSERT_FALSE(HasFatalFailure());
  drain(3);
  const StreamCheck& c = checks[3];
  EXPECT_TRUE(c.faults.empty()) << c.faults.front();
  EXPECT_EQ(c.lostPackets, 3 * tsdma_rig::kPacketsPerBlock) << "slots 0, 1 and 2";
  EXPECT_TRUE(c.gapsWholeBlocks);
  EXPECT_EQ(device->_lapped_blocks[3], 3u);
}

// A channel stopped and started again starts an empty stream: the block the ring kept from the last run is
// dropped whole, the new run comes from its first block on, and nothing from slots it has not written.
TEST_F(TsdmaTest, RestartDeliversNoStaleBlocks) {
  stream(6, true);
  produce(6, 5);
  readUntil(6, framesAfter(5));
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_EQ(captures[6].pin->setState(KSSTATE_STOP), STATUS_SUCCESS);  // stops the channel
  EXPECT_FALSE(device->_channel[6].running);
  ASSERT_EQ(captures[6].pin->setState(KSSTATE_RUN), STATUS_SUCCESS);
  captures[6].start(device, 6);
  produce(6, 4);
  readUntil(6, framesAfter(5) + framesAfter(4));
  ASSERT_FALSE(HasFatalFailure());
  drain(6);
  EXPECT_TRUE(checks[6].faults.empty()) << checks[6].faults.front();
  EXPECT_EQ(checks[6].lostPackets, tsdma_rig::kPacketsPerBlock) << "the last run's rest, and nothing else";
  EXPECT_EQ(checks[6].frames, framesAfter(5) + framesAfter(4));
}

// The card releases its line before an acknowledging write returns, so however its DMA and the ISR
// interleave the ISR is never called for a level it has already served.
TEST_F(TsdmaTest, EveryIsrCallFindsStatusBitsWhileEightChannelsStream) {
  const uint64_t calls = host::irq::isrCalls(), claimed = host::irq::isrClaimed();
  for (int n = 0; n < 8; ++n) stream(n, false, 40000000);
  for (int n = 0; n < 8; ++n) readUntil(n, 20);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_GT(host::irq::isrCalls() - calls, 100u);
  EXPECT_EQ(host::irq::isrCalls() - calls, host::irq::isrClaimed() - claimed);
}

// ---- Teardown under load

TEST_F(TsdmaTest, StopAndRemoveWhileEightChannelsStream) {
  for (int n = 0; n < 8; ++n) stream(n, false, 40000000);
  for (int n = 0; n < 8; ++n) readUntil(n, 3);
  ASSERT_FALSE(HasFatalFailure());
  for (int n = 0; n < 8; ++n) ASSERT_TRUE(card->dmaStats(n).running) << n;

  host::Leftovers left;
  ASSERT_EQ(pnp.stop(*card), STATUS_SUCCESS);
  for (int n = 0; n < 8; ++n) {
    EXPECT_FALSE(card->dmaStats(n).running) << n;
    EXPECT_FALSE(device->_channel[n].running) << n;
  }
  EXPECT_EQ(host::ks::livePins(), 0u) << "the stop closed the capture pins";
  ASSERT_EQ(pnp.remove(*card, &left), STATUS_SUCCESS);
  EXPECT_TRUE(left.clean());
  EXPECT_TRUE(card->errors().empty()) << card->errors().front();
  EXPECT_EQ(host::pool::outstandingBlocks(), 0u) << host::pool::report();
  for (int n = 0; n < 8; ++n) {
    std::vector<UCHAR> frame;
    NTSTATUS s;
    while ((s = captures[n].pin->readFrame(frame, 1s)) == STATUS_SUCCESS) checks[n].frame(frame);
    EXPECT_EQ(s, STATUS_DEVICE_NOT_CONNECTED) << n;
    EXPECT_TRUE(checks[n].faults.empty()) << n << ": " << checks[n].faults.front();
    EXPECT_TRUE(checks[n].gapsWholeBlocks) << n;
  }
  // Whatever the DMA thread still does must not reach freed memory.
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(card->errors().empty());
  for (auto& s : sources) s.reset();  // they point at the card, which goes first here
  card.reset();
}

}  // namespace
