// Register window, PCI identity, interrupt line and traces of the card.
#include <gtest/gtest.h>

#include "hw/board_regs.h"
#include "hw/dma_regs.h"
#include "hw/irq_regs.h"
#include "sim_test_util.h"

using namespace simtest;

namespace {

TEST(CardIdentity, ConfigSpaceAndBarSizing) {
  sim::CardConfig cfg = quietConfig();
  cfg.busNumber = 3;
  cfg.slot = 2;
  cfg.bar0Address = 0xF7000000;
  sim::Card card(cfg);
  EXPECT_EQ(card.busNumber(), 3u);
  EXPECT_EQ(card.deviceNumber(), 2u);
  uint8_t c[256];
  card.configRead(0, c, sizeof c);
  EXPECT_EQ(c[0] | c[1] << 8, sim::kVendorId);
  EXPECT_EQ(c[2] | c[3] << 8, sim::kDeviceId);
  EXPECT_EQ(card.barAddress(0), 0xF7000000u);
  EXPECT_EQ(card.barLength(0), hw::board::kBar0Length);
  EXPECT_EQ(card.barAddress(1), 0u);

  // Sizing: all ones reads back the size mask; restoring the address works.
  uint32_t ones = 0xFFFFFFFF, saved = 0;
  card.configRead(0x10, &saved, 4);
  card.configWrite(0x10, &ones, 4);
  uint32_t mask = 0;
  card.configRead(0x10, &mask, 4);
  EXPECT_EQ(~(mask & ~0xFu) + 1, hw::board::kBar0Length);
  card.configWrite(0x10, &saved, 4);
  EXPECT_EQ(card.barAddress(0), 0xF7000000u);
  // Identity is read-only.
  uint16_t bogus = 0x1234;
  card.configWrite(0, &bogus, 2);
  card.configRead(0, c, 2);
  EXPECT_EQ(c[0] | c[1] << 8, sim::kVendorId);

  sim::CardConfig high = quietConfig();
  high.bar0Address = 0x2'F000'0000ull;
  sim::Card wide(high);
  EXPECT_EQ(wide.barAddress(0), 0x2'F000'0000ull);
}

TEST(CardRegisters, UnknownOffsetsAreLoggedNeverFatal) {
  sim::Card card(quietConfig());
  Lines mmio;
  card.setMmioTraceSink(mmio.sink());
  EXPECT_EQ(card.mmioRead(0, 0x20), 0u);
  card.mmioWrite(0, 0x3000, 7);
  card.mmioWrite(0, 0x20000, 7);  // beyond the window
  card.mmioRead(2, 0);            // absent BAR
  auto errs = card.errors();
  ASSERT_EQ(errs.size(), 4u);
  EXPECT_NE(errs[0].find("unknown offset 0x0020"), std::string::npos);
  EXPECT_EQ(mmio.take().size(), 4u);  // still traced: they are the driver's accesses
  card.clearErrors();
  EXPECT_TRUE(card.errors().empty());
  // Every documented register answers without complaint.
  for (uint32_t off : hw::board::kResetRegs) card.mmioRead(0, off);
  for (uint32_t off = 0x10; off <= 0x1C; off += 4) card.mmioRead(0, off);
  for (uint32_t base : hw::dma::kBlockBase)
    for (uint32_t r = 0; r <= 0x10; r += 4) card.mmioRead(0, base + r);
  for (uint32_t off = 0xC000; off <= 0xC034; off += 4) card.mmioRead(0, off);
  EXPECT_TRUE(card.errors().empty());
}

TEST(CardRegisters, TraceFormatAndOrder) {
  sim::Card card(quietConfig());
  Lines mmio;
  card.setMmioTraceSink(mmio.sink());
  card.mmioWrite(0, hw::dma::kBlockBase[1] + hw::dma::kBufLength, 0x5E000);
  card.mmioRead(0, hw::dma::kBlockBase[1] + hw::dma::kBufLength);
  card.mmioWrite(0, hw::irq::kMasterEnable, 1);
  auto lines = mmio.take();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "w 0x9004 0x0005e000\n");
  EXPECT_EQ(lines[1], "r 0x9004 0x0005e000\n");
  EXPECT_EQ(lines[2], "w 0xc004 0x00000001\n");
}

TEST(CardRegisters, ResetLinesReportAndNotify) {
  sim::Card card(quietConfig());
  std::vector<std::pair<int, bool>> events;
  card.setResetListener([&](int n, bool in) { events.emplace_back(n, in); });
  EXPECT_FALSE(card.demodInReset(5));
  card.mmioWrite(0, 0x30, 0x10);  // path 6: bit 0 clear holds it in reset, other bits kept
  EXPECT_TRUE(card.demodInReset(5));
  EXPECT_EQ(card.mmioRead(0, 0x30), 0x10u);
  card.mmioWrite(0, 0x30, 0x11);
  card.mmioWrite(0, 0x30, 0x13);  // no edge, no event
  EXPECT_FALSE(card.demodInReset(5));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], std::make_pair(5, true));
  EXPECT_EQ(events[1], std::make_pair(5, false));
  EXPECT_FALSE(card.demodInReset(4));
}

