// J.83 Annex B: state sequences, band setting per symbol-rate class, TS-lock wait, sync/SNR/RF-level
// monitors. The symbol-rate class stands in the demodulator's bandwidth field.
#include "demod/sony_demod_j83b.h"

#include "demod/sony_demod_internal.h"

using namespace sony;

namespace {
bool validClass(ULONG c) { return c == 50 || c == 51; }

bool activeInJ83b(const sony_demod_t* demod) {
  return demod->state == DEMOD_STATE_ACTIVE && demod->system == DEMOD_SYS_J83B;
}
}  // namespace

DemodResult SLtoACC_BandSetting(sony_demod_t* demod) {
  ZTRACE("SLtoACC_BandSetting");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  static constexpr UCHAR k26Low[4] = {0x07, 0x26, 0x06, 0xBE};
  static constexpr UCHAR k26High[4] = {0x07, 0x77, 0x07, 0x77};
  SONY_CHECK(bank(demod, m, 0x10));
  if (!validClass(demod->bandwidth)) return DEMOD_ERR_STATE;
  const bool low = demod->bandwidth == 50;
  SONY_CHECK(
      sony_demod_WriteIfFreq_locked(demod, sony_demod_IfFreqConfig(demod, IF_STD_J83B, demod->bandwidth)));
  SONY_CHECK(bank(demod, m, 0x40));
  SONY_CHECK(wr(demod, m, 0x14, low ? 0x14 : 0x10));
  return wrn(demod, m, 0x26, low ? k26Low : k26High, 4);
}

DemodResult SLtoACC(sony_demod_t* demod) {
  ZTRACE("SLtoACC");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  static constexpr UCHAR k33[3] = {0x00, 0x03, 0x3B};
  static constexpr UCHAR kCe[2] = {0x01, 0x01};
  static constexpr UCHAR kA6[14] = {0x31, 0xA8, 0x29, 0x9B, 0x27, 0x9C, 0x28,
                                    0x9E, 0x29, 0xA4, 0x29, 0xA2, 0x29, 0xA8};
  SONY_CHECK(sony_demod_WakeUpBegin(demod, DEMOD_SYS_J83B, kSelectorJ83b));
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wr(demod, m, 0x6A, 0x48));
  SONY_CHECK(bank(demod, m, 0x10));
  SONY_CHECK(wr(demod, m, 0xA5, 0x01));
  SONY_CHECK(bank(demod, m, 0x40));
  SONY_CHECK(wr(demod, m, 0x21, 0x04));
  SONY_CHECK(wr(demod, m, 0xB3, 0x05));
  SONY_CHECK(wr(demod, m, 0x1E, 0x80));
  SONY_CHECK(wr(demod, m, 0x8E, 0x58));
  SONY_CHECK(bank(demod, m, 0x41));
  SONY_CHECK(wr(demod, m, 0xCF, 0x99));
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wr(demod, m, 0xA3, 0x14));
  SONY_CHECK(wrn(demod, m, 0x33, k33, 3));
  SONY_CHECK(bank(demod, m, 0x00));
  SONY_CHECK(wrn(demod, m, 0xCE, kCe, 2));
  SONY_CHECK(bank(demod, m, 0x10));
  SONY_CHECK(wrn(demod, m, 0xA6, kA6, 14));
  SONY_CHECK(SLtoACC_BandSetting(demod));
  return sony_demod_WakeUpEnd(demod);
}

DemodResult ACCtoACC(sony_demod_t* demod) {
  ZTRACE("ACCtoACC");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  SONY_CHECK(sony_demod_SetStreamOutput(demod, 0));
  return SLtoACC_BandSetting(demod);
}

DemodResult ACCtoSL(sony_demod_t* demod) {
  ZTRACE("ACCtoSL");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  static constexpr UCHAR k26[4] = {0x09, 0x9A, 0x00, 0xEE};
  SONY_CHECK(sony_demod_SleepBegin(demod));
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wr(demod, m, 0xA3, 0x00));
  SONY_CHECK(bank(demod, m, 0x40));
  SONY_CHECK(wr(demod, m, 0x21, 0x00));
  SONY_CHECK(wr(demod, m, 0xC3, 0x00));
  SONY_CHECK(wr(demod, m, 0xB3, 0x02));
  SONY_CHECK(wr(demod, m, 0x1E, 0x00));
  SONY_CHECK(wr(demod, m, 0x8E, 0x0E));
  SONY_CHECK(bank(demod, m, 0x41));
  SONY_CHECK(wr(demod, m, 0xCF, 0x77));
  SONY_CHECK(bank(demod, m, 0x40));
  SONY_CHECK(wr(demod, m, 0x14, 0x1F));
  SONY_CHECK(wrn(demod, m, 0x26, k26, 4));
  return sony_demod_SleepEnd(demod);
}

