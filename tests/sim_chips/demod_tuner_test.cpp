// Demodulator and tuner models driven over a bus the way the driver's sequences drive them.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <thread>

#include "platform/host/clock.h"
#include "sim/card.h"
#include "sim/demod_model.h"
#include "sim/frontend.h"
#include "sim/tuner_model.h"
#include "tests/sim_chips/chip_bus.h"

namespace {

using chiptest::Master;
using sim::DemodModel;
using sim::DemodSlave;

// Waits (real time, generous) for a condition the models reach on the platform clock.
bool eventually(const std::function<bool()>& pred, int seconds = 10) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pred();
}

std::shared_ptr<sim::Air> testAir() {
  std::string err;
  auto air = sim::Air::parse(R"(
[T8]
DELIVERY_SYSTEM = DVBT
FREQUENCY = 474000000
BANDWIDTH_HZ = 8000000
RF_LEVEL_DBM = -47.3
CNR_DB = 27.4
[T7]
DELIVERY_SYSTEM = DVBT
FREQUENCY = 177500000
BANDWIDTH_HZ = 7000000
CNR_DB = 22.1
[T6]
DELIVERY_SYSTEM = DVBT
FREQUENCY = 602000000
BANDWIDTH_HZ = 6000000
[T5]
DELIVERY_SYSTEM = DVBT
FREQUENCY = 226500000
BANDWIDTH_HZ = 5000000
[T2a]
DELIVERY_SYSTEM = DVBT2
FREQUENCY = 538000000
STREAM_ID = 0
CNR_DB = 31.2
[T2b]
DELIVERY_SYSTEM = DVBT2
FREQUENCY = 538000000
STREAM_ID = 3
[C]
DELIVERY_SYSTEM = DVBC/ANNEX_A
FREQUENCY = 346000000
CNR_DB = 36.6
)",
                             &err);
  EXPECT_TRUE(air) << err;
  return air;
}

// Tune block of the tuner for a digital system row (crystal 2, board flags), as the tuner driver builds it.
std::vector<uint8_t> tuneBlock(uint32_t fKHz, int row, int variant) {
  struct Row {
    uint8_t c[16];
  };
  static const std::map<int, Row> rows = {
      {14, {{0, 0xFF, 8, 0x0B, 0x0B, 0x0B, 2, 2, 2, 0, 0, 0x18, 0x1D, 0xFF, 0xFF, 0}}},
      {16, {{0, 0xFF, 8, 0x0B, 0x0B, 0x0B, 2, 2, 2, 0, 1, 0x1A, 0x1B, 0xFF, 0xFF, 0}}},
      {17, {{0, 0xFF, 8, 0x0B, 0x0B, 0x0B, 2, 2, 2, 0, 2, 0x1C, 0x1A, 0xFF, 0xFF, 0}}},
      {22, {{0, 0xFF, 8, 0x0B, 0x0B, 0x0B, 2, 2, 2, 0, 2, 0x1C, 0x1A, 0xFF, 0xFF, 0}}},
      {24, {{0, 0xFF, 4, 2, 2, 2, 1, 1, 1, 0, 2, 0x1E, 0x1D, 0xFF, 0xFF, 0}}},
  };
  const uint8_t* c = rows.at(row).c;
  int band = fKHz <= 172000 ? 0 : fKHz <= 464000 ? 1 : 2;
  bool cable = row == 24;
  std::vector<uint8_t> b(17);
  b[0] = c[0] & 3;
  b[1] = (c[1] == 0xFF ? 0x80 : (c[1] << 4) & 0x70) | (c[2] & 0x0F);
  b[3] = c[3 + band] & 0x0F;
  b[4] = (c[6 + band] & 7) | 0x20;
  b[5] = ((c[9] << 4) & 0x30) | (c[10] & 3);
  b[6] = c[11] & 0x1F;
  b[7] = c[12] & 0x1F;
  b[8] = fKHz & 0xFF;
  b[9] = (fKHz >> 8) & 0xFF;
  b[10] = (fKHz >> 16) & 0x0F;
  b[11] = 0xFF;
  b[12] = 0x11;
  if (cable) {
    uint8_t t[4] = {0xD9, 0x0F, static_cast<uint8_t>(variant == 3 ? 0x24 : 0x25), 0x87};
    std::copy(t, t + 4, b.begin() + 13);
  } else {
    uint8_t t[4] = {0x99, 0x00, 0x24, 0x87};
    std::copy(t, t + 4, b.begin() + 13);
  }
  return b;
}

