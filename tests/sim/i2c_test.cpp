// I2C masters through the register window: the control-word protocol, the bus trace, NAKs, collisions and
// bus faults.
#include <gtest/gtest.h>

#include "hw/irq_regs.h"
#include "sim_test_util.h"

using namespace simtest;

namespace {

class I2cTest : public ::testing::Test {
 protected:
  I2cTest() : card(quietConfig()), chip(0x20) {
    card.i2cBus(0).addSlave(&chip);
    card.setI2cTraceSink(trace.sink());
  }
  ~I2cTest() override { card.i2cBus(0).removeSlave(&chip); }
  sim::Card card;
  RegSlave chip;
  Lines trace;
};

TEST_F(I2cTest, FiveByteReadWithSubAddressIsWriteThenRepeatedStartRead) {
  // 0x91: start, one sub-address byte, one data byte; then 0x44: four bytes and stop.
  uint32_t rb = i2cOp(card, 0, 0x00052100 | 0x91);
  EXPECT_EQ(rb & sim::kI2cNak, 0u);
  EXPECT_EQ(i2cData(card, 0) & 0xFF, chip.regs[5]);
  EXPECT_NE(card.interruptStatus() & hw::irq::kI2cBit(0), 0u);
  rb = i2cOp(card, 0, 0x00052100 | 0x44);
  EXPECT_EQ(rb & sim::kI2cNak, 0u);
  uint32_t d = i2cData(card, 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ((d >> (8 * i)) & 0xFF, chip.regs[6 + i]) << i;

  auto lines = trace.take();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "0x4000 0x20 w 05\n");
  char want[64];
  std::snprintf(want, sizeof want, "0x4000 0x20 r %02x %02x %02x %02x %02x\n", chip.regs[5], chip.regs[6],
                chip.regs[7], chip.regs[8], chip.regs[9]);
  EXPECT_EQ(lines[1], want);
  // The slave saw a stop before the repeated start and one at the end.
  EXPECT_EQ(chip.starts, 2);
  EXPECT_EQ(chip.stops, 2);
  EXPECT_TRUE(card.errors().empty());
}

TEST_F(I2cTest, TwelveByteReadIsOneTransferOfThreeOperations) {
  i2cOp(card, 0, 0x00402100 | 0x94);  // 4 bytes from register 0x40
  i2cOp(card, 0, 0x00402100 | 0x04);
  i2cOp(card, 0, 0x00402100 | 0x44);
  EXPECT_EQ(i2cData(card, 0) >> 24, chip.regs[0x4B]);
  auto lines = trace.take();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].size(), std::string("0x4000 0x20 r").size() + 12 * 3 + 1);
}

TEST_F(I2cTest, SevenByteWriteIsOneThenSixBytes) {
  // First operation: register byte 0x10 in control byte 2, no stop. Then six bytes with stop: two in the
  // control word, four in the data word written before it.
  i2cOp(card, 0, 0x00102000 | 0x81, 0xDEADBEEF);
  EXPECT_TRUE(card.i2cBus(0).inTransfer());
  i2cOp(card, 0, 0x22112000 | 0x46, 0x66554433);
  EXPECT_FALSE(card.i2cBus(0).inTransfer());
  const uint8_t want[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
  EXPECT_EQ(0, std::memcmp(&chip.regs[0x10], want, 6));
  auto lines = trace.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "0x4000 0x20 w 10 11 22 33 44 55 66\n");
}

TEST_F(I2cTest, AbsentSlaveNaksVisiblyAndReadsIdleBus) {
  uint32_t rb = i2cOp(card, 1, 0x00003100 | 0xC2);
  EXPECT_NE(rb & sim::kI2cNak, 0u);
  EXPECT_EQ(i2cData(card, 1), 0xFFFFFFFFu);
  EXPECT_NE(card.interruptStatus() & hw::irq::kI2cBit(1), 0u);  // completion is still signalled
  rb = i2cOp(card, 1, 0x00AA3000 | 0xC1);
  EXPECT_NE(rb & sim::kI2cNak, 0u);
  auto lines = trace.take();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "0x5000 0x30 r nak\n");
  EXPECT_EQ(lines[1], "0x5000 0x30 w nak\n");
  // The slave on master 0 answered nothing.
  EXPECT_EQ(chip.starts, 0);
  // A later good transfer on the same master is clean again.
  rb = i2cOp(card, 0, 0x00002100 | 0xC1);
  EXPECT_EQ(rb & sim::kI2cNak, 0u);
}

TEST_F(I2cTest, TwoSlavesAtOneAddressCollideAndReadAsWiredAnd) {
  RegSlave twin(0x20);
  for (int i = 0; i < 256; ++i) twin.regs[i] = 0x0F;
  card.i2cBus(0).addSlave(&twin);
  uint32_t rb = i2cOp(card, 0, 0x00002100 | 0xD1);
  EXPECT_NE(rb & sim::kI2cCollision, 0u);
  EXPECT_EQ(card.i2cBus(0).collisions(), 2u);  // the sub-address phase and the read phase
  EXPECT_EQ(i2cData(card, 0) & 0xFF, chip.regs[0] & 0x0Fu);
  card.i2cBus(0).removeSlave(&twin);
  rb = i2cOp(card, 0, 0x00002100 | 0xD1);
  EXPECT_EQ(rb & sim::kI2cCollision, 0u);
  EXPECT_EQ(card.i2cBus(0).collisions(), 2u);  // the sub-address phase and the read phase
}

