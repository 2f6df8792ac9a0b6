// ATSC: the slave R command mailbox (register writes and soft reset go through it, one command at a time),
// the state sequences, the soft-reset tune end, lock wait and the monitor-slave readings.
#include "demod/sony_demod_atsc.h"

#include "demod/sony_demod_internal.h"

using namespace sony;

namespace {
DemodResult commandWrite(sony_demod_t* demod, const UCHAR* command) {
  if (!demod || !command) return DEMOD_ERR_ARGUMENT;
  return wrn(demod, demod->slaveR, kAtscCmdRegister, command, 6);
}

DemodResult commandPoll(sony_demod_t* demod, UCHAR code) {
  if (!demod) return DEMOD_ERR_ARGUMENT;
  UCHAR reply[6];
  for (ULONG count = 0; count < 1000; count += 10) {
    SONY_CHECK(rd(demod, demod->slaveR, kAtscCmdRegister, reply, 6));
    if (reply[0] != 0) {
      if (reply[5] != code) return DEMOD_ERR_HARDWARE;
      return (reply[0] & 0x3F) == kAtscCmdStatusOk ? DEMOD_OK : DEMOD_ERR_OTHER;
    }
    DemodWaitMs(10);
  }
  return DEMOD_ERR_TIMEOUT;
}

bool activeInAtsc(const sony_demod_t* demod) {
  return demod->state == DEMOD_STATE_ACTIVE && demod->system == DEMOD_SYS_ATSC;
}

// The n low bytes of a setting, least significant first, as the mailbox takes them.
void lowBytes(ULONG value, UCHAR* out, ULONG n) {
  for (ULONG i = 0; i < n; ++i) out[i] = static_cast<UCHAR>(value >> (8 * i));
}
}  // namespace

DemodResult sony_demod_atsc_SlaveRWriteRegister(sony_demod_t* demod, UCHAR bank, UCHAR reg, UCHAR value,
                                                UCHAR mask) {
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  if (demod->slaveRBusy) return DEMOD_ERR_HARDWARE;
  const UCHAR command[6] = {kAtscCmdWrite, bank, reg, value, mask, 0x00};
  SONY_CHECK(commandWrite(demod, command));
  return commandPoll(demod, kAtscCmdWrite);
}

DemodResult slaveRWriteMultiRegisters(sony_demod_t* demod, UCHAR bank, UCHAR firstReg, const UCHAR* data,
                                      UCHAR length) {
  if (!demod || !data) return DEMOD_ERR_ARGUMENT;
  for (UCHAR i = 0; i < length; ++i)
    SONY_CHECK(
        sony_demod_atsc_SlaveRWriteRegister(demod, bank, static_cast<UCHAR>(firstReg + i), data[i], 0xFF));
  return DEMOD_OK;
}

DemodResult demodAbort(sony_demod_t* demod) {
  if (!demod) return DEMOD_ERR_ARGUMENT;
  ZTRACE("demodAbort");
  SONY_CHECK(bank(demod, demod->slaveR, 0x01));
  SONY_CHECK(wr(demod, demod->slaveR, 0x48, 0x01));
  demod->slaveRBusy = 0;
  return DEMOD_OK;
}

DemodResult sony_demod_atsc_SoftReset(sony_demod_t* demod) {
  ZTRACE("sony_demod_atsc_SoftReset");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!activeInAtsc(demod)) return DEMOD_ERR_STATE;
  SONY_CHECK(demodAbort(demod));
  static constexpr UCHAR kReset[6] = {kAtscCmdSoftReset, 0x10, 0x00, 0x00, 0x00, 0x00};
  SONY_CHECK(commandWrite(demod, kReset));
  SONY_CHECK(commandPoll(demod, kAtscCmdSoftReset));
  demod->slaveRBusy = 1;
  return DEMOD_OK;
}

DemodResult sony_demod_atsc_TuneEnd(sony_demod_t* demod) {
  ZTRACE("sony_demod_atsc_TuneEnd");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!activeInAtsc(demod)) return DEMOD_ERR_STATE;
  SONY_CHECK(sony_demod_atsc_SoftReset(demod));
  return sony_demod_SetStreamOutput(demod, 1);
}

