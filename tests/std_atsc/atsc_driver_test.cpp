// ATSC driver against the scripted bus: the slave R mailbox (completion, polling, refusals), the tune, tune
// end and sleep sequences as the bytes on the bus, the monitor-slave readings, and the glue's verdict.
#include "demod/sony_demod_atsc.h"
#include "demod/sony_demod_dvbt.h"
#include "one_path.h"
#include "zadivo/sony_cxd6802/sony_cxd6802.h"

namespace {

class Atsc : public OnePath {
 protected:
  void SetUp() override {
    OnePath::SetUp();
    // The ATSC core answers each command in the bank it was written to.
    rig.bus.afterWrite = [this](const fake::Transfer& t) {
      if (t.slave != r() || t.reg != kAtscCmdRegister || t.data.size() != 6) return;
      ++commands;
      commandLog.push_back(t.data);
      fake::Chip* c = rig.bus.chip(t.master, r());
      c->regs[t.bank][0x0A] = pendingPolls > 0 ? 0x00 : status;
      c->regs[t.bank][0x0F] = echo ? echo : t.data[0];
      replyBank = t.bank;
    };
    // A command still running is done after the given number of polls.
    rig.bus.failIf = [this](const fake::Transfer& t) {
      if (!t.write && t.slave == r() && t.reg == kAtscCmdRegister && pendingPolls > 0 && --pendingPolls == 0)
        rig.bus.chip(t.master, r())->regs[replyBank][0x0A] = status;
      return false;
    };
  }
  void TearDown() override {
    rig.bus.afterWrite = nullptr;
    rig.bus.failIf = nullptr;
  }

  uint8_t r() { return static_cast<uint8_t>(rig.main(1) - 0x40); }
  uint8_t mon() { return static_cast<uint8_t>(rig.main(1) + 0x58); }
  uint8_t& monReg(uint8_t bank, uint8_t reg) { return rig.bus.reg(rig.master(1), mon(), bank, reg); }
  void setLocked(bool locked) {
    monReg(0x0F, 0x11) = locked ? 0x01 : 0x00;
    monReg(0x09, 0x62) = locked ? 0x50 : 0x00;
    monReg(0x0D, 0x86) = locked ? 0x01 : 0x00;
  }
  DemodResult tune(ULONG freq = 575000) {
    AtscTuneParams p = {freq};
    return sony_integ_atsc_Tune(integ(), &p);
  }
  // Polls of the mailbox's reply in the bank the command went to, and of the monitor's lock register.
  int replyReads() { return fake::countReads(rig.bus.log(), r(), replyBank, kAtscCmdRegister); }
  int lockReads() { return fake::countReads(rig.bus.log(), mon(), 0x0F, 0x11); }
  // Register writes carried by the mailbox, as (bank, register, value, mask).
  std::vector<std::vector<uint8_t>> registerWrites() {
    std::vector<std::vector<uint8_t>> w;
    for (const auto& c : commandLog)
      if (c[0] == kAtscCmdWrite) w.push_back({c[1], c[2], c[3], c[4]});
    return w;
  }

