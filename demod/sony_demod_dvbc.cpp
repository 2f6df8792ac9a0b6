// DVB-C: band settings, state sequences, TS lock wait, and the sync, SNR and RF-level monitors.
#include "demod/sony_demod_dvbc.h"

#include "demod/sony_demod_internal.h"

using namespace sony;

namespace {
struct DvbcBand {
  ULONG bandwidth;
  UCHAR ra6[14];  // bank 0x10
  UCHAR b11ra3;
  UCHAR b40r26[4];
};

constexpr DvbcBand kBands[] = {
    {8,
     {0x29, 0x9A, 0x28, 0x9E, 0x2F, 0xB9, 0x27, 0xA5, 0x28, 0xA9, 0x2B, 0xB0, 0x08, 0xD6},
     0x00,
     {0x09, 0x9A, 0x00, 0xEE}},
    {7,
     {0x29, 0x9A, 0x28, 0x9E, 0x2F, 0xB9, 0x27, 0xA5, 0x28, 0xA9, 0x2B, 0xB0, 0x08, 0xD6},
     0x00,
     {0x08, 0x66, 0x00, 0xEE}},
    {6,
     {0x31, 0xA8, 0x29, 0x9B, 0x27, 0x9C, 0x28, 0x9E, 0x29, 0xA4, 0x29, 0xA2, 0x29, 0xA8},
     0x14,
     {0x07, 0x33, 0x00, 0xEE}},
};

bool activeInDvbc(const sony_demod_t* demod) {
  return demod->state == DEMOD_STATE_ACTIVE && demod->system == DEMOD_SYS_DVBC;
}

}  // namespace

DemodResult SLtoAC_BandSetting(sony_demod_t* demod) {
  ZTRACE("SLtoAC_BandSetting");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  SONY_CHECK(bank(demod, m, 0x10));
  const DvbcBand* band = rowFor(kBands, demod->bandwidth);
  if (!band) return DEMOD_ERR_STATE;
  SONY_CHECK(wrn(demod, m, 0xA6, band->ra6, 14));
  SONY_CHECK(
      sony_demod_WriteIfFreq_locked(demod, sony_demod_IfFreqConfig(demod, IF_STD_DVBC, band->bandwidth)));
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wr(demod, m, 0xA3, band->b11ra3));
  SONY_CHECK(bank(demod, m, 0x40));
  return wrn(demod, m, 0x26, band->b40r26, 4);
}

DemodResult SLtoAC(sony_demod_t* demod) {
  ZTRACE("SLtoAC");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  static constexpr UCHAR k33[3] = {0x00, 0x03, 0x3B};
  static constexpr UCHAR kCe[2] = {0x01, 0x01};
  SONY_CHECK(sony_demod_WakeUpBegin(demod, DEMOD_SYS_DVBC, kSelectorDvbc));
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
  SONY_CHECK(SLtoAC_BandSetting(demod));
  return sony_demod_WakeUpEnd(demod);
}

DemodResult ACtoAC(sony_demod_t* demod) {
  ZTRACE("ACtoAC");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  SONY_CHECK(sony_demod_SetStreamOutput(demod, 0));
  return SLtoAC_BandSetting(demod);
}

DemodResult ACtoSL(sony_demod_t* demod) {
  ZTRACE("ACtoSL");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  SONY_CHECK(sony_demod_SleepBegin(demod));
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wr(demod, m, 0xA3, 0x00));
  SONY_CHECK(bank(demod, m, 0x48));
  SONY_CHECK(wr(demod, m, 0x2C, 0x01));
  return sony_demod_SleepEnd(demod);
}

DemodResult sony_demod_dvbc_Tune(sony_demod_t* demod, const DvbcTuneParams* params) {
  ZTRACE("sony_demod_dvbc_Tune");
  if (!demod || !params) return DEMOD_ERR_ARGUMENT;
  return tuneSystem(
      demod, DEMOD_SYS_DVBC, params->bandwidth, [&] { return ACtoAC(demod); }, [&] { return SLtoAC(demod); });
}

DemodResult sony_demod_dvbc_Sleep(sony_demod_t* demod) {
  ZTRACE("sony_demod_dvbc_Sleep");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  return ACtoSL(demod);
}