DemodResult SLtoAA(sony_demod_t* demod) {
  ZTRACE("SLtoAA");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  static constexpr UCHAR kBank06A0[14] = {0x31, 0xA5, 0x2E, 0x9F, 0x2B, 0x99, 0x00,
                                          0xCD, 0x00, 0xCD, 0x00, 0x00, 0x2B, 0x9D};
  UCHAR ifConfig[4], setting1[3], setting2[3];
  lowBytes(demod->atscIfConfig, ifConfig, 4);
  lowBytes(demod->atscSetting1, setting1, 3);
  lowBytes(demod->atscSetting2, setting2, 3);
  SONY_CHECK(sony_demod_WakeUpBegin(demod, DEMOD_SYS_ATSC, kSelectorAtsc));
  SONY_CHECK(demodAbort(demod));
  SONY_CHECK(slaveRWriteMultiRegisters(demod, 0xA3, 0xA1, ifConfig, 4));
  SONY_CHECK(sony_demod_atsc_SlaveRWriteRegister(demod, 0xA0, 0x13, 0x03, 0x03));
  SONY_CHECK(slaveRWriteMultiRegisters(demod, 0x06, 0xA0, kBank06A0, 14));
  SONY_CHECK(slaveRWriteMultiRegisters(demod, 0xA0, 0x6F, setting1, 3));
  SONY_CHECK(slaveRWriteMultiRegisters(demod, 0x09, 0x80, setting1, 3));
  SONY_CHECK(slaveRWriteMultiRegisters(demod, 0xA0, 0x73, setting2, 3));
  SONY_CHECK(slaveRWriteMultiRegisters(demod, 0x09, 0x83, setting2, 3));
  SONY_CHECK(sony_demod_atsc_SlaveRWriteRegister(demod, 0x06, 0x71, 0x05, 0x07));
  SONY_CHECK(sony_demod_atsc_SlaveRWriteRegister(demod, 0xA3, 0xA0, 0x10, 0x10));
  return sony_demod_WakeUpEnd(demod);
}

DemodResult AAtoAA(sony_demod_t* demod) {
  ZTRACE("AAtoAA");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  return sony_demod_SetStreamOutput(demod, 0);
}

DemodResult AAtoSL(sony_demod_t* demod) {
  ZTRACE("AAtoSL");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  const UCHAR s = demod->slaveSys;
  SONY_CHECK(sony_demod_SleepBegin(demod));
  SONY_CHECK(demodAbort(demod));
  SONY_CHECK(bank(demod, m, 0x00));
  SONY_CHECK(wr(demod, m, 0xD3, 0x00));
  SONY_CHECK(bank(demod, s, 0x00));
  SONY_CHECK(wr(demod, s, 0x18, 0x01));
  SONY_CHECK(wr(demod, m, 0x49, 0x33));
  SONY_CHECK(wr(demod, m, 0x4B, 0x21));
  SONY_CHECK(wr(demod, m, 0x2C, 0x00));
  SONY_CHECK(wr(demod, m, 0xA9, 0x00));
  return wr(demod, s, 0x17, 0x01);
}

DemodResult sony_demod_atsc_Tune(sony_demod_t* demod, const AtscTuneParams* params) {
  ZTRACE("sony_demod_atsc_Tune");
  if (!demod || !params) return DEMOD_ERR_ARGUMENT;
  return tuneSystem(
      demod, DEMOD_SYS_ATSC, 6, [&] { return AAtoAA(demod); }, [&] { return SLtoAA(demod); });
}

DemodResult sony_demod_atsc_Sleep(sony_demod_t* demod) {
  ZTRACE("sony_demod_atsc_Sleep");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  return AAtoSL(demod);
}

