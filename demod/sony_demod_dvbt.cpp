// DVB-T: band settings, state sequences, lock wait with echo optimisation, sync/SNR/RF-level monitors.
#include "demod/sony_demod_dvbt.h"

#include "demod/sony_demod_internal.h"

using namespace sony;

namespace {
struct DvbtBand {
  ULONG bandwidth;
  UCHAR r9f[5];
  UCHAR ra6[14];
  UCHAR rd7;
  UCHAR rd9[2];
  UCHAR b17r38[2];
};

constexpr DvbtBand kBands[] = {
    {8,
     {0x15, 0x00, 0x00, 0x00, 0x00},
     {0x2F, 0xBA, 0x28, 0x9B, 0x28, 0x9D, 0x28, 0xA1, 0x29, 0xA5, 0x2A, 0xAC, 0x29, 0xB5},
     0x00,
     {0x15, 0x28},
     {0x01, 0x02}},
    {7,
     {0x18, 0x00, 0x00, 0x00, 0x00},
     {0x30, 0xB1, 0x29, 0x9A, 0x28, 0x9C, 0x28, 0xA0, 0x29, 0xA2, 0x2B, 0xA6, 0x2B, 0xAD},
     0x02,
     {0x1F, 0xF8},
     {0x00, 0x03}},
    {6,
     {0x1C, 0x00, 0x00, 0x00, 0x00},
     {0x31, 0xA8, 0x29, 0x9B, 0x27, 0x9C, 0x28, 0x9E, 0x29, 0xA4, 0x29, 0xA2, 0x29, 0xA8},
     0x04,
     {0x25, 0x4C},
     {0x00, 0x03}},
    {5,
     {0x21, 0x99, 0x99, 0x99, 0x99},
     {0x31, 0xA8, 0x29, 0x9B, 0x27, 0x9C, 0x28, 0x9E, 0x29, 0xA4, 0x29, 0xA2, 0x29, 0xA8},
     0x06,
     {0x2C, 0xC2},
     {0x00, 0x03}},
};

bool activeInDvbt(const sony_demod_t* demod) {
  return demod->state == DEMOD_STATE_ACTIVE && demod->system == DEMOD_SYS_DVBT;
}
}  // namespace

DemodResult sony_demod_dvbt_SetProfile(sony_demod_t* demod, ULONG profile) {
  ZTRACE("sony_demod_dvbt_SetProfile");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  SONY_CHECK(bank(demod, demod->slaveMain, 0x10));
  SONY_CHECK(wr(demod, demod->slaveMain, 0x67, profile ? 1 : 0));
  UCHAR back = 0;
  rd(demod, demod->slaveMain, 0x67, &back, 1);  // read-back for the trace only
  ZTRACE("i2c test = 0x%x \n", back);
  return DEMOD_OK;
}

DemodResult SLtoAT_BandSetting(sony_demod_t* demod) {
  ZTRACE("SLtoAT_BandSetting");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  static constexpr UCHAR k9c[2] = {0x01, 0x14};
  SONY_CHECK(bank(demod, m, 0x13));
  SONY_CHECK(wrn(demod, m, 0x9C, k9c, 2));
  SONY_CHECK(bank(demod, m, 0x10));
  const DvbtBand* band = rowFor(kBands, demod->bandwidth);
  if (!band) return DEMOD_ERR_STATE;
  SONY_CHECK(wrn(demod, m, 0x9F, band->r9f, 5));
  SONY_CHECK(wrn(demod, m, 0xA6, band->ra6, 14));
  const ULONG ifValue = sony_demod_IfFreqConfig(demod, IF_STD_DVBT, demod->bandwidth);
  if (demod->bandwidth == 8) ZTRACE("the dvbt iffreqconfig = 0x%x", static_cast<unsigned>(ifValue));
  SONY_CHECK(sony_demod_WriteIfFreq_locked(demod, ifValue));
  SONY_CHECK(wr(demod, m, 0xD7, band->rd7));
  SONY_CHECK(wrn(demod, m, 0xD9, band->rd9, 2));
  SONY_CHECK(bank(demod, m, 0x17));
  return wrn(demod, m, 0x38, band->b17r38, 2);
}

