// Repeater windows: the two paths of one I2C master never have their repeaters open together, and a window is
// always given back, also when the tuner or the repeater write fails.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "demod/sony_demod_dvbt.h"
#include "rig.h"

namespace {
// Replays the log: the repeater state of each demodulator as the bus saw it.
int maxOpenAtOnce(const std::vector<fake::Transfer>& log, uint32_t master, uint8_t a, uint8_t b) {
  bool open[2] = {false, false};
  int most = 0;
  for (const auto& t : log) {
    if (!t.write || !t.ok || t.master != master || t.reg != 0x08 || t.data.size() != 1) continue;
    if (t.slave == uint8_t(a + 4)) open[0] = t.data[0] == 1;
    if (t.slave == uint8_t(b + 4)) open[1] = t.data[0] == 1;
    most = std::max(most, int(open[0]) + int(open[1]));
  }
  return most;
}
}  // namespace

TEST(RepeaterWindow, SiblingPathsNeverOpenTogether) {
  Rig rig;
  rig.add(1);
  rig.add(2);
  rig.add(3);  // another master: not serialised against 1 and 2
  for (int idx : {1, 2, 3}) {
    ASSERT_EQ(rig.bringUp(idx), DEMOD_OK);
    rig.setLocked(idx, true);
  }
  rig.bus.clearLog();
  std::atomic<int> failures{0};
  auto worker = [&](int idx) {
    for (int i = 0; i < 25; ++i) {
      DvbtTuneParams p = {474000u + 8000u * i, 8, 0};
      if (sony_integ_dvbt_Tune(&rig.path(idx).integ, &p) != DEMOD_OK) ++failures;
      LONG level = 0;
      if (sony_integ_dvbt_monitor_RFLevel(&rig.path(idx).integ, &level) != DEMOD_OK) ++failures;
    }
  };
  std::thread a(worker, 1), b(worker, 2), c(worker, 3);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(rig.bus.collisions(), 0);
  auto log = rig.bus.log();
  EXPECT_EQ(maxOpenAtOnce(log, 0x4000, rig.main(1), rig.main(2)), 1);
  for (const auto& t : log) {
    if (t.slave != 0xC0) continue;
    EXPECT_NE(t.tunerOf, 0) << "tuner transfer without exactly one open repeater";
  }
  for (int idx : {1, 2, 3}) EXPECT_TRUE(rig.windowFree(idx));
}

TEST(RepeaterWindow, SiblingsUseDistinctWindowsPerMaster) {
  Rig rig;
  for (int idx = 1; idx <= 8; ++idx) rig.add(idx);
  EXPECT_EQ(cxd6802_RepeaterWindowLock(&rig.path(1)), cxd6802_RepeaterWindowLock(&rig.path(2)));
  EXPECT_EQ(cxd6802_RepeaterWindowLock(&rig.path(7)), cxd6802_RepeaterWindowLock(&rig.path(8)));
  EXPECT_NE(cxd6802_RepeaterWindowLock(&rig.path(2)), cxd6802_RepeaterWindowLock(&rig.path(3)));
  // The I2C mutex is not one of them.
  for (int idx = 1; idx <= 8; ++idx)
    EXPECT_NE(cxd6802_RepeaterWindowLock(&rig.path(idx)), rig.dev.i2cMutex());
  EXPECT_EQ(cxd6802_RepeaterWindowLock(&rig.path(5)), rig.dev.repeaterWindow(2));
}

TEST(RepeaterWindow, TunerFailureStillClosesRepeater) {
  Rig rig;
  rig.add(1);
  ASSERT_EQ(rig.bringUp(1), DEMOD_OK);
  rig.setLocked(1, true);
  rig.bus.failIf = [](const fake::Transfer& t) { return t.slave == 0xC0 && t.reg == 0x68; };
  DvbtTuneParams p = {474000, 8, 0};
  EXPECT_EQ(sony_integ_dvbt_Tune(&rig.path(1).integ, &p), DEMOD_ERR_BUS);
  EXPECT_FALSE(rig.bus.repeaterOpen(rig.master(1), rig.main(1)));
  EXPECT_TRUE(rig.windowFree(1));
}

TEST(RepeaterWindow, FailedEnableGivesWindowBack) {
  Rig rig;
  rig.add(1);
  ASSERT_EQ(rig.bringUp(1), DEMOD_OK);
  const uint8_t sys = rig.main(1) + 4;
  rig.bus.failIf = [sys](const fake::Transfer& t) { return t.write && t.slave == sys && t.reg == 0x08; };
  EXPECT_EQ(sony_demod_I2cRepeater(&rig.demod(1), 1), DEMOD_ERR_BUS);
  EXPECT_TRUE(rig.windowFree(1));
  EXPECT_EQ(sony_demod_I2cRepeater(&rig.demod(1), 0), DEMOD_ERR_BUS);  // close fails, window still free
  EXPECT_TRUE(rig.windowFree(1));
  rig.bus.failIf = nullptr;
  ASSERT_EQ(sony_demod_I2cRepeater(&rig.demod(1), 1), DEMOD_OK);
  EXPECT_FALSE(rig.windowFree(1));
  ASSERT_EQ(sony_demod_I2cRepeater(&rig.demod(1), 1), DEMOD_OK);  // a second enable does not nest
  ASSERT_EQ(sony_demod_I2cRepeater(&rig.demod(1), 0), DEMOD_OK);
  EXPECT_TRUE(rig.windowFree(1));
  EXPECT_NE(fake::trace().find("sony_demod_I2cRepeater enable"), std::string::npos);
  EXPECT_NE(fake::trace().find("sony_demod_I2cRepeater disable"), std::string::npos);
}