  uint8_t status = 0x30, echo = 0, replyBank = 0;
  int pendingPolls = 0, commands = 0;
  std::vector<std::vector<uint8_t>> commandLog;
};

TEST_F(Atsc, RegisterWriteIsOneCommandAndOneReplyRead) {
  EXPECT_EQ(sony_demod_atsc_SlaveRWriteRegister(d(), 0xA0, 0x13, 0x03, 0x03), DEMOD_OK);
  ASSERT_EQ(commandLog.size(), 1u);
  EXPECT_EQ(commandLog[0], (std::vector<uint8_t>{0xC5, 0xA0, 0x13, 0x03, 0x03, 0x00}));
  EXPECT_EQ(replyReads(), 1);
  EXPECT_EQ(fake::virtualMs(), 0u);
  // Only bits 5:0 of the status count.
  status = 0x70;
  EXPECT_EQ(sony_demod_atsc_SlaveRWriteRegister(d(), 0x06, 0x71, 0x05, 0x07), DEMOD_OK);
}

TEST_F(Atsc, UnfinishedCommandIsPolledEveryTwentyMillisecondsUntilDone) {
  pendingPolls = 3;
  EXPECT_EQ(sony_demod_atsc_SlaveRWriteRegister(d(), 0xA0, 0x13, 0x03, 0x03), DEMOD_OK);
  EXPECT_EQ(replyReads(), 4);
  EXPECT_EQ(fake::virtualMs(), 60u);
}

TEST_F(Atsc, CommandThatNeverCompletesTimesOutAfterAHundredPolls) {
  pendingPolls = 1000000;
  EXPECT_EQ(sony_demod_atsc_SlaveRWriteRegister(d(), 0xA0, 0x13, 0x03, 0x03), DEMOD_ERR_TIMEOUT);
  EXPECT_EQ(replyReads(), 100);
  EXPECT_EQ(fake::virtualMs(), 2000u);
}

TEST_F(Atsc, FailedStatusAndWrongEchoAreRefused) {
  status = 0x31;
  EXPECT_EQ(sony_demod_atsc_SlaveRWriteRegister(d(), 0xA0, 0x13, 0x03, 0x03), DEMOD_ERR_OTHER);
  status = 0x30;
  echo = kAtscCmdSoftReset;
  EXPECT_EQ(sony_demod_atsc_SlaveRWriteRegister(d(), 0xA0, 0x13, 0x03, 0x03), DEMOD_ERR_HARDWARE);
  // A multi-register write stops at the first failing command.
  commandLog.clear();
  status = 0x31;
  echo = 0;
  const UCHAR data[3] = {1, 2, 3};
  EXPECT_EQ(slaveRWriteMultiRegisters(d(), 0x09, 0x80, data, 3), DEMOD_ERR_OTHER);
  EXPECT_EQ(commandLog.size(), 1u);
}

TEST_F(Atsc, TuneFromSleepSendsTheAtscSettingsAsThirtyThreeCommands) {
  setLocked(true);
  ASSERT_EQ(tune(), DEMOD_OK);
  EXPECT_EQ(d()->state, DEMOD_STATE_ACTIVE);
  EXPECT_EQ(d()->system, DEMOD_SYS_ATSC);
  EXPECT_EQ(d()->bandwidth, 6u);
  const auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0x17, {0x0F}));  // system selector
  const auto w = registerWrites();
  ASSERT_EQ(w.size(), 33u);
  // IF setting least significant byte first, then the rest in order.
  EXPECT_EQ(w[0], (std::vector<uint8_t>{0xA3, 0xA1, 0x77, 0xFF}));
  EXPECT_EQ(w[3], (std::vector<uint8_t>{0xA3, 0xA4, 0x27, 0xFF}));
  EXPECT_EQ(w[4], (std::vector<uint8_t>{0xA0, 0x13, 0x03, 0x03}));
  EXPECT_EQ(w[5], (std::vector<uint8_t>{0x06, 0xA0, 0x31, 0xFF}));
  EXPECT_EQ(w[18], (std::vector<uint8_t>{0x06, 0xAD, 0x9D, 0xFF}));
  EXPECT_EQ(w[19], (std::vector<uint8_t>{0xA0, 0x6F, 0x61, 0xFF}));
  EXPECT_EQ(w[22], (std::vector<uint8_t>{0x09, 0x80, 0x61, 0xFF}));
  EXPECT_EQ(w[25], (std::vector<uint8_t>{0xA0, 0x73, 0x26, 0xFF}));
  EXPECT_EQ(w[30], (std::vector<uint8_t>{0x09, 0x85, 0x7C, 0xFF}));
  EXPECT_EQ(w[31], (std::vector<uint8_t>{0x06, 0x71, 0x05, 0x07}));
  EXPECT_EQ(w[32], (std::vector<uint8_t>{0xA3, 0xA0, 0x10, 0x10}));
  // The tune ends with an abort and the soft-reset command, not with the main slave's 0xFE.
  ASSERT_EQ(commandLog.size(), 34u);
  EXPECT_EQ(commandLog.back(), (std::vector<uint8_t>{0xB3, 0x10, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(fake::countWrites(log, m(), 0x00, 0xFE), 0);
  EXPECT_TRUE(fake::hasWrite(log, r(), 0x01, 0x48, {0x01}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x00, 0xC3, {0x00}));  // stream output on
  EXPECT_EQ(d()->slaveRBusy, 1u);
  EXPECT_NE(fake::trace().find("the singal is locked."), std::string::npos);
  EXPECT_FALSE(rig.bus.repeaterOpen(rig.master(1), m()));
}

TEST_F(Atsc, RegisterWritesAreRefusedWithoutBusTrafficWhileTheCoreRuns) {
  setLocked(true);
  ASSERT_EQ(tune(), DEMOD_OK);
  rig.bus.clearLog();
  EXPECT_EQ(sony_demod_atsc_SlaveRWriteRegister(d(), 0xA0, 0x13, 0x03, 0x03), DEMOD_ERR_HARDWARE);
  EXPECT_EQ(SetBankAndRegisterBits(d(), r(), 0xA0, 0x13, 0x03, 0x03), DEMOD_ERR_HARDWARE);
  EXPECT_TRUE(rig.bus.log().empty());
  // An abort makes the mailbox usable again.
  EXPECT_EQ(demodAbort(d()), DEMOD_OK);
  EXPECT_EQ(SetBankAndRegisterBits(d(), r(), 0xA0, 0x13, 0x03, 0x03), DEMOD_OK);
}

TEST_F(Atsc, RetuneSendsNoSettingsButStillEndsWithAbortAndSoftReset) {
  setLocked(true);
  ASSERT_EQ(tune(575000), DEMOD_OK);
  commandLog.clear();
  rig.bus.clearLog();
  ASSERT_EQ(tune(581000), DEMOD_OK);
  ASSERT_EQ(commandLog.size(), 1u);
  EXPECT_EQ(commandLog[0][0], kAtscCmdSoftReset);
  const auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x00, 0xC3, {0x01}));  // stream output off for the re-tune
  EXPECT_EQ(fake::countWrites(log, sys(), 0x00, 0x17), 0);    // no wake-up
  EXPECT_TRUE(fake::hasWrite(log, r(), 0x01, 0x48, {0x01}));
}