// RSSI in 0.01 dB from the AGC words, as the tuner driver computes it.
int driverRssi(int ifAgc, int rfAgc, int reg69, uint32_t fKHz, int variant) {
  static const int g[16] = {0, 0, 0, 0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 20, 20};
  int ifReg = ifAgc * 140;
  int ifGain = g[reg69 & 0x0F] * 100 + 870 + (ifReg <= 9945 ? ((9945 - ifReg) * 769 + 1275) / 2550 : 0);
  int maxReg = std::max(ifAgc, rfAgc) * 140;
  int gm = fKHz > 700000   ? 4150
           : fKHz > 600000 ? 4130
           : fKHz > 532000 ? 4170
           : fKHz > 464000 ? 4050
           : fKHz > 400000 ? 4280
           : fKHz > 350000 ? 4260
           : fKHz > 320000 ? 4110
           : fKHz > 285000 ? 4310
           : fKHz > 215000 ? 4250
           : fKHz > 184000 ? 4020
           : fKHz > 172000 ? 3920
           : fKHz > 150000 ? 4080
           : fKHz > 86000  ? 4180
           : fKHz > 65000  ? 4200
                           : 4020;
  int rf = maxReg < 4896    ? gm
           : maxReg < 5457  ? gm - ((maxReg - 4896) * 70 + 127) / 255
           : maxReg < 8823  ? gm - 154
           : maxReg < 24786 ? gm - 154 - ((maxReg - 8823) * 70 + 127) / 255
           : maxReg < 30090 ? gm - 4536 - ((maxReg - 24786) * 57 + 127) / 255
                            : gm - 5722 - ((maxReg - 30090) * 160 + 127) / 255;
  return -ifGain - rf + (variant == 2 ? 220 : 0);
}

