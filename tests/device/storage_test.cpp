// Board storage through the driver: SPI flash commands against the NOR model, EEPROM MAC and tuner type.
#include <climits>
#include <cstring>
#include <filesystem>
#include <random>

#include "bench/load.h"
#include "hw/spi_regs.h"
#include "platform/host/clock.h"
#include "tests/device/rig.h"
#include "zadivo/eeprom.h"
#include "zadivo/spi_flash.h"

namespace zadivo_test {
namespace {

class StorageTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    c = &plug(config());
    ASSERT_EQ(pnp.start(c->card), STATUS_SUCCESS);
    d = device(*c);
    c->clearTraces();
  }
  virtual sim::CardConfig config() { return {}; }
  std::vector<uint8_t> byte0sOf(uint32_t master) {
    std::vector<uint8_t> out;
    for (auto& a : c->writes())
      if (a.offset == master) out.push_back(static_cast<uint8_t>(a.value));
    return out;
  }
  TracedCard* c = nullptr;
  Device* d = nullptr;
};

TEST_F(StorageTest, FlashIdentifiesItself) {
  UCHAR id[3] = {};
  ASSERT_TRUE(spi_GetFlashID(d, id));
  EXPECT_EQ(id[0], sim::SpiFlash::kId[0]);
  EXPECT_EQ(id[1], sim::SpiFlash::kId[1]);
  EXPECT_EQ(id[2], sim::SpiFlash::kId[2]);
  // Identification control words carry nothing in their upper half.
  for (auto& a : c->writes()) {
    if (a.offset == hw::spi::kControl) {
      EXPECT_EQ(a.value >> 16, 0u);
    }
  }
}

TEST_F(StorageTest, EraseThenPollUntilIdleThenProgramAndReadBack) {
  c->card.flash().setTimings(2000 * host::clock::kMs, 0);
  ASSERT_TRUE(spi_ChipErase(d));
  EXPECT_EQ(spi_ReadStatus(d), 0u) << "busy right after the erase command";
  int polls = 0;
  while (!spi_ReadStatus(d) && polls < 10000) ++polls;
  ASSERT_LT(polls, 10000);
  std::mt19937 rng(7);
  std::vector<UCHAR> image(16 * 256);
  for (auto& b : image) b = static_cast<UCHAR>(rng());
  for (ULONG page = 0; page < image.size() / 256; ++page) {
    const ULONG addr = 0x10000 + page * 256;
    const UCHAR a[3] = {UCHAR(addr >> 16), UCHAR(addr >> 8), UCHAR(addr)};
    ASSERT_EQ(spi_Write32bit(d, a, &image[page * 256]), 1u) << page;
  }
  for (ULONG off = 0; off < image.size(); off += 4) {
    const ULONG addr = 0x10000 + off;
    const UCHAR a[3] = {UCHAR(addr >> 16), UCHAR(addr >> 8), UCHAR(addr)};
    ULONG v = 0;
    ASSERT_EQ(spi_read32bit(d, a, &v), 1u);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(static_cast<UCHAR>(v >> (8 * i)), image[off + i]) << off + i;
  }
  EXPECT_TRUE(c->card.errors().empty());
}

TEST_F(StorageTest, ReprogramWithoutEraseOnlyClearsBits) {
  c->card.flash().setTimings(0, 0);
  std::vector<UCHAR> first(256, 0xF0), second(256, 0x3C);
  const UCHAR a[3] = {0x00, 0x02, 0x00};
  ASSERT_EQ(spi_Write32bit(d, a, first.data()), 1u);
  ASSERT_EQ(spi_Write32bit(d, a, second.data()), 1u);
  EXPECT_EQ(c->card.flash().read(0x200, 1)[0], 0x30);
}

TEST_F(StorageTest, ControlWordsRepeatTheTransmitBytes) {
  c->card.flash().setTimings(0, 0);
  std::vector<UCHAR> page(256);
  for (int i = 0; i < 256; ++i) page[i] = static_cast<UCHAR>(i);
  const UCHAR a[3] = {0x12, 0x34, 0x56};
  ASSERT_EQ(spi_Write32bit(d, a, page.data()), 1u);
  uint32_t tx0 = 0;
  int checked = 0;
  for (auto& w : c->writes()) {
    if (w.offset == hw::spi::kTx0) tx0 = w.value;
    if (w.offset == hw::spi::kControl) {
      EXPECT_EQ(w.value >> 16, tx0 >> 16) << std::hex << w.value;
      ++checked;
    }
  }
  EXPECT_GE(checked, 1 + 1 + 31 + 1 + 1);
  // The first program operation carries the address bytes 0x34, 0x56 in its upper half.
  bool sawAddress = false;
  for (auto& w : c->writes()) {
    if (w.offset == hw::spi::kControl && (w.value & 0xFFFF) == hw::spi::control(8, 0, hw::spi::kFirst)) {
      sawAddress = (w.value >> 16) == 0x5634;
    }
  }
  EXPECT_TRUE(sawAddress);
}