TEST_F(Atsc, TuneWithoutSignalWaitsItsWholeLockTimeAndReportsSuccess) {
  setLocked(false);
  EXPECT_EQ(tune(), DEMOD_OK);
  EXPECT_EQ(lockReads(), 199);
  EXPECT_GE(fake::virtualMs(), 199u * 16u);
  EXPECT_EQ(fake::trace().find("the singal is locked."), std::string::npos);
}

TEST_F(Atsc, SleepAbortsTheCoreAndSkipsTheMainSoftReset) {
  setLocked(true);
  ASSERT_EQ(tune(), DEMOD_OK);
  rig.bus.clearLog();
  ASSERT_EQ(sony_demod_Sleep(d()), DEMOD_OK);
  EXPECT_EQ(d()->state, DEMOD_STATE_SLEEP);
  EXPECT_EQ(d()->system, DEMOD_SYS_NONE);
  EXPECT_EQ(d()->slaveRBusy, 0u);
  const auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, r(), 0x01, 0x48, {0x01}));
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x00, 0xD3, {0x00}));
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0x18, {0x01}));
  EXPECT_EQ(fake::countWrites(log, m(), 0x00, 0xFE), 0);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().slave, sys());
  EXPECT_EQ(log.back().reg, 0x17);
  EXPECT_EQ(log.back().data, std::vector<uint8_t>{0x01});
}

