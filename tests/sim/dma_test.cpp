// The DMA engine: where blocks land, the block counter, status bits, refused writes, stalls and stops.
#include <gtest/gtest.h>

#include "hw/dma_regs.h"
#include "hw/irq_regs.h"
#include "sim_test_util.h"

using namespace simtest;

namespace {

// Numbered packets: bytes 4..11 hold the packet's sequence number, so order and gaps are visible.
class CountingSource : public sim::TsSource {
 public:
  explicit CountingSource(uint64_t bps) : bps_(bps) {}
  void fill(uint8_t* dst, size_t packets) override {
    if (hold) hold();
    for (size_t i = 0; i < packets; ++i, ++seq_) {
      uint8_t* p = dst + i * sim::kTsPacket;
      std::memset(p, 0, sim::kTsPacket);
      p[0] = 0x47;
      std::memcpy(p + 4, &seq_, sizeof seq_);
    }
  }
  uint64_t bitrate() const override { return bps_; }
  std::function<void()> hold;

 private:
  uint64_t bps_;
  uint64_t seq_ = 0;
};

uint64_t seqAt(const std::vector<uint8_t>& block, size_t packet) {
  uint64_t s;
  std::memcpy(&s, block.data() + packet * sim::kTsPacket + 4, sizeof s);
  return s;
}

class DmaTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { host::clock::setScale(0.02); }
  DmaTest() : card(quietConfig()) { card.attach(&host); }
  ~DmaTest() override { card.attach(nullptr); }

  void program(int n) {
    uint32_t base = hw::dma::kBlockBase[n];
    uint64_t addr = host.base() + uint64_t{static_cast<uint32_t>(n)} * hw::dma::kSliceBytes;
    card.mmioWrite(0, base + hw::dma::kAddrHigh, static_cast<uint32_t>(addr >> 32));
    card.mmioWrite(0, base + hw::dma::kAddrLow, static_cast<uint32_t>(addr));
    card.mmioWrite(0, base + hw::dma::kBufLength, hw::dma::kSliceBytes);
    card.mmioWrite(0, base + hw::dma::kBlockLength, hw::dma::kBlockBytes);
  }
  void start(int n) {
    card.mmioWrite(0, hw::irq::dmaEnable(n), 1);
    card.mmioWrite(0, hw::dma::kBlockBase[n] + hw::dma::kControl, 1);
  }
  void stop(int n) {
    card.mmioWrite(0, hw::irq::dmaEnable(n), 0);
    card.mmioWrite(0, hw::dma::kBlockBase[n] + hw::dma::kControl, 0);
  }
  uint64_t sliceAddr(int n) const {
    return host.base() + uint64_t{static_cast<uint32_t>(n)} * hw::dma::kSliceBytes;
  }

  FakeHost host;
  sim::Card card;
};

TEST_F(DmaTest, BlocksLandInOrderAtProgrammedAddressesWithCounter) {
  const int n = 2;
  auto src = std::make_shared<CountingSource>(60'000'000);
  card.setChannelSource(n, src);
  program(n);
  start(n);
  ASSERT_TRUE(waitFor([&] { return card.dmaStats(n).blocks >= 11; }));
  stop(n);
  auto stats = card.dmaStats(n);
  EXPECT_FALSE(stats.running);
  EXPECT_EQ(stats.packets, stats.blocks * 256);
  EXPECT_EQ(card.mmioRead(0, hw::dma::kBlockBase[n]) & 0xFF, stats.blocks % 8);
  EXPECT_NE(card.interruptStatus() & hw::irq::kDmaBit(n), 0u);
  EXPECT_EQ(card.interruptStatus() & ~hw::irq::kDmaBit(n), 0u);

  auto log = host.writeLog();
  ASSERT_EQ(log.size(), stats.blocks);
  for (size_t i = 0; i < log.size(); ++i)
    EXPECT_EQ(log[i], sliceAddr(n) + (i % 8) * hw::dma::kBlockBytes) << i;
  // Slot k holds the last block i with i % 8 == k, packets in order.
  for (uint64_t k = 0; k < 8; ++k) {
    uint64_t i = k + 8 * ((stats.blocks - 1 - k) / 8);
    auto block = host.bytes(sliceAddr(n) + k * hw::dma::kBlockBytes, hw::dma::kBlockBytes);
    EXPECT_EQ(seqAt(block, 0), i * 256) << k;
    EXPECT_EQ(seqAt(block, 255), i * 256 + 255) << k;
  }
  // Nothing outside the slice was touched.
  auto before = host.bytes(sliceAddr(n) - 188, 188);
  auto after = host.bytes(sliceAddr(n + 1), 188);
  EXPECT_EQ(before, std::vector<uint8_t>(188, 0));
  EXPECT_EQ(after, std::vector<uint8_t>(188, 0));
  EXPECT_TRUE(card.errors().empty());
}

TEST_F(DmaTest, ChannelNeedsControlEnableAndSource) {
  program(0);
  program(1);
  card.setChannelSource(0, std::make_shared<CountingSource>(60'000'000));
  card.setChannelSource(1, std::make_shared<CountingSource>(60'000'000));
  card.mmioWrite(0, hw::dma::kBlockBase[0] + hw::dma::kControl, 1);  // enable left off
  start(1);
  ASSERT_TRUE(waitFor([&] { return card.dmaStats(1).blocks >= 3; }));
  EXPECT_EQ(card.dmaStats(0).blocks, 0u);
  card.setChannelSource(1, nullptr);
  uint64_t at = card.dmaStats(1).blocks;
  // A channel without a source writes nothing more than the block already on its way; it stays armed.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(card.dmaStats(1).running);
  EXPECT_LE(card.dmaStats(1).blocks, at + 1);
  stop(1);
}