// One path on one bus, driven like the driver's register layer.
class PathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::clock::setScale(0.02);
    air = testAir();
    tuner = std::make_unique<sim::TunerModel>(air, tunerOpt);
    demod = std::make_unique<DemodModel>(0xC8, air, *tuner);
    bus.addSlave(demod.get());
    bus.addSlave(&demod->repeaterPort());
  }
  void TearDown() override { host::clock::setScale(0.02); }

  static constexpr uint8_t kMain = 0xC8, kSys = 0xCC;

  void repeater(bool on) { ASSERT_TRUE(m.write(kSys, 0x08, {uint8_t(on ? 1 : 0)})); }

  // Lets platform time pass: the chips need it after power-up, after their clock starts and after a tune.
  static void settle(int ms) { host::clock::sleepNs(ms * host::clock::kMs); }

  // From reset into sleep, then sleep to active for a system selector, as bring-up and the common wake-up
  // steps do: serial TS output on TSDATA0 with its clock restarted, the tuner powered on behind the repeater.
  void wake(uint8_t selector) {
    demod->setReset(true);
    demod->setReset(false);
    ASSERT_TRUE(m.write(kSys, 0x02, {0x00}));
    settle(8);
    ASSERT_TRUE(m.bankWrite(kSys, 0x00, 0x1D, {0x00}));
    ASSERT_TRUE(m.write(kSys, 0x14, {0x01}));
    ASSERT_TRUE(m.write(kSys, 0x50, {0x00}));
    ASSERT_TRUE(m.write(kSys, 0x10, {0x00}));
    settle(42);
    ASSERT_TRUE(m.bankWrite(kSys, 0x00, 0x1A, {0x01}));
    ASSERT_EQ(demod->state(), DemodModel::State::Sleep);
    tunerPowerOn();
    ASSERT_TRUE(m.bankWrite(kMain, 0x00, 0xC4, {0x81}));
    ASSERT_TRUE(m.write(kMain, 0xD1, {0x01}));
    ASSERT_TRUE(m.write(kMain, 0xD9, {0x08}));
    ASSERT_TRUE(m.write(kMain, 0x32, {0x00}));
    ASSERT_TRUE(m.write(kMain, 0x33, {0x01}));
    ASSERT_TRUE(m.write(kMain, 0x32, {0x01}));
    ASSERT_TRUE(m.bankWrite(kMain, 0x10, 0x66, {0x01}));
    ASSERT_TRUE(m.bankWrite(kMain, 0x40, 0x66, {0x01}));
    ASSERT_TRUE(m.bankWrite(kSys, 0x00, 0x17, {selector}));
    ASSERT_TRUE(m.bankWrite(kMain, 0x00, 0xA9, {0x00}));
    ASSERT_TRUE(m.write(kMain, 0x2C, {0x01}));
    ASSERT_TRUE(m.write(kMain, 0x4B, {0x74}));
    ASSERT_TRUE(m.write(kMain, 0x49, {0x00}));
    ASSERT_TRUE(m.write(kSys, 0x18, {0x00}));
    ASSERT_TRUE(m.bankWrite(kMain, 0x11, 0x6A, {0x50}));
    ASSERT_TRUE(m.bankWrite(kMain, 0x00, 0xCE, {0x01, 0x01}));
    ASSERT_TRUE(m.bankWrite(kMain, 0x11, 0x33, {0x00, 0x03, 0x3B}));
  }

  // The tuner's power-on (variant 3, the board's crystal and oscillator settings).
  void tunerPowerOn() {
    repeater(true);
    ASSERT_TRUE(m.write(0xC0, 0x99, {0x7A, 0x01}));
    ASSERT_TRUE(m.write(0xC0, 0x81, {0x18, 0x84, 0xA8, 0x82, 0x00, 0x00, 0xC4, 0x40, 0x10, 0x00,
                                     0x45, 0x75, 0x07, 0x1C, 0x3F, 0x02, 0x10, 0x20, 0x0A, 0x00}));
    ASSERT_TRUE(m.write(0xC0, 0x9B, {0x00}));
    ASSERT_TRUE(m.write(0xC0, 0x17, {0x2A, 0x0E}));
    ASSERT_TRUE(m.write(0xC0, 0x95, {0x07}));
    for (auto [r, v] : std::vector<std::pair<uint8_t, uint8_t>>{
             {0xB0, 0x01}, {0x30, 0xE1}, {0xB1, 0x00}, {0xB3, 0x00}, {0x80, 0x01}})
      ASSERT_TRUE(m.write(0xC0, r, {v}));
    repeater(false);
  }

  // DVB-T's own settings besides the band.
  void dvbtSettings() {
    ASSERT_TRUE(m.bankWrite(kMain, 0x11, 0x6A, {0x50}));
    ASSERT_TRUE(m.bankWrite(kMain, 0x10, 0xA5, {0x01}));
    ASSERT_TRUE(m.write(kMain, 0x67, {0x00}));
    ASSERT_TRUE(m.bankWrite(kMain, 0x18, 0x31, {0x01}));
  }

  void dvbtBand(int mhz) {
    struct Row {
      std::vector<uint8_t> trl, block, ifc;
      uint8_t d7;
      std::vector<uint8_t> d9, b17;
    };
    std::vector<uint8_t> b8 = {0x2F, 0xBA, 0x28, 0x9B, 0x28, 0x9D, 0x28,
                               0xA1, 0x29, 0xA5, 0x2A, 0xAC, 0x29, 0xB5};
    std::vector<uint8_t> b7 = {0x30, 0xB1, 0x29, 0x9A, 0x28, 0x9C, 0x28,
                               0xA0, 0x29, 0xA2, 0x2B, 0xA6, 0x2B, 0xAD};
    std::vector<uint8_t> b6 = {0x31, 0xA8, 0x29, 0x9B, 0x27, 0x9C, 0x28,
                               0x9E, 0x29, 0xA4, 0x29, 0xA2, 0x29, 0xA8};
    std::map<int, Row> rows = {
        {8, {{0x15, 0, 0, 0, 0}, b8, {0x19, 0x99, 0x9A}, 0x00, {0x15, 0x28}, {0x01, 0x02}}},
        {7, {{0x18, 0, 0, 0, 0}, b7, {0x16, 0x66, 0x66}, 0x02, {0x1F, 0xF8}, {0x00, 0x03}}},
        {6, {{0x1C, 0, 0, 0, 0}, b6, {0x13, 0x33, 0x33}, 0x04, {0x25, 0x4C}, {0x00, 0x03}}},
        {5, {{0x21, 0x99, 0x99, 0x99, 0x99}, b6, {0x13, 0x33, 0x33}, 0x06, {0x2C, 0xC2}, {0x00, 0x03}}},
    };
    const Row& r = rows.at(mhz);
    ASSERT_TRUE(m.bankWrite(kMain, 0x13, 0x9C, {0x01, 0x14}));
    ASSERT_TRUE(m.bankWrite(kMain, 0x10, 0x9F, r.trl));
    ASSERT_TRUE(m.write(kMain, 0xA6, r.block));
    ASSERT_TRUE(m.write(kMain, 0xB6, r.ifc));
    ASSERT_TRUE(m.write(kMain, 0xD7, {r.d7}));
    ASSERT_TRUE(m.write(kMain, 0xD9, r.d9));
    ASSERT_TRUE(m.bankWrite(kMain, 0x17, 0x38, r.b17));
  }

  void tuneTuner(uint32_t fKHz, int row) {
    const bool cable = row == 24;
    repeater(true);
    ASSERT_TRUE(m.write(0xC0, 0x74, {0x02}));
    ASSERT_TRUE(m.write(0xC0, 0x87, {0xC4, 0x40}));
    ASSERT_TRUE(m.write(0xC0, 0x91, {uint8_t(cable ? 0x16 : 0x10), uint8_t(cable ? 0x26 : 0x20)}));
    ASSERT_TRUE(m.write(0xC0, 0x9C, {0x00, 0x00}));
    ASSERT_TRUE(m.write(0xC0, 0x5E,
                        {0xEE, 0x02, 0x1E, 0x67, uint8_t(cable ? 0x18 : 0x03), uint8_t(cable ? 0x1C : 0xB4),
                         0x78, 0x08, uint8_t(cable ? 0x1C : 0x30)}));
    ASSERT_TRUE(m.write(0xC0, 0x68, tuneBlock(fKHz, row, 3)));
    settle(100);
    ASSERT_TRUE(m.write(0xC0, 0x88, {0x00}));
    ASSERT_TRUE(m.write(0xC0, 0x87, {0xC0}));
    repeater(false);
  }

  void tuneEnd() {
    ASSERT_TRUE(m.bankWrite(kMain, 0x00, 0x80, {0x08}));
    ASSERT_TRUE(m.write(kMain, 0x81, {0xFE}));  // TSDATA0 driven
    ASSERT_TRUE(m.write(kMain, 0xFE, {0x01}));
    ASSERT_TRUE(m.write(kMain, 0xC3, {0x00}));  // stream output on
  }

  // DVB-T tune as the integration layer orders it.
  void tuneDvbt(uint32_t fKHz, int bandMHz, int tunerRow) {
    wake(0x01);
    dvbtSettings();
    dvbtBand(bandMHz);
    tuneTuner(fKHz, tunerRow);
    tuneEnd();
  }

  int syncByte() { return m.bankRead1(kMain, 0x10, 0x10); }
  bool tsLocked() {
    int v = syncByte();
    return v >= 0 && (v & 7) == 6 && (v & 0x20) && !(v & 0x10);
  }
  bool unlockSeen() {
    int v = syncByte();
    return v >= 0 && (v & 0x10);
  }

  sim::TunerOptions tunerOpt;
  std::shared_ptr<sim::Air> air;
  std::unique_ptr<sim::TunerModel> tuner;
  std::unique_ptr<DemodModel> demod;
  sim::I2cBus bus{0x4000};
  Master m{bus};
};