DemodResult sony_demod_j83b_Tune(sony_demod_t* demod, const J83bTuneParams* params) {
  ZTRACE("sony_demod_j83b_Tune");
  if (!demod || !params || !validClass(params->bandwidth)) return DEMOD_ERR_ARGUMENT;
  return tuneSystem(
      demod, DEMOD_SYS_J83B, params->bandwidth, [&] { return ACCtoACC(demod); },
      [&] { return SLtoACC(demod); });
}

DemodResult sony_demod_j83b_Sleep(sony_demod_t* demod) {
  ZTRACE("sony_demod_j83b_Sleep");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  return ACCtoSL(demod);
}

DemodResult sony_demod_j83b_monitor_SyncStat(sony_demod_t* demod, UCHAR* demodLock, UCHAR* tsLock,
                                             UCHAR* unlockDetected) {
  ZTRACE("sony_demod_j83b_monitor_SyncStat");
  if (!demod || !demodLock || !tsLock || !unlockDetected) return DEMOD_ERR_ARGUMENT;
  if (!activeInJ83b(demod)) return DEMOD_ERR_STATE;
  return cableSyncStat(demod, demodLock, tsLock, unlockDetected);
}

DemodResult sony_demod_j83b_CheckTSLock(sony_demod_t* demod, ULONG* lock) {
  ZTRACE("sony_demod_j83b_CheckTSLock");
  if (!demod || !lock) return DEMOD_ERR_ARGUMENT;
  if (demod->state != DEMOD_STATE_ACTIVE) return DEMOD_ERR_STATE;
  *lock = J83B_LOCK_NOT_YET;
  UCHAR demodLock = 0, ts = 0, unlock = 0;
  SONY_CHECK(sony_demod_j83b_monitor_SyncStat(demod, &demodLock, &ts, &unlock));
  if (demodLock && ts) *lock = J83B_LOCK_LOCKED;
  return DEMOD_OK;
}

DemodResult sony_integ_j83b_WaitTSLock(sony_integ_t* integ) {
  ZTRACE("sony_integ_j83b_WaitTSLock");
  auto check = [](sony_demod_t* demod, bool* locked) -> DemodResult {
    ULONG lock = J83B_LOCK_NOT_YET;
    SONY_CHECK(sony_demod_j83b_CheckTSLock(demod, &lock));
    *locked = lock == J83B_LOCK_LOCKED;
    return DEMOD_OK;
  };
  return waitLock(integ, kJ83bLockPolls, 5, check, "The j83b signal is locked.", "The j83b signal unlocked!",
                  DEMOD_ERR_UNLOCKED);
}

DemodResult sony_demod_j83b_monitor_SNR(sony_demod_t* demod, LONG* snr) {
  ZTRACE("sony_demod_j83b_monitor_SNR");
  if (!demod || !snr) return DEMOD_ERR_ARGUMENT;
  if (!activeInJ83b(demod)) return DEMOD_ERR_STATE;
  UCHAR constellation = 0;
  ULONG x = 0;
  if (qamSnrWord(demod, &constellation, &x) != DEMOD_OK) return DEMOD_ERR_BUS;
  return qamSnr64or256(constellation, x, snr);
}

DemodResult sony_integ_j83b_Tune(sony_integ_t* integ, const J83bTuneParams* params) {
  ZTRACE("sony_integ_j83b_Tune");
  if (!integ || !params || !integ->p_demod) return DEMOD_ERR_ARGUMENT;
  sony_demod_t* demod = integ->p_demod;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  if (!validClass(params->bandwidth)) return DEMOD_ERR_UNSUPPORTED;
  if (params->centerFreqKHz == 0) return DEMOD_ERR_ARGUMENT;
  SONY_CHECK(sony_demod_j83b_Tune(demod, params));
  SONY_CHECK(sony_integ_TuneTuner(integ, params->centerFreqKHz, DEMOD_SYS_J83B, params->bandwidth));
  SONY_CHECK(sony_demod_TuneEnd(demod));
  return sony_integ_j83b_WaitTSLock(integ);
}

DemodResult sony_integ_j83b_monitor_RFLevel(sony_integ_t* integ, LONG* level) {
  ZTRACE("sony_integ_j83b_monitor_RFLevel");
  return sony_integ_MonitorRFLevel(integ, DEMOD_SYS_J83B, level);
}
