// ASCOT3 tuner driver: creation rules, variant detection, band edges, range refusals, RSSI and RF level.
#include <gtest/gtest.h>

#include "rig.h"

namespace {
std::vector<uint8_t> lastTuneBytes(const std::vector<fake::Transfer>& log) {
  for (auto it = log.rbegin(); it != log.rend(); ++it)
    if (it->write && it->slave == 0xC0 && it->reg == 0x68) return it->data;
  return {};
}
std::vector<uint8_t> last5eBlock(const std::vector<fake::Transfer>& log) {
  for (auto it = log.rbegin(); it != log.rend(); ++it)
    if (it->write && it->slave == 0xC0 && it->reg == 0x5E && it->data.size() == 9) return it->data;
  return {};
}
}  // namespace

class Tuner : public ::testing::Test {
 protected:
  // Tuner of path 1 with its repeater held open on the fake bus.
  void make(uint8_t id, uint8_t reg19 = 0x00, ULONG flags = 0xF03000) {
    rig.add(1, 0x396, id);
    rig.tunerReg(1, 0x19) = reg19;
    rig.bus.reg(rig.master(1), rig.main(1) + 4, 0, 0x08) = 1;
    ASSERT_EQ(sony_ascot3_Create(t(), 2, 0xC0, flags), DEMOD_OK);
  }
  sony_ascot3_t* t() { return &rig.tuner(1); }
  Rig rig;
};

TEST_F(Tuner, CreateRules) {
  rig.add(1);
  EXPECT_EQ(sony_ascot3_Create(nullptr, 2, 0xC0, 0), DEMOD_ERR_ARGUMENT);
  EXPECT_EQ(sony_ascot3_Create(t(), 3, 0xC0, 0), DEMOD_ERR_UNSUPPORTED);
  EXPECT_EQ(sony_ascot3_Create(t(), 3, 0xC0, kAscot3ExtRef), DEMOD_OK);
  EXPECT_EQ(sony_ascot3_Create(t(), 2, 0xC0, kAscot3ExtRef | kAscot3OscOffInSleep), DEMOD_ERR_UNSUPPORTED);
  ASSERT_EQ(sony_ascot3_Create(t(), 2, 0xC0, 0xF03000), DEMOD_OK);
  EXPECT_EQ(t()->xoscCapacitance, 4);
  EXPECT_EQ(t()->xoscDrive, 0x28);
  EXPECT_EQ(t()->p_path, &rig.path(1));  // creation keeps the link to the bus
  EXPECT_TRUE(rig.bus.log().empty());
}

TEST_F(Tuner, ChipIdSelectsVariant) {
  make(0xE5);
  ASSERT_EQ(sony_ascot3_Initialize(t()), DEMOD_OK);
  EXPECT_EQ(t()->chipVariant, SONY_ASCOT3_VARIANT_2871A);
  EXPECT_EQ(t()->state, SONY_ASCOT3_STATE_SLEEP);
  EXPECT_NE(fake::trace().find("the tuner is 2871A "), std::string::npos);
  EXPECT_TRUE(fake::hasWrite(rig.bus.log(), 0xC0, 0, 0x17, {0x2A, 0x0E}));
  EXPECT_TRUE(fake::hasWrite(rig.bus.log(), 0xC0, 0, 0x30, {0xE1}));
}

TEST_F(Tuner, UnknownChipIdRefusedAfterIdRead) {
  make(0xB0);
  EXPECT_EQ(sony_ascot3_Initialize(t()), DEMOD_ERR_UNSUPPORTED);
  EXPECT_EQ(rig.bus.log().size(), 1u);
  EXPECT_EQ(t()->state, SONY_ASCOT3_STATE_CREATED);
}