TEST(DemodAddressing, MainAddressFollowsPathAndSlavesDeriveFromIt) {
  EXPECT_EQ(sim::demodMainAddress(1), 0xC8);
  EXPECT_EQ(sim::demodMainAddress(2), 0xD8);
  EXPECT_EQ(sim::demodMainAddress(3), 0xCA);
  EXPECT_EQ(sim::demodMainAddress(4), 0xDA);
  EXPECT_EQ(sim::demodMainAddress(5), 0xC8);
  EXPECT_EQ(sim::demodSlaveAddress(0xDA, DemodSlave::Mon), 0x32);
  EXPECT_EQ(sim::demodSlaveAddress(0xC8, DemodSlave::Mon), 0x20);
  EXPECT_EQ(sim::demodSlaveAddress(0xD8, DemodSlave::Mon), 0x30);
  EXPECT_EQ(sim::demodSlaveAddress(0xC8, DemodSlave::R), 0x88);
  EXPECT_EQ(sim::demodSlaveAddress(0xC8, DemodSlave::Sys), 0xCC);
}

TEST_F(PathTest, AnswersOnItsFourAddressesOnly) {
  for (uint8_t a : {0xC8, 0xCC, 0x88, 0x20}) EXPECT_TRUE(bus.start(a, false)) << int(a);
  bus.stop();
  for (uint8_t a : {0xCA, 0xD8, 0xDA, 0xC0, 0xA0, 0x00}) EXPECT_FALSE(bus.start(a, false)) << int(a);
  bus.stop();
}

TEST_F(PathTest, BanksArePerSlaveAndBurstsAutoIncrement) {
  ASSERT_TRUE(m.bankWrite(kMain, 0x10, 0x30, {0xAA, 0xAB, 0xAC}));
  ASSERT_TRUE(m.bankWrite(kMain, 0x11, 0x30, {0xBB}));
  ASSERT_TRUE(m.bankWrite(kSys, 0x10, 0x30, {0xCC}));
  // The system slave's bank write left the main slave on bank 0x11.
  EXPECT_EQ(m.read1(kMain, 0x30), 0xBB);
  EXPECT_EQ(m.read1(kMain, 0x00), 0x11);
  uint8_t burst[3] = {};
  ASSERT_TRUE(m.write(kMain, 0x00, {0x10}));
  ASSERT_TRUE(m.read(kMain, 0x30, burst, 3));
  EXPECT_EQ(burst[0], 0xAA);
  EXPECT_EQ(burst[1], 0xAB);
  EXPECT_EQ(burst[2], 0xAC);
  EXPECT_EQ(m.bankRead1(kSys, 0x10, 0x30), 0xCC);
  EXPECT_EQ(m.bankRead1(kSys, 0x11, 0x30), 0x00);
  // A plain read continues where the last access left the pointer.
  ASSERT_TRUE(m.write(kMain, 0x00, {0x10}));
  ASSERT_TRUE(m.write(kMain, 0x31, {}));
  ASSERT_TRUE(bus.start(kMain, true));
  EXPECT_EQ(bus.read(), 0xAB);
  EXPECT_EQ(bus.read(), 0xAC);
  bus.stop();
}