TEST_F(Atsc, TuningAnotherStandardPutsAtscToSleepFirst) {
  setLocked(true);
  ASSERT_EQ(tune(), DEMOD_OK);
  rig.bus.clearLog();
  DvbtTuneParams p = {474000, 8, 0};
  EXPECT_EQ(sony_demod_dvbt_Tune(d(), &p), DEMOD_OK);
  EXPECT_EQ(d()->system, DEMOD_SYS_DVBT);
  const auto log = rig.bus.log();
  EXPECT_TRUE(fake::hasWrite(log, m(), 0x00, 0xD3, {0x00}));  // ATSC's own sleep ran
  EXPECT_TRUE(fake::hasWrite(log, sys(), 0x00, 0x17, {0x01}));
}

TEST_F(Atsc, MonitorsReadTheMonitorSlave) {
  setLocked(true);
  ASSERT_EQ(tune(), DEMOD_OK);
  UCHAR vq = 9, lock2 = 9, ts = 9, unlock = 9;
  monReg(0x09, 0x62) = 0x10;  // bit 6 clear: unlock detected
  ASSERT_EQ(sony_demod_atsc_monitor_SyncStat(d(), &vq, &lock2, &ts, &unlock), DEMOD_OK);
  EXPECT_EQ(vq, 1);
  EXPECT_EQ(lock2, 1);
  EXPECT_EQ(ts, 1);
  EXPECT_EQ(unlock, 1);

  LONG snr = 0;
  monReg(0x0D, 0x70) = 0xE8;  // x = 1000: Log10x100 = 300
  monReg(0x0D, 0x71) = 0x03;
  monReg(0x0D, 0x72) = 0x80;  // bit 23 is not part of the value
  ASSERT_EQ(sony_demod_atsc_monitor_SNR(d(), &snr), DEMOD_OK);
  EXPECT_EQ(snr, 70418 - 100 * 300);
  monReg(0x0D, 0x70) = 0x00;
  monReg(0x0D, 0x71) = 0x00;
  ASSERT_EQ(sony_demod_atsc_monitor_SNR(d(), &snr), DEMOD_OK);
  EXPECT_EQ(snr, 70418);

  // Not active in ATSC: refused.
  ASSERT_EQ(sony_demod_Sleep(d()), DEMOD_OK);
  EXPECT_EQ(sony_demod_atsc_monitor_SNR(d(), &snr), DEMOD_ERR_STATE);
  EXPECT_EQ(sony_demod_atsc_monitor_SyncStat(d(), &vq, &lock2, &ts, &unlock), DEMOD_ERR_STATE);
  EXPECT_EQ(sony_demod_atsc_SoftReset(d()), DEMOD_ERR_STATE);
}

// The glue on the same bus: a tune that ended without lock is reported as failed, and lock needs TS lock
// without an unlock report.
class AtscGlue : public Atsc {};

TEST_F(AtscGlue, TuneReportsTheLockTheChipReached) {
  DemodPath& p = rig.path(1);
  setLocked(false);
  EXPECT_EQ(cxd6802_Tune(&p, 575000, 0, 6, 0, DEMOD_MODE_ATSC), 0u);
  EXPECT_EQ(cxd6802_GetLock(&p, DEMOD_MODE_ATSC), 0u);
  setLocked(true);
  EXPECT_EQ(cxd6802_Tune(&p, 575000, 0, 6, 0, DEMOD_MODE_ATSC), 1u);
  EXPECT_EQ(cxd6802_GetLock(&p, DEMOD_MODE_ATSC), 1u);
  monReg(0x09, 0x62) = 0x00;  // unlock detected
  EXPECT_EQ(cxd6802_GetLock(&p, DEMOD_MODE_ATSC), 0u);
  monReg(0x0D, 0x70) = 0xE8;
  monReg(0x0D, 0x71) = 0x03;
  monReg(0x0D, 0x72) = 0x00;
  EXPECT_EQ(cxd6802_GetSNR(&p, DEMOD_MODE_ATSC), cxd6802_QualityFromSnr(40418));
}

}  // namespace