// Idle on the 250th status read is a completed program, not a failure. A flash still busy is polled at least
// 250 times and for the longest page-program time serial NOR flashes specify (5 ms), and only then failed.
TEST_F(StorageTest, ProgramJudgedOnTheLastStatusReadAfterTheLongestProgramTime) {
  c->card.flash().setTimings(0, 0);
  std::vector<UCHAR> page(256, 0x00);
  const UCHAR a[3] = {0x00, 0x03, 0x00};
  c->card.flash().busyForStatusReads(249);
  EXPECT_EQ(spi_Write32bit(d, a, page.data()), 1u) << "idle on the 250th read";
  EXPECT_EQ(host::trace::text().find("write 16 bit----"), std::string::npos);
  c->card.flash().busyForStatusReads(UINT32_MAX);
  c->clearTraces();
  const int64_t start = host::clock::nowNs();
  EXPECT_EQ(spi_Write32bit(d, a, page.data()), 0u) << "busy for good";
  EXPECT_GE(host::clock::nowNs() - start, 5 * host::clock::kMs);
  c->card.flash().busyForStatusReads(0);
  EXPECT_NE(host::trace::text().find("write 16 bit----"), std::string::npos);
  size_t polls = 0;
  for (auto& w : c->writes())
    polls += w.offset == hw::spi::kControl && (w.value & 0xFFFF) == hw::spi::control(1, 1, hw::spi::kWhole);
  EXPECT_GE(polls, 250u);
}

// A whole 64 KiB image at real time with both processors busy: every page's program (1 ms in the model, its
// bus transactions charged at the controller's clock) outlasts 250 status reads.
TEST_F(StorageTest, ImageAtRealTimeUnderLoadReadsBackWhole) {
  struct RealTime {
    const double scale = host::clock::scale();
    RealTime() { host::clock::setScale(1.0); }
    ~RealTime() { host::clock::setScale(scale); }
  } realTime;
  c->card.flash().setTimings(20 * host::clock::kMs, sim::SpiFlash::kProgramNs);
  bench::SpinLoad load(true);
  ASSERT_TRUE(spi_ChipErase(d));
  for (int polls = 0; !spi_ReadStatus(d); ++polls) ASSERT_LT(polls, 10000);
  std::mt19937 rng(23);
  std::vector<UCHAR> image(64 * 1024);
  for (auto& b : image) b = static_cast<UCHAR>(rng());
  ULONG failed = 0;
  for (ULONG page = 0; page < image.size() / 256; ++page) {
    const ULONG addr = page * 256;
    const UCHAR a[3] = {UCHAR(addr >> 16), UCHAR(addr >> 8), UCHAR(addr)};
    failed += spi_Write32bit(d, a, &image[addr]) != 1;
  }
  ULONG wrong = 0;
  for (ULONG addr = 0; addr < image.size(); addr += 4) {
    const UCHAR a[3] = {UCHAR(addr >> 16), UCHAR(addr >> 8), UCHAR(addr)};
    ULONG v = 0;
    ASSERT_EQ(spi_read32bit(d, a, &v), 1u);
    wrong += std::memcmp(&v, &image[addr], 4) != 0;
  }
  EXPECT_EQ(failed, 0u) << "pages reported failed";
  EXPECT_EQ(wrong, 0u) << "words read back wrong";
  EXPECT_TRUE(c->card.errors().empty());
}