TEST_F(DmaTest, RefusedBusAddressIsAnErrorAndStopsTheChannel) {
  const int n = 4;
  card.setChannelSource(n, std::make_shared<CountingSource>(60'000'000));
  card.mmioWrite(0, hw::dma::kBlockBase[n] + hw::dma::kAddrHigh, 0);
  card.mmioWrite(0, hw::dma::kBlockBase[n] + hw::dma::kAddrLow, 0x00100000);  // not the live buffer
  card.mmioWrite(0, hw::dma::kBlockBase[n] + hw::dma::kBufLength, hw::dma::kSliceBytes);
  card.mmioWrite(0, hw::dma::kBlockBase[n] + hw::dma::kBlockLength, hw::dma::kBlockBytes);
  start(n);
  ASSERT_TRUE(waitFor([&] { return !card.errors().empty(); }));
  EXPECT_NE(card.errors()[0].find("dma to bus address 0x100000 not in a live buffer"), std::string::npos);
  ASSERT_TRUE(waitFor([&] { return !card.dmaStats(n).running; }));
  EXPECT_EQ(card.dmaStats(n).blocks, 0u);
  EXPECT_EQ(card.dmaStats(n).errors, 1u);
  EXPECT_EQ(card.interruptStatus(), 0u);
  // Restarting after reprogramming works again.
  program(n);
  card.mmioWrite(0, hw::dma::kBlockBase[n] + hw::dma::kControl, 0);
  card.mmioWrite(0, hw::dma::kBlockBase[n] + hw::dma::kControl, 1);
  ASSERT_TRUE(waitFor([&] { return card.dmaStats(n).blocks >= 1; }));
  stop(n);
}

TEST_F(DmaTest, MisprogrammedChannelIsReported) {
  card.setChannelSource(3, std::make_shared<CountingSource>(60'000'000));
  start(3);  // lengths never programmed
  ASSERT_TRUE(waitFor([&] { return !card.errors().empty(); }));
  EXPECT_NE(card.errors()[0].find("misprogrammed"), std::string::npos);
  stop(3);
}

TEST_F(DmaTest, StopWaitsForTheBlockInFlight) {
  const int n = 0;
  auto src = std::make_shared<CountingSource>(60'000'000);
  std::atomic<bool> inFill{false}, release{false};
  src->hold = [&] {
    inFill = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  card.setChannelSource(n, src);
  program(n);
  start(n);
  ASSERT_TRUE(waitFor([&] { return inFill.load(); }));
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    stop(n);
    stopped = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(stopped);  // still waiting for the block being written
  release = true;
  stopper.join();
  EXPECT_EQ(host.inFlight, 0);
  // The block in flight completes; nothing follows it.
  EXPECT_EQ(card.dmaStats(n).blocks, 1u);
  EXPECT_EQ(host.writeLog().size(), 1u);
  EXPECT_FALSE(card.dmaStats(n).running);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(host.writeLog().size(), 1u);
}

TEST_F(DmaTest, StalledChannelPausesAndResumesWithoutGap) {
  const int n = 7;
  card.setChannelSource(n, std::make_shared<CountingSource>(60'000'000));
  program(n);
  card.stallDmaChannel(n, true);
  start(n);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(card.dmaStats(n).blocks, 0u);
  card.stallDmaChannel(n, false);
  ASSERT_TRUE(waitFor([&] { return card.dmaStats(n).blocks >= 2; }));
  stop(n);
  auto block = host.bytes(sliceAddr(n), hw::dma::kBlockBytes);
  // No packet was lost to the stall: slot 0 holds the last block i with i % 8 == 0.
  EXPECT_EQ(seqAt(block, 0), 8 * ((card.dmaStats(n).blocks - 1) / 8) * 256);
}

TEST_F(DmaTest, InterruptLineRaisedByBlocksWhenEnabled) {
  card.mmioWrite(0, hw::irq::kMasterEnable, 1);
  card.setChannelSource(5, std::make_shared<CountingSource>(60'000'000));
  program(5);
  start(5);
  ASSERT_TRUE(waitFor([&] { return host.line.load(); }));
  stop(5);
  card.mmioWrite(0, hw::irq::kStatus, 0xFFF);
  EXPECT_FALSE(host.line);
}

TEST(DmaLifetime, DestroyingRunningCardJoins) {
  host::clock::setScale(0.02);
  FakeHost host;
  for (int round = 0; round < 3; ++round) {
    sim::Card card(quietConfig());
    card.attach(&host);
    for (int n = 0; n < 8; ++n) {
      uint32_t base = hw::dma::kBlockBase[n];
      card.mmioWrite(0, base + hw::dma::kAddrLow, static_cast<uint32_t>(host.base()));
      card.mmioWrite(0, base + hw::dma::kBufLength, hw::dma::kSliceBytes);
      card.mmioWrite(0, base + hw::dma::kBlockLength, hw::dma::kBlockBytes);
      card.mmioWrite(0, hw::irq::dmaEnable(n), 1);
      card.mmioWrite(0, base, 1);
      card.setChannelSource(n, std::make_shared<CountingSource>(20'000'000));
    }
    ASSERT_TRUE(waitFor([&] { return card.dmaStats(7).blocks >= 1; }));
  }
  EXPECT_EQ(host.inFlight, 0);
}

}  // namespace