DemodResult sony_demod_dvbc_monitor_SyncStat(sony_demod_t* demod, UCHAR* lock, UCHAR* tsLock,
                                             UCHAR* unlockDetected) {
  if (!demod || !lock || !tsLock || !unlockDetected) return DEMOD_ERR_ARGUMENT;
  if (!activeInDvbc(demod)) return DEMOD_ERR_STATE;
  return cableSyncStat(demod, lock, tsLock, unlockDetected);
}

DemodResult sony_demod_dvbc_CheckTSLock(sony_demod_t* demod, ULONG* lock) {
  if (!demod || !lock) return DEMOD_ERR_ARGUMENT;
  if (demod->state != DEMOD_STATE_ACTIVE) return DEMOD_ERR_STATE;
  *lock = DVBC_LOCK_NOT_YET;
  UCHAR demodLock = 0, ts = 0, unlock = 0;
  SONY_CHECK(sony_demod_dvbc_monitor_SyncStat(demod, &demodLock, &ts, &unlock));
  if (demodLock && ts) *lock = DVBC_LOCK_LOCKED;
  return DEMOD_OK;
}

DemodResult sony_integ_dvbc_WaitTSLock(sony_integ_t* integ) {
  ZTRACE("sony_integ_dvbc_WaitTSLock");
  auto check = [](sony_demod_t* demod, bool* locked) -> DemodResult {
    ULONG lock = DVBC_LOCK_NOT_YET;
    SONY_CHECK(sony_demod_dvbc_CheckTSLock(demod, &lock));
    *locked = lock == DVBC_LOCK_LOCKED;
    return DEMOD_OK;
  };
  return waitLock(integ, kDvbcLockAttempts, 6, check, "The DVBC signal is locked.",
                  "The DVBC signal unlocked!", DEMOD_ERR_UNLOCKED);
}

DemodResult sony_demod_dvbc_monitor_SNR(sony_demod_t* demod, LONG* snr) {
  if (!demod || !snr) return DEMOD_ERR_ARGUMENT;
  if (!activeInDvbc(demod)) return DEMOD_ERR_STATE;
  UCHAR constellation = 0;
  ULONG x = 0;
  SONY_CHECK(qamSnrWord(demod, &constellation, &x));
  if (x == 0) return DEMOD_ERR_HARDWARE;
  switch (constellation) {
    case 0:  // 16, 64 and 256-QAM
    case 2:
    case 4:
      if (x < 126) x = 126;
      *snr = 95941 - 95 * static_cast<LONG>(Lnx100(x));
      return DEMOD_OK;
    case 1:  // 32 and 128-QAM
    case 3:
      if (x < 69) x = 69;
      *snr = 86999 - 88 * static_cast<LONG>(Lnx100(x));
      return DEMOD_OK;
    default:
      return DEMOD_ERR_HARDWARE;
  }
}

DemodResult sony_integ_dvbc_Tune(sony_integ_t* integ, const DvbcTuneParams* params) {
  ZTRACE("sony_integ_dvbc_Tune");
  if (!integ || !params || !integ->p_demod) return DEMOD_ERR_ARGUMENT;
  sony_demod_t* demod = integ->p_demod;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  if (params->bandwidth < 6 || params->bandwidth > 8) return DEMOD_ERR_UNSUPPORTED;
  if (params->centerFreqKHz == 0) return DEMOD_ERR_ARGUMENT;
  SONY_CHECK(sony_demod_dvbc_Tune(demod, params));
  SONY_CHECK(sony_integ_TuneTuner(integ, params->centerFreqKHz, DEMOD_SYS_DVBC, params->bandwidth));
  SONY_CHECK(sony_demod_TuneEnd(demod));
  return sony_integ_dvbc_WaitTSLock(integ);
}

DemodResult sony_integ_dvbc_monitor_RFLevel(sony_integ_t* integ, LONG* level) {
  ZTRACE("sony_integ_dvbc_monitor_RFLevel");
  return sony_integ_MonitorRFLevel(integ, DEMOD_SYS_DVBC, level);
}