TEST_F(Tuner, VariantDetectionAtPowerOn) {
  const struct {
    uint8_t reg19;
    ULONG variant;
  } cases[] = {{0x08, SONY_ASCOT3_VARIANT_4}, {0x40, SONY_ASCOT3_VARIANT_1}, {0x00, SONY_ASCOT3_VARIANT_2}};
  for (const auto& c : cases) {
    Rig local;
    local.add(1, 0x396, 0xD1);
    local.tunerReg(1, 0x19) = c.reg19;
    local.bus.reg(local.master(1), local.main(1) + 4, 0, 0x08) = 1;
    sony_ascot3_t* tu = &local.tuner(1);
    ASSERT_EQ(sony_ascot3_Create(tu, 2, 0xC0, 0xF03000), DEMOD_OK);
    ASSERT_EQ(sony_ascot3_Initialize(tu), DEMOD_OK);
    EXPECT_EQ(tu->chipVariant, c.variant) << int(c.reg19);
    // Power-on block: crystal 2 code, oscillator bytes, reference-output level 3.
    EXPECT_TRUE(fake::hasWrite(local.bus.log(), 0xC0, 0, 0x81,
                               {0x18, 0x84, 0xA8, 0x82, 0x00, 0x00, 0xC4, 0x40, 0x10, 0x00,
                                0x45, 0x75, 0x07, 0x1C, 0x3F, 0x02, 0x10, 0x20, 0x0A, 0x00}));
  }
}

TEST_F(Tuner, PowerOnFailsWhenBusyRegisterSet) {
  make(0xC4);
  rig.tunerReg(1, 0x1A) = 1;
  EXPECT_EQ(sony_ascot3_Initialize(t()), DEMOD_ERR_HARDWARE);
}

TEST_F(Tuner, BandEdges) {
  make(0xC4, 0x40);
  ASSERT_EQ(sony_ascot3_Initialize(t()), DEMOD_OK);
  // Analog system 1 has distinct low/middle/high columns (c3..c5 = 03 06 03).
  const struct {
    ULONG f;
    uint8_t byte3;
    uint8_t b5e4;
  } cases[] = {{172000, 0x03, 0x30}, {172001, 0x06, 0x30}, {464000, 0x06, 0x30}, {464001, 0x03, 0x0C}};
  for (const auto& c : cases) {
    ASSERT_EQ(sony_ascot3_Tune(t(), c.f, 1), DEMOD_OK) << c.f;
    auto tune = lastTuneBytes(rig.bus.log());
    ASSERT_EQ(tune.size(), 17u);
    EXPECT_EQ(tune[3], c.byte3) << c.f;
    EXPECT_EQ(tune[8], uint8_t(c.f));
    EXPECT_EQ(tune[9], uint8_t(c.f >> 8));
    EXPECT_EQ(tune[10], uint8_t(((c.f >> 16) & 0x0F) | 0x80));
    EXPECT_EQ(last5eBlock(rig.bus.log())[4], c.b5e4) << c.f;
  }
}

TEST_F(Tuner, Variant4LowFrequencyTail) {
  make(0xC4, 0x08);
  ASSERT_EQ(sony_ascot3_Initialize(t()), DEMOD_OK);
  ASSERT_EQ(t()->chipVariant, SONY_ASCOT3_VARIANT_4);
  ASSERT_EQ(sony_ascot3_Tune(t(), 100000, 17), DEMOD_OK);
  auto tune = lastTuneBytes(rig.bus.log());
  EXPECT_EQ(std::vector<uint8_t>(tune.begin() + 13, tune.end()),
            (std::vector<uint8_t>{0x09, 0x00, 0x27, 0x87}));
  EXPECT_EQ(tune[12], 0x11);
  ASSERT_EQ(sony_ascot3_Tune(t(), 100001, 17), DEMOD_OK);
  tune = lastTuneBytes(rig.bus.log());
  EXPECT_EQ(std::vector<uint8_t>(tune.begin() + 13, tune.end()),
            (std::vector<uint8_t>{0x99, 0x00, 0x24, 0x87}));
}

// The tune block overwrites 0x74, whose calibration bits the chip takes as a block begins: a block refused
// part way is sent again only after they are set again, and three refusals fail the tune.
TEST_F(Tuner, RefusedTuneBlockIsRepeatedAfterTheCalibrationBits) {
  make(0xC4, 0x40);
  ASSERT_EQ(sony_ascot3_Initialize(t()), DEMOD_OK);
  for (int refusals : {2, 3}) {
    SCOPED_TRACE(refusals);
    int refused = 0;
    rig.bus.failIf = [&](const fake::Transfer& x) {
      return x.write && x.reg == 0x68 && refused++ < refusals;
    };
    rig.bus.clearLog();
    EXPECT_EQ(sony_ascot3_Tune(t(), 474000, 17), refusals < 3 ? DEMOD_OK : DEMOD_ERR_BUS);
    std::string order;
    for (const auto& x : rig.bus.log())
      if (x.write && (x.reg == 0x68 || x.reg == 0x74)) order += x.reg == 0x68 ? (x.ok ? "B" : "b") : "c";
    EXPECT_EQ(order, refusals < 3 ? "cbcbcB" : "cbcbcb");
  }
}