TEST_F(StorageTest, StatusReadsIdleOnlyWithoutWriteInProgress) {
  c->card.flash().setTimings(50 * host::clock::kMs, 0);
  EXPECT_EQ(spi_ReadStatus(d), 1u);  // 0x00
  ASSERT_TRUE(spi_WriteEnable(d));
  EXPECT_EQ(c->card.flash().status(), 0x02);
  EXPECT_EQ(spi_ReadStatus(d), 1u);  // 0x02
  c->card.flash().holdBusy(true);
  EXPECT_EQ(c->card.flash().status() & 0x01, 0x01);
  EXPECT_EQ(spi_ReadStatus(d), 0u);  // 0x03 or 0x01
  ASSERT_TRUE(spi_WriteDisable(d));
  EXPECT_EQ(spi_ReadStatus(d), 0u);  // 0x01
  c->card.flash().holdBusy(false);
}

TEST_F(StorageTest, MacWriteAndReadUseTheDocumentedOperations) {
  MacRequest w = {};
  w.bytes[0] = 3;
  const UCHAR mac[6] = {0x02, 0x5A, 0x44, 0x00, 0x00, 0x33};
  memcpy(&w.bytes[4], mac, 6);
  ASSERT_TRUE(MACAddress_get(d, &w, true));
  EXPECT_EQ(byte0sOf(0x7000), (std::vector<uint8_t>{0x81, 0x46}));
  EXPECT_EQ(c->card.eeprom().contents()[0x30], 0x02);
  EXPECT_EQ(c->card.eeprom().contents()[0x35], 0x33);

  c->clearTraces();
  MacRequest r = {};
  r.bytes[0] = 3;
  ASSERT_TRUE(MACAddress_get(d, &r, false));
  EXPECT_EQ(byte0sOf(0x7000), (std::vector<uint8_t>{0x92, 0x44}));
  EXPECT_EQ(0, memcmp(&r.bytes[10], mac, 6));
}

TEST_F(StorageTest, MacIndexOutsideOneToEightIsRefusedWithoutTraffic) {
  for (UCHAR index : {0, 9}) {
    MacRequest req = {};
    req.bytes[0] = index;
    EXPECT_FALSE(MACAddress_get(d, &req, false));
    EXPECT_FALSE(MACAddress_get(d, &req, true));
  }
  EXPECT_TRUE(c->accessesBesidesIsr().empty());
  EXPECT_NE(host::trace::text().find("MACAddress_get wrong index value"), std::string::npos);
}

// The caller learns that the bytes it holds are not the EEPROM's.
TEST_F(StorageTest, MacReadOfABusyEepromReportsFailure) {
  c->card.eeprom().holdBusy(true);
  MacRequest r = {};
  r.bytes[0] = 1;
  memset(&r.bytes[10], 0x77, 6);
  EXPECT_FALSE(MACAddress_get(d, &r, false));
  EXPECT_EQ(r.bytes[10], 0x77);
  EXPECT_NE(host::trace::text().find("IICReadEEPROMN false"), std::string::npos);
  c->card.eeprom().holdBusy(false);
}

TEST_F(StorageTest, TunerTypeIsStoredAsWritten) {
  ASSERT_TRUE(TunerTypeWrite(d, 2));
  UCHAR t = 0;
  ASSERT_TRUE(TunerTypeRead(d, &t));
  EXPECT_EQ(t, 2);
  EXPECT_EQ(c->card.eeprom().contents()[0x94], 2);
}

class PersistentStorageTest : public DriverTest {};

TEST_F(PersistentStorageTest, WritesSurviveACardPowerCycle) {
  const std::string dir = ::testing::TempDir() + "zadivo_storage_" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  sim::CardConfig cfg;
  cfg.eepromFile = dir + "/card.eeprom";
  {
    TracedCard& c = plug(cfg);
    ASSERT_EQ(pnp.start(c.card), STATUS_SUCCESS);
    MacRequest w = {};
    w.bytes[0] = 8;
    for (int i = 0; i < 6; ++i) w.bytes[4 + i] = static_cast<UCHAR>(0xA0 + i);
    ASSERT_TRUE(MACAddress_get(device(c), &w, true));
    ASSERT_TRUE(TunerTypeWrite(device(c), 5));
    pnp.remove(c.card);
    cards.clear();
  }
  TracedCard& again = plug(cfg);
  ASSERT_EQ(pnp.start(again.card), STATUS_SUCCESS);
  MacRequest r = {};
  r.bytes[0] = 8;
  ASSERT_TRUE(MACAddress_get(device(again), &r, false));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(r.bytes[10 + i], 0xA0 + i);
  UCHAR t = 0;
  ASSERT_TRUE(TunerTypeRead(device(again), &t));
  EXPECT_EQ(t, 5);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zadivo_test