TEST_F(I2cTest, ContinuationWithoutTransferIsLoggedAndNaked) {
  uint32_t rb = i2cOp(card, 0, 0x00002100 | 0x44);
  EXPECT_NE(rb & sim::kI2cNak, 0u);
  ASSERT_EQ(card.errors().size(), 1u);
  EXPECT_NE(card.errors()[0].find("continuation"), std::string::npos);
  EXPECT_TRUE(trace.take().empty());  // nothing reached the bus
}

TEST_F(I2cTest, OversizedCountsAreLoggedAndClamped) {
  i2cOp(card, 0, 0x00002100 | 0xC7);  // a 7-byte read does not exist
  EXPECT_EQ(card.errors().size(), 1u);
  auto lines = trace.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), std::string("0x4000 0x20 r").size() + 4 * 3 + 1);
}

TEST_F(I2cTest, NakFaultsAfterCountAndAtSeededRate) {
  card.i2cBus(0).nakAfter(0x20, 2);
  EXPECT_EQ(i2cOp(card, 0, 0x2100 | 0xC1) & sim::kI2cNak, 0u);
  EXPECT_EQ(i2cOp(card, 0, 0x2100 | 0xC1) & sim::kI2cNak, 0u);
  EXPECT_NE(i2cOp(card, 0, 0x2100 | 0xC1) & sim::kI2cNak, 0u);
  card.i2cBus(0).clearFaults();

  auto pattern = [&](uint32_t seed) {
    card.i2cBus(0).clearFaults();
    card.i2cBus(0).nakAtRate(0x20, 0.5, seed);
    std::string p;
    for (int i = 0; i < 64; ++i) p += (i2cOp(card, 0, 0x2100 | 0xC1) & sim::kI2cNak) ? 'n' : 'a';
    return p;
  };
  std::string a = pattern(7), b = pattern(7);
  EXPECT_EQ(a, b);  // reproducible
  EXPECT_NE(a.find('n'), std::string::npos);
  EXPECT_NE(a.find('a'), std::string::npos);
}

// A write NAKed at byte 4 reports the NAK on the operation carrying it and every later one; the bytes before
// it reached the slave, none after. A write starting with another register does not consume the fault.
TEST_F(I2cTest, DataByteFaultFailsTheOperationCarryingItAndTheRestOfTheTransfer) {
  card.i2cBus(0).nakDataByte(0x20, false, 4, 1, 0x10);
  EXPECT_EQ(i2cOp(card, 0, 0x22302000 | 0xC6, 0x66554433) & sim::kI2cNak, 0u) << "register 0x30: not armed";
  EXPECT_EQ(i2cOp(card, 0, 0x00102000 | 0x81) & sim::kI2cNak, 0u);  // byte 0
  EXPECT_NE(i2cOp(card, 0, 0x22112000 | 0x06, 0x66554433) & sim::kI2cNak, 0u) << "bytes 1..6";
  EXPECT_NE(i2cOp(card, 0, 0x88772000 | 0x46, 0xCCBBAA99) & sim::kI2cNak, 0u) << "bytes 7..12";
  EXPECT_EQ(chip.regs[0x12], 0x33);
  EXPECT_NE(chip.regs[0x13], 0x44);
  auto lines = trace.take();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "0x4000 0x20 w 10 11 22 33 44 nak\n");
  // Spent: the same write goes through.
  i2cOp(card, 0, 0x00102000 | 0x81);
  EXPECT_EQ(i2cOp(card, 0, 0x22112000 | 0x46, 0x66554433) & sim::kI2cNak, 0u);
  EXPECT_EQ(chip.regs[0x13], 0x44);

  // A read loses byte 5: its operation and the rest fail, the earlier one does not.
  card.i2cBus(0).nakDataByte(0x20, true, 5);
  EXPECT_EQ(i2cOp(card, 0, 0x00402100 | 0x94) & sim::kI2cNak, 0u);
  EXPECT_NE(i2cOp(card, 0, 0x00402100 | 0x04) & sim::kI2cNak, 0u);
  EXPECT_NE(i2cOp(card, 0, 0x00402100 | 0x44) & sim::kI2cNak, 0u);
  EXPECT_TRUE(card.errors().empty());
}

TEST_F(I2cTest, UnreadableSlaveAnswersButReadsOnes) {
  card.i2cBus(0).setUnreadable(0x20, true);
  uint32_t rb = i2cOp(card, 0, 0x00002100 | 0xD2);
  EXPECT_EQ(rb & sim::kI2cNak, 0u);
  EXPECT_EQ(i2cData(card, 0) & 0xFFFF, 0xFFFFu);
  card.i2cBus(0).setUnreadable(0x20, false);
  i2cOp(card, 0, 0x00002100 | 0xD1);
  EXPECT_EQ(i2cData(card, 0) & 0xFF, chip.regs[0]);
}

}  // namespace