TEST_F(Tuner, RefusalsWithoutTraffic) {
  make(0xC4);
  LONG rssi = 0;
  EXPECT_EQ(sony_ascot3_Tune(t(), 474000, 17), DEMOD_ERR_STATE);  // not initialised
  ASSERT_EQ(sony_ascot3_Initialize(t()), DEMOD_OK);
  rig.bus.clearLog();
  EXPECT_EQ(sony_ascot3_ReadRssi(t(), &rssi), DEMOD_ERR_STATE);
  EXPECT_EQ(sony_ascot3_TuneEnd(t()), DEMOD_ERR_STATE);
  EXPECT_EQ(sony_ascot3_Tune(t(), 999, 17), DEMOD_ERR_RANGE);
  // The tune block carries 20 frequency bits: 1 048 576 kHz would be programmed as 0.
  EXPECT_EQ(sony_ascot3_Tune(t(), 1048576, 17), DEMOD_ERR_RANGE);
  EXPECT_EQ(sony_ascot3_Tune(t(), 1100000, 17), DEMOD_ERR_RANGE);
  EXPECT_EQ(sony_ascot3_Tune(t(), 474000, 0), DEMOD_ERR_ARGUMENT);
  EXPECT_EQ(sony_ascot3_Tune(t(), 474000, 32), DEMOD_ERR_ARGUMENT);
  EXPECT_EQ(sony_tuner_ascot3_Tune(t(), 474000, 4, 7), DEMOD_ERR_ARGUMENT);   // DVB-C2 7 MHz
  EXPECT_EQ(sony_tuner_ascot3_Tune(t(), 474000, 9, 52), DEMOD_ERR_ARGUMENT);  // J.83B class 52
  EXPECT_TRUE(rig.bus.log().empty());
  EXPECT_EQ(sony_ascot3_Tune(t(), 1000, 17), DEMOD_OK);
  EXPECT_EQ(sony_ascot3_Tune(t(), 1048575, 17), DEMOD_OK);
  EXPECT_EQ(lastTuneBytes(rig.bus.log())[10] & 0x0F, 0x0F) << "frequency bits 16..19";
  // A failed tune keeps what the last good one stored.
  rig.bus.failIf = [](const fake::Transfer& x) { return x.slave == 0xC0 && x.reg == 0x68; };
  EXPECT_EQ(sony_ascot3_Tune(t(), 500000, 16), DEMOD_ERR_BUS);
  EXPECT_EQ(t()->frequencyKHz, 1048575u);
  EXPECT_EQ(t()->system, 17u);
}

TEST_F(Tuner, StandardToSystemMapping) {
  EXPECT_EQ(sony_tuner_ascot3_SystemFor(1, 5), 14u);
  EXPECT_EQ(sony_tuner_ascot3_SystemFor(1, 8), 17u);
  EXPECT_EQ(sony_tuner_ascot3_SystemFor(1, 1), 0u);
  EXPECT_EQ(sony_tuner_ascot3_SystemFor(2, 1), 18u);
  EXPECT_EQ(sony_tuner_ascot3_SystemFor(2, 8), 22u);
  EXPECT_EQ(sony_tuner_ascot3_SystemFor(3, 7), 24u);
  EXPECT_EQ(sony_tuner_ascot3_SystemFor(4, 6), 25u);
  EXPECT_EQ(sony_tuner_ascot3_SystemFor(5, 99), 9u);
  EXPECT_EQ(sony_tuner_ascot3_SystemFor(6, 7), 28u);
  EXPECT_EQ(sony_tuner_ascot3_SystemFor(7, 8), 13u);
  EXPECT_EQ(sony_tuner_ascot3_SystemFor(8, 6), 23u);
  EXPECT_EQ(sony_tuner_ascot3_SystemFor(9, 51), 30u);
  EXPECT_EQ(sony_tuner_ascot3_SystemFor(10, 6), 0u);
}