TEST(DemodChipId, ReadsBackEveryVariant) {
  auto air = testAir();
  for (uint16_t id : {sim::kDemodChip90, sim::kDemodChip91, sim::kDemodChip396, sim::kDemodChip297,
                      sim::kDemodChip197, sim::kDemodChipUnknown}) {
    sim::TunerModel tuner(air);
    DemodModel d(0xDA, air, tuner, sim::DemodOptions{id});
    sim::I2cBus bus(0x5000);
    bus.addSlave(&d);
    Master m(bus);
    ASSERT_TRUE(m.write(0xDE, 0x00, {0x00}));
    int fb = m.read1(0xDE, 0xFB), fd = m.read1(0xDE, 0xFD);
    ASSERT_GE(fb, 0);
    EXPECT_EQ(((fb & 3) << 8) | fd, id);
    // The id cannot be overwritten.
    ASSERT_TRUE(m.write(0xDE, 0xFD, {0x00}));
    EXPECT_EQ(m.read1(0xDE, 0xFD), fd);
  }
}

TEST_F(PathTest, ResetNaksAndRestoresPowerOnValues) {
  ASSERT_TRUE(m.bankWrite(kMain, 0x10, 0x30, {0x5A}));
  repeater(true);
  ASSERT_TRUE(demod->repeaterOpen());
  demod->setReset(true);
  EXPECT_FALSE(bus.start(kMain, false));
  bus.stop();
  EXPECT_FALSE(bus.start(0xC0, false));  // the tuner is cut off too
  bus.stop();
  demod->setReset(false);
  EXPECT_EQ(m.bankRead1(kMain, 0x10, 0x30), 0x00);
  EXPECT_EQ(m.read1(kMain, 0x00), 0x10);
  EXPECT_FALSE(demod->repeaterOpen());
  EXPECT_EQ(demod->state(), DemodModel::State::Shutdown);
}

TEST_F(PathTest, RepeaterGatesTheTuner) {
  EXPECT_EQ(m.read1(0xC0, 0x7F), -1);
  repeater(true);
  EXPECT_EQ(m.read1(0xC0, 0x7F), tunerOpt.chipId);
  repeater(false);
  EXPECT_EQ(m.read1(0xC0, 0x7F), -1);
}

TEST(Repeater, TwoOpenRepeatersOnOneMasterCollide) {
  auto air = testAir();
  sim::I2cBus bus(0x4000);
  sim::FrontEnds fe(air, [&](int master, sim::I2cSlave* s) {
    if (master == 0) bus.addSlave(s);
  });
  Master m(bus);
  ASSERT_TRUE(m.write(0xCC, 0x08, {1}));  // path 1
  ASSERT_EQ(m.read1(0xC0, 0x7F), 0xE4);
  EXPECT_EQ(bus.collisions(), 0u);
  ASSERT_TRUE(m.write(0xDC, 0x08, {1}));  // path 2 on the same master
  m.read1(0xC0, 0x7F);
  EXPECT_GT(bus.collisions(), 0u);
  // The other paths' chips are on other masters.
  EXPECT_FALSE(bus.start(0xCA, false));
  bus.stop();
}

TEST_F(PathTest, TunerProbeReadBacksTellTheVariant) {
  struct Case {
    uint8_t id;
    int probe, expect;
  };
  for (Case c : {Case{0xC2, 1, 1}, Case{0xD7, 2, 2}, Case{0xC0, 4, 4}, Case{0xE5, 1, 3}}) {
    sim::TunerModel t(air, sim::TunerOptions{c.id, c.probe, false});
    sim::I2cBus b;
    b.addSlave(&t);
    Master tm(b);
    ASSERT_EQ(tm.read1(0xC0, 0x7F), c.id);
    ASSERT_EQ(tm.read1(0xC0, 0x1A), 0);
    int variant = (c.id & 0xF0) == 0xE0 ? 3 : 0;
    if (!variant) {
      ASSERT_TRUE(tm.write(0xC0, 0x17, {0x8C, 0x06}));
      if (tm.read1(0xC0, 0x19) & 0x08) variant = 4;
    }
    if (!variant) {
      ASSERT_TRUE(tm.write(0xC0, 0x17, {0x96, 0x06}));
      variant = (tm.read1(0xC0, 0x19) & 0x40) ? 1 : 2;
    }
    EXPECT_EQ(variant, c.expect) << std::hex << int(c.id);
  }
  sim::TunerModel bad(air, sim::TunerOptions{0xD1, 1, true});
  sim::I2cBus b;
  b.addSlave(&bad);
  EXPECT_NE(Master(b).read1(0xC0, 0x1A), 0);
}

TEST_F(PathTest, TunerDecodesFrequencyAndSystemFromTheTuneBlock) {
  tuneTuner(474000, 17);
  auto t = tuner->tuning();
  ASSERT_TRUE(t.valid);
  EXPECT_EQ(t.frequencyKHz, 474000u);
  EXPECT_EQ(t.filterHz, 8000000u);
  EXPECT_EQ(t.systemRow, 17);
  EXPECT_FALSE(t.cable);
  tuneTuner(172000, 16);  // band edge: low-band columns
  t = tuner->tuning();
  EXPECT_EQ(t.frequencyKHz, 172000u);
  EXPECT_EQ(t.systemRow, 16);
  EXPECT_EQ(t.filterHz, 7000000u);
  tuneTuner(346000, 24);
  t = tuner->tuning();
  EXPECT_TRUE(t.cable);
  EXPECT_EQ(t.systemRow, 23 + 1);
}