DemodResult SLtoAT(sony_demod_t* demod) {
  ZTRACE("SLtoAT");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  static constexpr UCHAR kCe[2] = {0x01, 0x01};
  static constexpr UCHAR k33[3] = {0x00, 0x03, 0x3B};
  SONY_CHECK(sony_demod_WakeUpBegin(demod, DEMOD_SYS_DVBT, kSelectorDvbt));
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wr(demod, m, 0x6A, 0x50));
  SONY_CHECK(bank(demod, m, 0x10));
  SONY_CHECK(wr(demod, m, 0xA5, 0x01));
  SONY_CHECK(bank(demod, m, 0x18));
  SONY_CHECK(wr(demod, m, 0x31, 0x01));
  SONY_CHECK(bank(demod, m, 0x00));
  SONY_CHECK(wrn(demod, m, 0xCE, kCe, 2));
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wrn(demod, m, 0x33, k33, 3));
  SONY_CHECK(SLtoAT_BandSetting(demod));
  return sony_demod_WakeUpEnd(demod);
}

DemodResult ATtoAT(sony_demod_t* demod) {
  ZTRACE("ATtoAT");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  SONY_CHECK(sony_demod_SetStreamOutput(demod, 0));
  return SLtoAT_BandSetting(demod);
}

DemodResult ATtoSL(sony_demod_t* demod) {
  ZTRACE("ATtoSL");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  static constexpr UCHAR k38[2] = {0x01, 0x02};
  SONY_CHECK(sony_demod_SleepBegin(demod));
  SONY_CHECK(bank(demod, m, 0x17));
  SONY_CHECK(wrn(demod, m, 0x38, k38, 2));
  SONY_CHECK(bank(demod, m, 0x18));
  SONY_CHECK(wr(demod, m, 0x31, 0x00));
  return sony_demod_SleepEnd(demod);
}

DemodResult sony_demod_dvbt_Tune(sony_demod_t* demod, const DvbtTuneParams* params) {
  ZTRACE("sony_demod_dvbt_Tune");
  if (!demod || !params) return DEMOD_ERR_ARGUMENT;
  return tuneSystem(
      demod, DEMOD_SYS_DVBT, params->bandwidth, [&] { return ATtoAT(demod); }, [&] { return SLtoAT(demod); });
}

DemodResult sony_demod_dvbt_Sleep(sony_demod_t* demod) {
  ZTRACE("sony_demod_dvbt_Sleep");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  return ATtoSL(demod);
}

DemodResult sony_demod_dvbt_monitor_SyncStat(sony_demod_t* demod, UCHAR* syncState, UCHAR* tsLock,
                                             UCHAR* unlockDetected) {
  if (!demod || !syncState || !tsLock || !unlockDetected) return DEMOD_ERR_ARGUMENT;
  if (!activeInDvbt(demod)) return DEMOD_ERR_STATE;
  UCHAR v = 0;
  SONY_CHECK(bank(demod, demod->slaveMain, 0x10));
  SONY_CHECK(rd(demod, demod->slaveMain, 0x10, &v, 1));
  *syncState = v & 0x07;
  *tsLock = (v >> 5) & 1;
  *unlockDetected = (v >> 4) & 1;
  ZTRACE("DVBT pUnlockDetected = %d,pSyncStat = %d,pTSLockStat = %d", *unlockDetected, *syncState, *tsLock);
  return *syncState == 7 ? DEMOD_ERR_HARDWARE : DEMOD_OK;
}

DemodResult sony_demod_dvbt_CheckTSLock(sony_demod_t* demod, ULONG* lock) {
  if (!demod || !lock) return DEMOD_ERR_ARGUMENT;
  if (demod->state != DEMOD_STATE_ACTIVE) return DEMOD_ERR_STATE;
  *lock = DVBT_LOCK_NOT_YET;
  UCHAR sync = 0, ts = 0, unlock = 0;
  DemodResult r = sony_demod_dvbt_monitor_SyncStat(demod, &sync, &ts, &unlock);
  if (r != DEMOD_OK) {
    ZTRACE("Result problem = %d", static_cast<int>(r));
    return r;
  }
  if (unlock) {
    *lock = DVBT_LOCK_UNLOCK_DETECTED;
    ZTRACE("DVBT unlock = %d", static_cast<int>(*lock));
    return DEMOD_OK;
  }
  if (sync == 6 && ts) *lock = DVBT_LOCK_LOCKED;
  return DEMOD_OK;
}