DemodResult sony_demod_atsc_monitor_SyncStat(sony_demod_t* demod, UCHAR* vqLock, UCHAR* lock2, UCHAR* tsLock,
                                             UCHAR* unlockDetected) {
  if (!demod || !vqLock || !lock2 || !tsLock || !unlockDetected) return DEMOD_ERR_ARGUMENT;
  if (!activeInAtsc(demod)) return DEMOD_ERR_STATE;
  const UCHAR mon = demod->slaveMon;
  UCHAR r11 = 0, r62 = 0, r86 = 0;
  SONY_CHECK(bank(demod, mon, 0x0F));
  SONY_CHECK(rd(demod, mon, 0x11, &r11, 1));
  SONY_CHECK(bank(demod, mon, 0x09));
  SONY_CHECK(rd(demod, mon, 0x62, &r62, 1));
  SONY_CHECK(bank(demod, mon, 0x0D));
  SONY_CHECK(rd(demod, mon, 0x86, &r86, 1));
  *tsLock = r11 & 1;
  *lock2 = (r62 >> 4) & 1;
  *unlockDetected = (r62 & 0x40) ? 0 : 1;
  *vqLock = r86 & 1;
  return DEMOD_OK;
}

DemodResult sony_demod_atsc_CheckTSLock(sony_demod_t* demod, ULONG* lock) {
  if (!demod || !lock) return DEMOD_ERR_ARGUMENT;
  if (demod->state != DEMOD_STATE_ACTIVE) return DEMOD_ERR_STATE;
  *lock = 0;
  UCHAR vq = 0, lock2 = 0, ts = 0, unlock = 0;
  SONY_CHECK(sony_demod_atsc_monitor_SyncStat(demod, &vq, &lock2, &ts, &unlock));
  *lock = ts ? 1 : 0;
  return DEMOD_OK;
}

DemodResult sony_integ_atsc_WaitTSLock(sony_integ_t* integ) {
  ZTRACE("sony_integ_atsc_WaitTSLock");
  auto check = [](sony_demod_t* demod, bool* locked) -> DemodResult {
    ULONG lock = 0;
    SONY_CHECK(sony_demod_atsc_CheckTSLock(demod, &lock));
    *locked = lock != 0;
    return DEMOD_OK;
  };
  // Not an error here: the caller reads the lock state from the sync-state monitor.
  return waitLock(integ, kAtscLockAttempts, 8, check, "the singal is locked.", nullptr, DEMOD_OK);
}

DemodResult sony_demod_atsc_monitor_SNR(sony_demod_t* demod, LONG* snr) {
  if (!demod || !snr) return DEMOD_ERR_ARGUMENT;
  if (!activeInAtsc(demod)) return DEMOD_ERR_STATE;
  const UCHAR mon = demod->slaveMon;
  UCHAR data[3] = {0, 0, 0};
  SONY_CHECK(bank(demod, mon, 0x0D));
  SONY_CHECK(rd(demod, mon, 0x70, data, 3));
  const ULONG x = (static_cast<ULONG>(data[2] & 0x7F) << 16) | (static_cast<ULONG>(data[1]) << 8) | data[0];
  *snr = 70418 - 100 * static_cast<LONG>(Log10x100(x));
  return DEMOD_OK;
}

DemodResult sony_integ_atsc_Tune(sony_integ_t* integ, const AtscTuneParams* params) {
  ZTRACE("sony_integ_atsc_Tune");
  if (!integ || !params || !integ->p_demod) return DEMOD_ERR_ARGUMENT;
  sony_demod_t* demod = integ->p_demod;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  SONY_CHECK(sony_demod_atsc_Tune(demod, params));
  SONY_CHECK(sony_integ_TuneTuner(integ, params->centerFreqKHz, DEMOD_SYS_ATSC, 6));
  SONY_CHECK(sony_demod_atsc_TuneEnd(demod));
  return sony_integ_atsc_WaitTSLock(integ);
}

DemodResult sony_integ_atsc_monitor_RFLevel(sony_integ_t* integ, LONG* level) {
  ZTRACE("sony_integ_atsc_monitor_RFLevel");
  return sony_integ_MonitorRFLevel(integ, DEMOD_SYS_ATSC, level);
}