TEST_F(Tuner, CableTuneBytes) {
  make(0xC4, 0x40);  // variant 1
  ASSERT_EQ(sony_tuner_ascot3_Tune(t(), 0, 3, 8), DEMOD_ERR_STATE);
  ASSERT_EQ(sony_ascot3_Initialize(t()), DEMOD_OK);
  ASSERT_EQ(sony_tuner_ascot3_Tune(t(), 306000, 3, 8), DEMOD_OK);
  auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, 0xC0, 0, 0x91, {0x16, 0x26}));
  EXPECT_TRUE(fake::hasWrite(log, 0xC0, 0, 0x9C, {0x00, 0x00}));
  EXPECT_EQ(last5eBlock(log), (std::vector<uint8_t>{0xEE, 0x02, 0x1E, 0x67, 0x03, 0x50, 0x78, 0x08, 0x30}));
  auto tune = lastTuneBytes(log);
  // Row 24 (DVB-C 8 MHz), variant 1 with flags 0xF03000: byte 12 bits from flags 23 and 22 (both set).
  EXPECT_EQ(tune[1], 0x84);
  EXPECT_EQ(tune[5], 0x02);
  EXPECT_EQ(tune[6], 0x1E);
  EXPECT_EQ(tune[12], 0x11);
  EXPECT_EQ(std::vector<uint8_t>(tune.begin() + 13, tune.end()),
            (std::vector<uint8_t>{0xD9, 0x0F, 0x25, 0x87}));
  EXPECT_TRUE(fake::hasWrite(log, 0xC0, 0, 0x87, {0xC0}));  // tune end
}

TEST_F(Tuner, RfLevelOffsetsPerStandard) {
  make(0xC4, 0x40);  // variant 1: no +220
  ASSERT_EQ(sony_ascot3_Initialize(t()), DEMOD_OK);
  ASSERT_EQ(sony_ascot3_Tune(t(), 100000, 17), DEMOD_OK);
  rig.tunerReg(1, 0x69) = 0x00;
  rig.tunerReg(1, 0x5B) = 0x00;
  LONG rssi = 0;
  ASSERT_EQ(sony_ascot3_ReadRssi(t(), &rssi), DEMOD_OK);
  EXPECT_EQ(rssi, -(870 + 2999) - 4180);  // 100 MHz: gain max 4180
  const struct {
    ULONG system;
    LONG offset;
  } cases[] = {{1, -400}, {2, -400}, {3, -150}, {4, -400}, {5, -500},
               {6, -400}, {7, -450}, {8, -150}, {9, -150}};
  for (const auto& c : cases) {
    t()->rfLevelSystem = c.system;
    LONG level = 0;
    ASSERT_EQ(sony_tuner_ascot3_ReadRFLevel(t(), &level), DEMOD_OK);
    EXPECT_EQ(level, rssi + c.offset) << c.system;
  }
  for (ULONG bad : {0u, 10u}) {
    t()->rfLevelSystem = bad;
    rig.bus.clearLog();
    LONG level = 0;
    EXPECT_EQ(sony_tuner_ascot3_ReadRFLevel(t(), &level), DEMOD_ERR_UNSUPPORTED);
    EXPECT_FALSE(rig.bus.log().empty());  // the RSSI was read first
  }
}

TEST_F(Tuner, RssiGainCurve) {
  make(0xC4, 0x40);
  ASSERT_EQ(sony_ascot3_Initialize(t()), DEMOD_OK);
  ASSERT_EQ(sony_ascot3_Tune(t(), 800000, 17), DEMOD_OK);
  rig.tunerReg(1, 0x69) = 0x05;  // gain step 4 -> 400
  // AGC 100 -> reg 14000: no IF term; max AGC 14000 is in the fourth segment.
  rig.tunerReg(1, 0x5B) = 100;
  LONG rssi = 0;
  ASSERT_EQ(sony_ascot3_ReadRssi(t(), &rssi), DEMOD_OK);
  const LONG rfGain = 4150 - 154 - ((14000 - 8823) * 70 + 127) / 255;
  EXPECT_EQ(rssi, -(400 + 870) - rfGain);
}