DemodResult sony_demod_dvbt_EchoOptimization(sony_demod_t* demod) {
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (demod->state != DEMOD_STATE_ACTIVE) return DEMOD_ERR_STATE;
  const UCHAR m = demod->slaveMain;
  bool optimise = false;
  SONY_CHECK(frozen(demod, [&]() -> DemodResult {
    UCHAR sync = 0, ts = 0, unlock = 0;
    SONY_CHECK(sony_demod_dvbt_monitor_SyncStat(demod, &sync, &ts, &unlock));
    if (sync < 2) return DEMOD_OK;
    UCHAR r40 = 0;
    SONY_CHECK(bank(demod, m, 0x10));
    SONY_CHECK(rd(demod, m, 0x40, &r40, 1));
    optimise = ((r40 >> 2) & 3) != 1;
    return DEMOD_OK;
  }));
  if (!optimise) return DEMOD_OK;
  static constexpr UCHAR k9c[2] = {0x00, 0x10};
  SONY_CHECK(bank(demod, m, 0x13));
  return wrn(demod, m, 0x9C, k9c, 2);
}

DemodResult sony_demod_dvbt_monitor_SNR(sony_demod_t* demod, LONG* snr) {
  if (!demod || !snr) return DEMOD_ERR_ARGUMENT;
  if (!activeInDvbt(demod)) return DEMOD_ERR_STATE;
  UCHAR data[2] = {0, 0};
  SONY_CHECK(frozen(demod, [&]() -> DemodResult {
    SONY_CHECK(bank(demod, demod->slaveMain, 0x10));
    return rd(demod, demod->slaveMain, 0x28, data, 2);
  }));
  ULONG x = (static_cast<ULONG>(data[0]) << 8) | data[1];
  if (x == 0) return DEMOD_ERR_HARDWARE;
  if (x > 4996) x = 4996;
  *snr = 100 * (static_cast<LONG>(Log10x100(x)) - static_cast<LONG>(Log10x100(5350 - x))) + 28500;
  return DEMOD_OK;
}

DemodResult sony_integ_dvbt_WaitTSLock(sony_integ_t* integ) {
  ZTRACE("sony_integ_dvbt_WaitTSLock");
  auto check = [](sony_demod_t* demod, bool* locked) -> DemodResult {
    ULONG lock = DVBT_LOCK_NOT_YET;
    SONY_CHECK(sony_demod_dvbt_CheckTSLock(demod, &lock));
    SONY_CHECK(sony_demod_dvbt_EchoOptimization(demod));
    *locked = lock == DVBT_LOCK_LOCKED;
    return DEMOD_OK;
  };
  return waitLock(integ, kDvbtLockAttempts, 10, check, "The demod locked.\n", "The Demod unlocked!",
                  DEMOD_ERR_UNLOCKED);
}

DemodResult sony_integ_dvbt_Tune(sony_integ_t* integ, const DvbtTuneParams* params) {
  ZTRACE("sony_integ_dvbt_Tune");
  if (!integ || !params || !integ->p_demod) return DEMOD_ERR_ARGUMENT;
  sony_demod_t* demod = integ->p_demod;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  if (params->bandwidth < 5 || params->bandwidth > 8) return DEMOD_ERR_UNSUPPORTED;
  SONY_CHECK(sony_demod_dvbt_SetProfile(demod, params->profile));
  SONY_CHECK(sony_demod_dvbt_Tune(demod, params));
  SONY_CHECK(sony_integ_TuneTuner(integ, params->centerFreqKHz, DEMOD_SYS_DVBT, params->bandwidth));
  SONY_CHECK(sony_demod_TuneEnd(demod));
  return sony_integ_dvbt_WaitTSLock(integ);
}

DemodResult sony_integ_dvbt_monitor_RFLevel(sony_integ_t* integ, LONG* level) {
  ZTRACE("sony_integ_dvbt_monitor_RFLevel");
  return sony_integ_MonitorRFLevel(integ, DEMOD_SYS_DVBT, level);
}