// RF level through the tuner driver's RSSI formula and the DVB-T level offset.
double readLevelDbm(Master& m, int variant) {
  m.write(0xC0, 0x87, {0xC4, 0x41});
  m.write(0xC0, 0x59, {0x05, 0x01});
  int ifAgc = m.read1(0xC0, 0x5B);
  m.write(0xC0, 0x59, {0x03, 0x01});
  int rfAgc = m.read1(0xC0, 0x5B);
  m.write(0xC0, 0x59, {0x04});
  m.write(0xC0, 0x88, {0x00});
  m.write(0xC0, 0x87, {0xC0});
  int r69 = m.read1(0xC0, 0x69);
  uint8_t f[3];
  m.read(0xC0, 0x70, f, 3);
  uint32_t fKHz = f[0] | (f[1] << 8) | ((f[2] & 0x0F) << 16);
  return (driverRssi(ifAgc, rfAgc, r69, fKHz, variant) - 400) / 100.0;  // DVB-T offset -4 dB
}

TEST_F(PathTest, RssiWordsGiveTheAirLevelBack) {
  tuneTuner(474000, 17);
  repeater(true);
  for (double lvl : {-88.0, -71.35, -60.0, -47.3, -33.9, -20.0, -12.25}) {
    ASSERT_TRUE(air->setRfLevel("T8", lvl));
    EXPECT_NEAR(readLevelDbm(m, 3), lvl, 0.1) << lvl;
  }
  // Other frequency bands use other gain tables.
  repeater(false);
  tuneTuner(177500, 16);
  repeater(true);
  EXPECT_NEAR(readLevelDbm(m, 3), -50.0, 0.1);
}

TEST(TunerRssi, VariantTwoOffsetIsCompensated) {
  auto air = testAir();
  sim::TunerModel t(air, sim::TunerOptions{0xD3, 2, false});
  sim::I2cBus b;
  b.addSlave(&t);
  Master m(b);
  m.write(0xC0, 0x68, tuneBlock(474000, 17, 2));
  EXPECT_NEAR(readLevelDbm(m, 2), -47.3, 0.1);
}

TEST_F(PathTest, DvbtLocksOnlyAfterAcquisitionTime) {
  wake(0x01);
  dvbtSettings();
  dvbtBand(8);
  tuneTuner(474000, 17);
  host::clock::setScale(1000);  // platform time nearly stands still: nothing can lock by itself
  tuneEnd();
  EXPECT_FALSE(tsLocked());
  EXPECT_EQ(demod->stream(), nullptr);
  host::clock::setScale(0.02);
  ASSERT_TRUE(eventually([&] { return tsLocked(); })) << demod->fault();
  EXPECT_EQ(demod->activeSystem(), sim::DeliverySystem::DVBT);
  auto mux = demod->lockedMultiplex();
  ASSERT_TRUE(mux);
  EXPECT_EQ(mux->name, "T8");
}

TEST_F(PathTest, DvbtLocksAtEveryBandwidth) {
  struct Case {
    uint32_t f;
    int mhz, row;
  };
  for (Case c : {Case{177500, 7, 16}, Case{602000, 6, 14}, Case{226500, 5, 14}, Case{474100, 8, 17}}) {
    tuneDvbt(c.f, c.mhz, c.row);
    EXPECT_TRUE(eventually([&] { return tsLocked(); })) << c.f;
  }
}

TEST_F(PathTest, DvbtDoesNotLockWhenSomethingDoesNotFit) {
  // Band settings of 7 MHz on an 8 MHz channel.
  tuneDvbt(474000, 7, 17);
  ASSERT_TRUE(eventually([&] { return unlockSeen(); }));
  EXPECT_FALSE(tsLocked());
  // Off the channel by more than the pull-in range.
  tuneDvbt(475000, 8, 17);
  ASSERT_TRUE(eventually([&] { return unlockSeen(); }));
  EXPECT_FALSE(tsLocked());
  // C/N below the standard's threshold.
  air->setCnr("T8", sim::systemLimits(sim::DeliverySystem::DVBT).minCnrDb - 0.5);
  tuneDvbt(474000, 8, 17);
  ASSERT_TRUE(eventually([&] { return unlockSeen(); }));
  EXPECT_FALSE(tsLocked());
  air->setCnr("T8", 27.4);
  // Tuner narrower than the channel.
  tuneDvbt(474000, 8, 14);
  ASSERT_TRUE(eventually([&] { return unlockSeen(); }));
  EXPECT_FALSE(tsLocked());
  // Everything fits but the tune never ended.
  wake(0x01);
  dvbtSettings();
  dvbtBand(8);
  tuneTuner(474000, 17);
  EXPECT_EQ(demod->status().tuneEnded, false);
  EXPECT_FALSE(demod->status().canLock);
}