TEST(CardInterrupts, LineFollowsEnabledStatusAndMasterEnable) {
  sim::Card card(quietConfig());
  FakeHost host;
  card.attach(&host);
  // An I2C completion with interrupts off: status set, line low.
  i2cOp(card, 2, 0x3100 | 0xC1);
  EXPECT_EQ(card.interruptStatus(), hw::irq::kI2cBit(2));
  EXPECT_FALSE(host.line);
  card.mmioWrite(0, hw::irq::kMasterEnable, 1);
  EXPECT_FALSE(host.line);  // master 2's own enable is still off
  card.mmioWrite(0, hw::irq::kI2cEnable[2], 1);
  EXPECT_TRUE(host.line);
  card.mmioWrite(0, hw::irq::kMasterEnable, 0);
  EXPECT_FALSE(host.line);
  card.mmioWrite(0, hw::irq::kMasterEnable, 1);
  EXPECT_TRUE(host.line);
  // Writing back a value clears only its bits.
  i2cOp(card, 0, 0x3100 | 0xC1);
  card.mmioWrite(0, hw::irq::kStatus, hw::irq::kI2cBit(2));
  EXPECT_EQ(card.interruptStatus(), hw::irq::kI2cBit(0));
  EXPECT_FALSE(host.line);  // master 0 is not enabled
  card.mmioWrite(0, hw::irq::kI2cEnable[0], 1);
  EXPECT_TRUE(host.line);
  card.mmioWrite(0, hw::irq::kStatus, card.mmioRead(0, hw::irq::kStatus));
  EXPECT_FALSE(host.line);
  EXPECT_EQ(card.interruptStatus(), 0u);
  card.attach(nullptr);
}

TEST(CardInterrupts, SpuriousInterruptHasNoStatusAndEndsAtAcknowledge) {
  sim::Card card(quietConfig());
  FakeHost host;
  card.attach(&host);
  card.raiseSpuriousInterrupt();
  EXPECT_TRUE(host.line);
  uint32_t s = card.mmioRead(0, hw::irq::kStatus);
  EXPECT_EQ(s, 0u);
  card.mmioWrite(0, hw::irq::kStatus, s);
  EXPECT_FALSE(host.line);
  card.attach(nullptr);
}

// A host that runs its interrupt routine inside setInterruptLine re-enters the card; the line must settle.
TEST(CardInterrupts, HostRunningIsrInsideLineChangeDoesNotDeadlock) {
  sim::Card card(quietConfig());
  FakeHost host;
  int isrRuns = 0;
  host.onLine = [&](bool asserted) {
    if (!asserted) return;
    ++isrRuns;
    uint32_t s = card.mmioRead(0, hw::irq::kStatus);
    card.mmioWrite(0, hw::irq::kStatus, s);
    card.mmioWrite(0, hw::irq::kMasterEnable, 1);
  };
  card.attach(&host);
  card.mmioWrite(0, hw::irq::kMasterEnable, 1);
  card.mmioWrite(0, hw::irq::kI2cEnable[1], 1);
  i2cOp(card, 1, 0x3100 | 0xC1);
  EXPECT_EQ(isrRuns, 1);
  EXPECT_FALSE(host.line);
  EXPECT_EQ(card.interruptStatus(), 0u);
  card.attach(nullptr);
}

TEST(CardInterrupts, RegisterWindowServesWithoutHost) {
  sim::Card card(quietConfig());
  card.mmioWrite(0, hw::irq::kMasterEnable, 1);
  card.mmioWrite(0, hw::irq::kI2cEnable[0], 1);
  i2cOp(card, 0, 0x3100 | 0xC1);
  EXPECT_TRUE(card.interruptLine());
  card.mmioWrite(0, hw::irq::kStatus, 0xFFF);
  EXPECT_FALSE(card.interruptLine());
}

}  // namespace

namespace {

// Chips react to the driver from inside register accesses: a demodulator that starts or stops its stream
// when written to, or when its reset line moves, uses the card's back doors from there.
class StreamingChip : public simtest::RegSlave {
 public:
  StreamingChip(sim::Card& card) : RegSlave(0xC8), card_(card) {}
  bool writeByte(uint8_t b) override {
    card_.setChannelSource(0, b ? std::shared_ptr<sim::TsSource>(sim::makeGeneratedSource({})) : nullptr);
    (void)card_.dmaStats(0);
    return RegSlave::writeByte(b);
  }

 private:
  sim::Card& card_;
};

TEST(CardBackDoors, UsableFromChipCallbacks) {
  sim::Card card(simtest::quietConfig());
  StreamingChip chip(card);
  card.i2cBus(1).addSlave(&chip);
  int resets = 0;
  card.setResetListener([&](int n, bool in) {
    ++resets;
    card.setChannelSource(n, nullptr);
    card.stallDmaChannel(n, in);
  });
  EXPECT_EQ(simtest::i2cOp(card, 1, 0x0001C800 | 0xC2) & sim::kI2cNak, 0u);
  card.mmioWrite(0, 0x00, 0);
  card.mmioWrite(0, 0x00, 1);
  EXPECT_EQ(resets, 2);
  card.i2cBus(1).removeSlave(&chip);
  EXPECT_TRUE(card.errors().empty());
}

}  // namespace
