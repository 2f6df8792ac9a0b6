// EEPROM on master 0x7000 and the SPI flash behind the SPI controller, driven through the register window.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "sim_test_util.h"

using namespace simtest;

namespace {

constexpr int kEepromMaster = 3;

class StorageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { host::clock::setScale(0.02); }
  StorageTest() {
    dir = std::filesystem::temp_directory_path() /
          ("zadivo_sim_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
  }
  ~StorageTest() override { std::filesystem::remove_all(dir); }
  std::filesystem::path dir;
};

// EEPROM write of up to 6 bytes at offset: offset byte plus data in one operation with stop.
uint32_t eepromWrite(sim::Card& card, uint8_t offset, const std::vector<uint8_t>& data) {
  uint8_t b[6] = {offset, 0, 0, 0, 0, 0};
  for (size_t i = 0; i < data.size() && i < 5; ++i) b[1 + i] = data[i];
  uint32_t control = (0xC0u + 1 + static_cast<uint32_t>(data.size())) | 0xA000u | uint32_t{b[0]} << 16 |
                     uint32_t{b[1]} << 24;
  uint32_t word = b[2] | b[3] << 8 | b[4] << 16 | uint32_t{b[5]} << 24;
  return i2cOp(card, kEepromMaster, control, word);
}
// Read of up to 4 bytes at offset (sub-address form).
uint32_t eepromRead(sim::Card& card, uint8_t offset, int n, uint32_t* data) {
  uint32_t rb =
      i2cOp(card, kEepromMaster, (0xD0u + static_cast<uint32_t>(n)) | 0xA100u | uint32_t{offset} << 16);
  *data = i2cData(card, kEepromMaster);
  return rb;
}
void waitEepromIdle(sim::Card& card) {
  ASSERT_TRUE(waitFor([&] { return !card.eeprom().busy(); }));
}

TEST_F(StorageTest, EepromFreshIsErasedAndNaksDuringWriteCycle) {
  sim::Card card(quietConfig());
  uint32_t d = 0;
  EXPECT_EQ(eepromRead(card, 0x94, 1, &d) & sim::kI2cNak, 0u);
  EXPECT_EQ(d & 0xFF, 0xFFu);
  card.eeprom().setWriteCycle(3600 * 1000 * host::clock::kMs);  // no machine is that slow
  EXPECT_EQ(eepromWrite(card, 0x94, {0x05}) & sim::kI2cNak, 0u);
  // After the stop the part is programming and does not answer.
  EXPECT_NE(eepromRead(card, 0x94, 1, &d) & sim::kI2cNak, 0u);
  card.eeprom().setWriteCycle(sim::Eeprom::kWriteCycleNs);
  waitEepromIdle(card);
  EXPECT_EQ(eepromRead(card, 0x94, 1, &d) & sim::kI2cNak, 0u);
  EXPECT_EQ(d & 0xFF, 0x05u);
  EXPECT_EQ(card.eeprom().writeCycles(), 1u);
  // Setting only the pointer (dummy write) starts no write cycle.
  i2cOp(card, kEepromMaster, 0xC1 | 0xA000 | 0x10 << 16);
  EXPECT_FALSE(card.eeprom().busy());
  EXPECT_TRUE(card.errors().empty());
}

TEST_F(StorageTest, EepromPageWriteWrapsInPageAndReadWrapsAt256) {
  sim::Card card(quietConfig());
  eepromWrite(card, 0x1E, {1, 2, 3, 4});  // 0x1E, 0x1F, then back to 0x10, 0x11
  waitEepromIdle(card);
  auto c = card.eeprom().contents();
  EXPECT_EQ(c[0x1E], 1);
  EXPECT_EQ(c[0x1F], 2);
  EXPECT_EQ(c[0x10], 3);
  EXPECT_EQ(c[0x11], 4);
  EXPECT_EQ(c[0x20], 0xFF);

  uint8_t edge[4] = {0xA1, 0xA2, 0xB1, 0xB2};
  card.eeprom().setContents(0xFE, edge, 2);
  card.eeprom().setContents(0x00, edge + 2, 2);
  uint32_t d = 0;
  eepromRead(card, 0xFE, 4, &d);
  EXPECT_EQ(d, 0xB2B1A2A1u);
}

TEST_F(StorageTest, EepromHeldBusyNaks) {
  sim::Card card(quietConfig());
  card.eeprom().holdBusy(true);
  uint32_t d;
  EXPECT_NE(eepromRead(card, 0, 1, &d) & sim::kI2cNak, 0u);
  card.eeprom().holdBusy(false);
  EXPECT_EQ(eepromRead(card, 0, 1, &d) & sim::kI2cNak, 0u);
}

TEST_F(StorageTest, EepromPersistsAcrossCards) {
  sim::CardConfig cfg = quietConfig();
  cfg.eepromFile = (dir / "eeprom.bin").string();
  {
    sim::Card card(cfg);
    eepromWrite(card, 0x10, {0x02, 0x11, 0x22, 0x33, 0x44});
    waitEepromIdle(card);
  }
  EXPECT_EQ(std::filesystem::file_size(cfg.eepromFile), 256u);
  EXPECT_FALSE(std::filesystem::exists(cfg.eepromFile + ".tmp"));
  sim::Card again(cfg);
  uint32_t d = 0;
  eepromRead(again, 0x10, 4, &d);
  EXPECT_EQ(d, 0x33221102u);
  EXPECT_TRUE(again.errors().empty());
}

TEST_F(StorageTest, EepromFileOfWrongSizeIsReportedAndLeftAlone) {
  sim::CardConfig cfg = quietConfig();
  cfg.eepromFile = (dir / "short.bin").string();
  { std::ofstream(cfg.eepromFile) << "not an eeprom"; }
  sim::Card card(cfg);
  ASSERT_EQ(card.errors().size(), 1u);
  eepromWrite(card, 0, {1});
  waitEepromIdle(card);
  EXPECT_EQ(std::filesystem::file_size(cfg.eepromFile), 13u);
}

// ---- Flash --------------------------------------------------------------------------------------------

using hw::spi::control;
using hw::spi::staged;
namespace op = hw::spi::op;

void writeEnable(sim::Card& card) { flashCommand(card, op::kWriteEnable); }
uint32_t readId(sim::Card& card) {
  spiOp(card, op::kReadId, control(1, 3, hw::spi::kWhole));
  return card.mmioRead(0, hw::spi::kRx) & 0xFFFFFF;
}
// The transmit word of a command with a 3-byte address, most significant byte first.
uint32_t addressed(uint8_t opcode, uint32_t addr) {
  return opcode | (addr >> 16 & 0xFF) << 8 | (addr >> 8 & 0xFF) << 16 | (addr & 0xFF) << 24;
}

// Page program exactly as the driver sends it: 8 bytes with the command, 31 x 8 more, the last 4.
void programPage(sim::Card& card, uint32_t addr, const uint8_t* page) {
  auto w = [](const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; };
  const uint32_t tx0 = addressed(op::kPageProgram, addr);
  spiOp(card, tx0, staged(control(8, 0, hw::spi::kFirst), tx0), w(page));
  for (int i = 0; i <= 30; ++i) {
    const uint32_t next = w(page + 8 * i + 4);
    spiOp(card, next, staged(control(8, 0, hw::spi::kMiddle), next), w(page + 8 * i + 8));
  }
  spiOp(card, w(page + 252), staged(control(4, 0, hw::spi::kLast), w(page + 252)));
}
uint32_t read32(sim::Card& card, uint32_t addr) {
  const uint32_t tx0 = addressed(op::kRead, addr);
  spiOp(card, tx0, staged(control(4, 4, hw::spi::kWhole), tx0));
  return card.mmioRead(0, hw::spi::kRx);
}
void waitFlashIdle(sim::Card& card) {
  ASSERT_TRUE(waitFor([&] { return (flashStatus(card) & 1) == 0; }));
}

TEST_F(StorageTest, FlashIdentifiesAndReportsDone) {
  sim::Card card(quietConfig());
  card.mmioWrite(0, hw::spi::kRx, 1);
  flashCommand(card, op::kWake);
  EXPECT_EQ(card.mmioRead(0, hw::spi::kControl) & 0xFF, 1u);
  EXPECT_EQ(readId(card), 0x16405Au);
  EXPECT_EQ(flashStatus(card), 0x00);
  writeEnable(card);
  EXPECT_EQ(flashStatus(card), 0x02);
  flashCommand(card, op::kWriteDisable);
  EXPECT_EQ(flashStatus(card), 0x00);
  EXPECT_TRUE(card.errors().empty());
}

TEST_F(StorageTest, FlashEraseIsBusyThenAllOnes) {
  sim::Card card(quietConfig());
  uint8_t junk[4] = {1, 2, 3, 4};
  card.flash().load(0x1000, junk, 4);
  card.flash().setTimings(3600 * 1000 * host::clock::kMs, sim::SpiFlash::kProgramNs);
  writeEnable(card);
  flashCommand(card, op::kChipErase);
  EXPECT_EQ(flashStatus(card) & 0x03, 0x03);  // in progress, latch still set
  // Commands other than status are refused while busy, and that is logged.
  writeEnable(card);
  EXPECT_EQ(card.errors().size(), 1u);
  card.flash().setTimings(sim::SpiFlash::kEraseNs, sim::SpiFlash::kProgramNs);
  waitFlashIdle(card);
  EXPECT_EQ(flashStatus(card), 0x00);  // the latch resets with the operation
  EXPECT_EQ(read32(card, 0x1000), 0xFFFFFFFFu);
  EXPECT_EQ(card.flash().erases(), 1u);
}

TEST_F(StorageTest, FlashProgramClearsBitsOnlyWrapsInPageAndNeedsWriteEnable) {
  sim::Card card(quietConfig());
  uint8_t page[256];
  for (int i = 0; i < 256; ++i) page[i] = static_cast<uint8_t>(i);
  // Without write enable nothing changes and the misuse is logged.
  programPage(card, 0x020000, page);
  EXPECT_EQ(read32(card, 0x020004), 0xFFFFFFFFu);
  EXPECT_EQ(card.errors().size(), 1u);
  card.clearErrors();

  writeEnable(card);
  programPage(card, 0x020000, page);
  waitFlashIdle(card);
  EXPECT_EQ(read32(card, 0x020004), 0x07060504u);
  EXPECT_EQ(read32(card, 0x0200FC), 0xFFFEFDFCu);
  // A second program can only clear more bits.
  uint8_t second[256];
  std::memset(second, 0xF0, sizeof second);
  writeEnable(card);
  programPage(card, 0x020000, second);
  waitFlashIdle(card);
  EXPECT_EQ(read32(card, 0x020004), 0x07060504u & 0xF0F0F0F0u);
  // A program starting mid-page wraps to the page start.
  uint8_t marks[256];
  std::memset(marks, 0x00, sizeof marks);
  writeEnable(card);
  programPage(card, 0x030080, marks);
  waitFlashIdle(card);
  auto bytes = card.flash().read(0x030000, 0x200);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(bytes[i], 0x00) << i;
  EXPECT_EQ(bytes[256], 0xFF);
  EXPECT_TRUE(card.errors().empty());
}

TEST_F(StorageTest, FlashHeldBusyAndPersistence) {
  sim::CardConfig cfg = quietConfig();
  cfg.flashFile = (dir / "flash.bin").string();
  uint8_t page[256];
  std::memset(page, 0x3C, sizeof page);
  {
    sim::Card card(cfg);
    writeEnable(card);
    programPage(card, 0x100, page);
    waitFlashIdle(card);
    card.flash().holdBusy(true);
    EXPECT_EQ(flashStatus(card) & 1, 1);
    card.flash().holdBusy(false);
    writeEnable(card);
    programPage(card, 0x3FFF00, page);  // the last page, patched in place
    waitFlashIdle(card);
    EXPECT_TRUE(card.errors().empty());
  }
  EXPECT_EQ(std::filesystem::file_size(cfg.flashFile), sim::SpiFlash::kSize);
  sim::Card again(cfg);
  EXPECT_EQ(read32(again, 0x104), 0x3C3C3C3Cu);
  EXPECT_EQ(read32(again, 0x3FFFFC), 0x3C3C3C3Cu);
  EXPECT_EQ(read32(again, 0x200), 0xFFFFFFFFu);
}

}  // namespace