TEST_F(PathTest, RetuningTheTunerAfterLockDropsIt) {
  tuneDvbt(474000, 8, 17);
  ASSERT_TRUE(eventually([&] { return tsLocked(); }));
  tuneTuner(602000, 14);
  EXPECT_FALSE(tsLocked());
  EXPECT_FALSE(demod->status().canLock);
}

TEST_F(PathTest, DvbtOnTheWrongSystemSelectorNeverLocks) {
  wake(0x02);  // DVB-T2 selected, DVB-T band settings, DVB-T multiplex on air
  dvbtBand(8);
  tuneTuner(474000, 17);
  tuneEnd();
  ASSERT_TRUE(eventually([&] { return (m.bankRead1(kMain, 0x20, 0x10) & 0x10) != 0; }));
  EXPECT_FALSE(demod->signalLock());
}

int32_t dvbtSnr(Master& m) {
  m.write(0xC8, 0x01, {1});
  m.write(0xC8, 0x00, {0x10});
  uint8_t b[2];
  m.read(0xC8, 0x28, b, 2);
  m.write(0xC8, 0x01, {0});
  uint32_t x = (b[0] << 8) | b[1];
  if (x == 0) return INT32_MIN;
  x = std::min<uint32_t>(x, 4996);
  return 100 * (chiptest::log10x100(x) - chiptest::log10x100(5350 - x)) + 28500;
}

TEST_F(PathTest, SnrRegistersGiveTheAirCnrBack) {
  tuneDvbt(474000, 8, 17);
  ASSERT_TRUE(eventually([&] { return tsLocked(); }));
  // The coding steps by 0.1 dB; every C/N the chip can still lock on reads back within one step.
  for (double cn = 18.0; cn <= 39.0; cn += 0.35) {
    air->setCnr("T8", cn);
    EXPECT_NEAR(dvbtSnr(m) / 1000.0, cn, 0.1 + 1e-9) << cn;
  }
}

TEST_F(PathTest, FrozenMonitorsHoldTheirValues) {
  tuneDvbt(474000, 8, 17);
  ASSERT_TRUE(eventually([&] { return tsLocked(); }));
  ASSERT_TRUE(m.write(kMain, 0x01, {1}));
  int before = m.bankRead1(kMain, 0x10, 0x29);
  air->setCnr("T8", 19.0);
  EXPECT_EQ(m.bankRead1(kMain, 0x10, 0x29), before);
  ASSERT_TRUE(m.write(kMain, 0x01, {0}));
  EXPECT_NE(m.bankRead1(kMain, 0x10, 0x29), before);
}

TEST_F(PathTest, StreamFollowsLockAndOutputAndNotifies) {
  std::atomic<int> calls{0};
  demod->setStreamListener([&] { ++calls; });
  tuneDvbt(474000, 8, 17);
  ASSERT_TRUE(eventually([&] { return demod->stream() != nullptr; }));
  auto s = demod->stream();
  EXPECT_EQ(s, demod->stream());  // one source per lock
  EXPECT_EQ(s->bitrate(), air->find(sim::DeliverySystem::DVBT, 474000000, 0)->bitrate);
  ASSERT_TRUE(eventually([&] { return calls.load() >= 1; }));
  ASSERT_TRUE(m.bankWrite(kMain, 0x00, 0xC3, {0x01}));  // output off
  EXPECT_EQ(demod->stream(), nullptr);
  ASSERT_TRUE(eventually([&] { return calls.load() >= 2; }));
  demod->setStreamListener(nullptr);
}

// Output settings shape the stream rather than the lock, and the model names the register.
TEST_F(PathTest, PinsAndTsClockShapeTheStream) {
  tuneDvbt(474000, 8, 17);
  ASSERT_TRUE(eventually([&] { return demod->stream() != nullptr; })) << demod->fault();
  const uint64_t bitrate = air->find(sim::DeliverySystem::DVBT, 474000000, 0)->bitrate;
  EXPECT_EQ(demod->stream()->bitrate(), bitrate);
  // TSDATA0 back in high impedance: locked, but no packets.
  ASSERT_TRUE(m.bankWrite(kMain, 0x00, 0x81, {0xFF}));
  EXPECT_TRUE(demod->signalLock());
  EXPECT_EQ(demod->stream(), nullptr);
  EXPECT_NE(demod->fault().find("main 0x00:0x81"), std::string::npos) << demod->fault();
  ASSERT_TRUE(m.write(kMain, 0x81, {0xFE}));
  // A period of 16 taken by a clock restart halves the rate; without the restart the clock keeps its old
  // settings but the model still reports the register.
  ASSERT_TRUE(m.write(kMain, 0xD9, {0x10}));
  EXPECT_EQ(demod->stream()->bitrate(), bitrate);
  EXPECT_NE(demod->fault().find("main 0x00:0xd9 = 10, needs 08"), std::string::npos) << demod->fault();
  ASSERT_TRUE(m.write(kMain, 0x32, {0x00}));
  ASSERT_TRUE(m.write(kMain, 0x32, {0x01}));
  EXPECT_EQ(demod->stream()->bitrate(), bitrate / 2);
}

