// ISDB-C: TSMF stream selection, channel bonding switched with the active state, state sequences, lock wait
// and the bank 0x40 monitors.
#include "demod/sony_demod_isdbc.h"

#include "demod/sony_demod_internal.h"

using namespace sony;

namespace {
bool activeInIsdbc(const sony_demod_t* demod) {
  return demod->state == DEMOD_STATE_ACTIVE && demod->system == DEMOD_SYS_ISDBC;
}

bool streamSelectionValid(ULONG streamSelectType, USHORT streamId) {
  return streamSelectType == ISDBC_STREAM_SELECT_BY_ID || (streamId >= 1 && streamId <= 15);
}
}  // namespace

DemodResult SetTSMFSetting(sony_demod_t* demod, ULONG tsmfSetting, ULONG streamSelectType, USHORT streamId,
                           SHORT streamIdExt) {
  ZTRACE("SetTSMFSetting");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!streamSelectionValid(streamSelectType, streamId)) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  SONY_CHECK(bank(demod, m, 0x49));
  SONY_CHECK(bits(demod, m, 0x36, static_cast<UCHAR>((tsmfSetting & 3) << 3), 0x18));
  if (streamSelectType != ISDBC_STREAM_SELECT_BY_ID)
    return wr(demod, m, 0x37, static_cast<UCHAR>((streamId & 0x0F) | 0x10));
  SONY_CHECK(wr(demod, m, 0x37, 0x00));
  const USHORT ext = static_cast<USHORT>(streamIdExt);
  const UCHAR ids[4] = {static_cast<UCHAR>(streamId >> 8), static_cast<UCHAR>(streamId),
                        static_cast<UCHAR>(ext >> 8), static_cast<UCHAR>(ext)};
  return wrn(demod, m, 0x32, ids, 4);
}

DemodResult sony_demod_isdbc_chbond_Enable(sony_demod_t* demod, UCHAR enable) {
  ZTRACE("sony_demod_isdbc_chbond_Enable");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  const UCHAR s = demod->slaveSys;
  SONY_CHECK(bank(demod, s, 0x00));
  SONY_CHECK(wr(demod, s, 0xC1, enable ? demod->chbondStreamSelect : 0x00));
  SONY_CHECK(bank(demod, m, 0x03));
  if (enable) {
    static constexpr UCHAR k17[2] = {0x01, 0x09};
    SONY_CHECK(wrn(demod, m, 0x17, k17, 2));
  }
  return wr(demod, m, 0xB1, enable ? 1 : 0);
}

DemodResult SLtoAIC(sony_demod_t* demod) {
  ZTRACE("SLtoAIC");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  static constexpr UCHAR k33[3] = {0x00, 0x03, 0x3B};
  static constexpr UCHAR kCe[2] = {0x01, 0x01};
  static constexpr UCHAR kA6[14] = {0x31, 0xA8, 0x29, 0x9B, 0x27, 0x9C, 0x28,
                                    0x9E, 0x29, 0xA4, 0x29, 0xA2, 0x29, 0xA8};
  static constexpr UCHAR k26[4] = {0x07, 0x08, 0x07, 0x08};
  if (demod->chbondMode == 1) SONY_CHECK(sony_demod_isdbc_chbond_Enable(demod, 1));
  SONY_CHECK(sony_demod_WakeUpBegin(demod, DEMOD_SYS_ISDBC, kSelectorIsdbc));
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wr(demod, m, 0x6A, 0x48));
  SONY_CHECK(bank(demod, m, 0x10));
  SONY_CHECK(wr(demod, m, 0xA5, 0x01));
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wrn(demod, m, 0x33, k33, 3));
  SONY_CHECK(bank(demod, m, 0x48));
  SONY_CHECK(wr(demod, m, 0x2C, 0x03));
  SONY_CHECK(bank(demod, m, 0x00));
  SONY_CHECK(wrn(demod, m, 0xCE, kCe, 2));
  SONY_CHECK(bank(demod, m, 0x10));
  SONY_CHECK(wrn(demod, m, 0xA6, kA6, 14));
  SONY_CHECK(sony_demod_WriteIfFreq_locked(demod, sony_demod_IfFreqConfig(demod, IF_STD_ISDBC, 6)));
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wr(demod, m, 0xA3, 0x14));
  SONY_CHECK(bank(demod, m, 0x40));
  SONY_CHECK(wr(demod, m, 0x14, 0x14));
  SONY_CHECK(wr(demod, m, 0x1E, 0x80));
  SONY_CHECK(wrn(demod, m, 0x26, k26, 4));
  return sony_demod_WakeUpEnd(demod);
}

DemodResult AICtoAIC(sony_demod_t* demod) {
  ZTRACE("AICtoAIC");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  return sony_demod_SetStreamOutput(demod, 0);
}