TEST_F(PathTest, Dvbt2SelectsPlpAndListsThem) {
  wake(0x02);
  ASSERT_TRUE(m.bankWrite(kMain, 0x2B, 0x9D, {0x2E}));
  ASSERT_TRUE(m.bankWrite(kMain, 0x13, 0x83, {0x10}));
  ASSERT_TRUE(m.write(kMain, 0x86, {0x34}));
  ASSERT_TRUE(m.write(kMain, 0x9F, {0xD8}));
  ASSERT_TRUE(m.bankWrite(kMain, 0x23, 0xDB, {0x01}));
  std::vector<uint8_t> b8 = {0x2F, 0xBA, 0x28, 0x9B, 0x28, 0x9D, 0x28,
                             0xA1, 0x29, 0xA5, 0x2A, 0xAC, 0x29, 0xB5};
  ASSERT_TRUE(m.bankWrite(kMain, 0x23, 0xAF, {0x03}));
  ASSERT_TRUE(m.write(kMain, 0xAD, {0x01}));
  ASSERT_TRUE(m.bankWrite(kMain, 0x20, 0x9F, {0x15, 0, 0, 0, 0}));
  ASSERT_TRUE(m.bankWrite(kMain, 0x27, 0x7A, {0x00}));
  ASSERT_TRUE(m.bankWrite(kMain, 0x10, 0xA6, b8));
  ASSERT_TRUE(m.write(kMain, 0xA5, {0x01}));
  ASSERT_TRUE(m.write(kMain, 0xB6, {0x19, 0x99, 0x9A}));
  ASSERT_TRUE(m.write(kMain, 0xD7, {0x00}));
  tuneTuner(538000, 22);
  tuneEnd();
  ASSERT_TRUE(eventually([&] { return (m.bankRead1(kMain, 0x20, 0x10) & 0x27) == 0x26; }));
  EXPECT_EQ(demod->lockedMultiplex()->name, "T2b");
  ASSERT_EQ(m.bankRead1(kMain, 0x22, 0x12) & 1, 1);
  ASSERT_EQ(m.read1(kMain, 0x7F), 2);
  EXPECT_EQ(m.read1(kMain, 0x80), 0);
  EXPECT_EQ(m.read1(kMain, 0x81), 3);
  // A PLP that is not on air does not lock.
  ASSERT_TRUE(m.bankWrite(kMain, 0x23, 0xAF, {0x07}));
  tuneEnd();
  ASSERT_TRUE(eventually([&] { return (m.bankRead1(kMain, 0x20, 0x10) & 0x10) != 0; }));
  EXPECT_FALSE(demod->signalLock());
}

TEST_F(PathTest, FrontEndsWireEightPathsOnFourMasters) {
  std::vector<std::vector<sim::I2cSlave*>> onMaster(4);
  sim::FrontEnds fe(air, [&](int master, sim::I2cSlave* s) { onMaster.at(master).push_back(s); });
  for (int mIdx = 0; mIdx < 4; ++mIdx) {
    ASSERT_EQ(onMaster[mIdx].size(), 4u);  // two demodulators and their repeater ports
    EXPECT_NE(fe.demod(2 * mIdx + 1).mainAddress(), fe.demod(2 * mIdx + 2).mainAddress());
  }
  EXPECT_EQ(onMaster[3][0], &fe.demod(7));
  fe.setResetAll(true);
  EXPECT_TRUE(fe.demod(8).inReset());
  fe.setReset(8, false);
  EXPECT_FALSE(fe.demod(8).inReset());
  EXPECT_TRUE(fe.demod(7).inReset());
  EXPECT_EQ(fe.stream(3), nullptr);
  EXPECT_THROW(fe.demod(9), std::out_of_range);
}

}  // namespace

namespace {

TEST(FrontEndsOnCard, AttachToTheCardBusesAndLeaveThemOnDestruction) {
  sim::Card card;
  {
    sim::FrontEnds fe(card, sim::Air::makeDefault());
    Master m0(card.i2cBus(0)), m3(card.i2cBus(3));
    for (int p = 1; p <= 8; ++p) EXPECT_EQ(fe.demod(p).inReset(), card.demodInReset(p - 1));
    ASSERT_TRUE(m0.write(0xCC, 0x00, {0x00}));  // path 1
    ASSERT_TRUE(m3.write(0xDE, 0x00, {0x00}));  // path 8
    EXPECT_EQ(m0.read1(0xDE, 0xFD), -1);        // path 8 is not on master 0
  }
  EXPECT_FALSE(card.i2cBus(0).start(0xC8, false));
  card.i2cBus(0).stop();
}

}  // namespace