DemodResult AICtoSL(sony_demod_t* demod) {
  ZTRACE("AICtoSL");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  SONY_CHECK(sony_demod_SleepBegin(demod));
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wr(demod, m, 0xA3, 0x00));
  SONY_CHECK(bank(demod, m, 0x48));
  SONY_CHECK(wr(demod, m, 0x2C, 0x01));
  SONY_CHECK(bank(demod, m, 0x40));
  SONY_CHECK(wr(demod, m, 0x14, 0x1F));
  SONY_CHECK(wr(demod, m, 0x1E, 0x00));
  SONY_CHECK(sony_demod_SleepEnd(demod));
  if (demod->chbondMode == 1) SONY_CHECK(sony_demod_isdbc_chbond_Enable(demod, 0));
  return DEMOD_OK;
}

DemodResult sony_demod_isdbc_Tune(sony_demod_t* demod, const IsdbcTuneParams* params) {
  ZTRACE("sony_demod_isdbc_Tune");
  if (!demod || !params) return DEMOD_ERR_ARGUMENT;
  // A selection that cannot be written stops the tune before another standard is put to sleep.
  if (!streamSelectionValid(params->streamSelectType, params->streamId)) return DEMOD_ERR_ARGUMENT;
  // The stream selection is written before either transition.
  auto tsmf = [&] {
    return SetTSMFSetting(demod, params->tsmfSetting, params->streamSelectType, params->streamId,
                          params->streamIdExt);
  };
  return tuneSystem(
      demod, DEMOD_SYS_ISDBC, 6,
      [&]() -> DemodResult {
        SONY_CHECK(tsmf());
        return AICtoAIC(demod);
      },
      [&]() -> DemodResult {
        SONY_CHECK(tsmf());
        return SLtoAIC(demod);
      });
}

DemodResult sony_demod_isdbc_Sleep(sony_demod_t* demod) {
  ZTRACE("sony_demod_isdbc_Sleep");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  return AICtoSL(demod);
}

DemodResult sony_demod_isdbc_monitor_SyncStat(sony_demod_t* demod, UCHAR* lock, UCHAR* tsLock,
                                              UCHAR* unlockDetected) {
  if (!demod || !lock || !tsLock || !unlockDetected) return DEMOD_ERR_ARGUMENT;
  if (!activeInIsdbc(demod)) return DEMOD_ERR_STATE;
  return cableSyncStat(demod, lock, tsLock, unlockDetected);
}

DemodResult sony_demod_isdbc_CheckTSLock(sony_demod_t* demod, ULONG* lock) {
  if (!demod || !lock) return DEMOD_ERR_ARGUMENT;
  if (demod->state != DEMOD_STATE_ACTIVE) return DEMOD_ERR_STATE;
  *lock = 0;
  UCHAR demodLock = 0, ts = 0, unlock = 0;
  SONY_CHECK(sony_demod_isdbc_monitor_SyncStat(demod, &demodLock, &ts, &unlock));
  *lock = (demodLock && ts) ? 1 : 0;
  return DEMOD_OK;
}

DemodResult sony_integ_isdbc_WaitTSLock(sony_integ_t* integ) {
  ZTRACE("sony_integ_isdbc_WaitTSLock");
  auto check = [](sony_demod_t* demod, bool* locked) -> DemodResult {
    ULONG lock = 0;
    SONY_CHECK(sony_demod_isdbc_CheckTSLock(demod, &lock));
    *locked = lock != 0;
    return DEMOD_OK;
  };
  // Not an error here: the caller reads the lock state from the sync-state monitor.
  return waitLock(integ, kIsdbcLockAttempts, 8, check, nullptr, nullptr, DEMOD_OK);
}

DemodResult sony_demod_isdbc_monitor_SNR(sony_demod_t* demod, LONG* snr) {
  if (!demod || !snr) return DEMOD_ERR_ARGUMENT;
  if (!activeInIsdbc(demod)) return DEMOD_ERR_STATE;
  UCHAR constellation = 0;
  ULONG x = 0;
  SONY_CHECK(qamSnrWord(demod, &constellation, &x));
  return qamSnr64or256(constellation, x, snr);
}

DemodResult sony_integ_isdbc_Tune(sony_integ_t* integ, const IsdbcTuneParams* params) {
  ZTRACE("sony_integ_isdbc_Tune");
  if (!integ || !params || !integ->p_demod) return DEMOD_ERR_ARGUMENT;
  sony_demod_t* demod = integ->p_demod;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  if (params->centerFreqKHz == 0) return DEMOD_ERR_ARGUMENT;
  SONY_CHECK(sony_demod_isdbc_Tune(demod, params));
  SONY_CHECK(sony_integ_TuneTuner(integ, params->centerFreqKHz, DEMOD_SYS_ISDBC, 6));
  SONY_CHECK(sony_demod_TuneEnd(demod));
  return sony_integ_isdbc_WaitTSLock(integ);
}

DemodResult sony_integ_isdbc_monitor_RFLevel(sony_integ_t* integ, LONG* level) {
  ZTRACE("sony_integ_isdbc_monitor_RFLevel");
  return sony_integ_MonitorRFLevel(integ, DEMOD_SYS_ISDBC, level);
}
