// DVB-T2: PLP and profile selection, band settings, state sequences, the two-stage lock wait, and the sync,
// SNR, RF-level and data-PLP monitors.
#include "demod/sony_demod_dvbt2.h"

#include "demod/sony_demod_internal.h"

using namespace sony;

namespace {
struct Dvbt2Band {
  ULONG bandwidth;
  UCHAR r9f[5];  // bank 0x20
  UCHAR b27r7a;
  bool hasBlock;  // 1.7 MHz leaves the 14-byte block as it is
  UCHAR ra6[14];
  UCHAR ra5;
  UCHAR rd7;
};

constexpr Dvbt2Band kBands[] = {
    {8,
     {0x15, 0x00, 0x00, 0x00, 0x00},
     0x00,
     true,
     {0x2F, 0xBA, 0x28, 0x9B, 0x28, 0x9D, 0x28, 0xA1, 0x29, 0xA5, 0x2A, 0xAC, 0x29, 0xB5},
     0x01,
     0x00},
    {7,
     {0x18, 0x00, 0x00, 0x00, 0x00},
     0x00,
     true,
     {0x30, 0xB1, 0x29, 0x9A, 0x28, 0x9C, 0x28, 0xA0, 0x29, 0xA2, 0x2B, 0xA6, 0x2B, 0xAD},
     0x01,
     0x02},
    {6,
     {0x1C, 0x00, 0x00, 0x00, 0x00},
     0x00,
     true,
     {0x31, 0xA8, 0x29, 0x9B, 0x27, 0x9C, 0x28, 0x9E, 0x29, 0xA4, 0x29, 0xA2, 0x29, 0xA8},
     0x01,
     0x04},
    {5,
     {0x21, 0x99, 0x99, 0x99, 0x99},
     0x00,
     true,
     {0x31, 0xA8, 0x29, 0x9B, 0x27, 0x9C, 0x28, 0x9E, 0x29, 0xA4, 0x29, 0xA2, 0x29, 0xA8},
     0x01,
     0x06},
    {1, {0x1A, 0x03, 0xE8, 0x8C, 0xB3}, 0x03, false, {}, 0x00, 0x03},
};

// Bank 0x2E register 0x10 and bank 0x2B register 0x9D per profile.
constexpr UCHAR kProfile2e10[3] = {0x01, 0x05, 0x00};
constexpr UCHAR kProfile2b9d[3] = {0x0E, 0x2E, 0x2E};

bool activeInDvbt2(const sony_demod_t* demod) {
  return demod->state == DEMOD_STATE_ACTIVE && demod->system == DEMOD_SYS_DVBT2;
}
}  // namespace

DemodResult sony_demod_dvbt2_SetPLPConfig(sony_demod_t* demod, UCHAR autoPlp, UCHAR plpId) {
  ZTRACE("sony_demod_dvbt2_SetPLPConfig");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  const UCHAR m = demod->slaveMain;
  SONY_CHECK(bank(demod, m, 0x23));
  if (!autoPlp) SONY_CHECK(wr(demod, m, 0xAF, plpId));
  return wr(demod, m, 0xAD, autoPlp ? 0x00 : 0x01);
}

DemodResult sony_demod_dvbt2_SetProfile(sony_demod_t* demod, ULONG profile) {
  ZTRACE("sony_demod_dvbt2_SetProfile");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  if (profile > 2) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  SONY_CHECK(bank(demod, m, 0x2E));
  SONY_CHECK(wr(demod, m, 0x10, kProfile2e10[profile]));
  SONY_CHECK(bank(demod, m, 0x2B));
  return wr(demod, m, 0x9D, kProfile2b9d[profile]);
}

DemodResult SLtoAT2_BandSetting(sony_demod_t* demod) {
  ZTRACE("SLtoAT2_BandSetting");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  SONY_CHECK(bank(demod, m, 0x20));
  const Dvbt2Band* band = rowFor(kBands, demod->bandwidth);
  if (!band) return DEMOD_ERR_STATE;
  SONY_CHECK(wrn(demod, m, 0x9F, band->r9f, 5));
  SONY_CHECK(bank(demod, m, 0x27));
  SONY_CHECK(wr(demod, m, 0x7A, band->b27r7a));
  SONY_CHECK(bank(demod, m, 0x10));
  if (band->hasBlock) SONY_CHECK(wrn(demod, m, 0xA6, band->ra6, 14));
  SONY_CHECK(wr(demod, m, 0xA5, band->ra5));
  SONY_CHECK(
      sony_demod_WriteIfFreq_locked(demod, sony_demod_IfFreqConfig(demod, IF_STD_DVBT2, band->bandwidth)));
  return wr(demod, m, 0xD7, band->rd7);
}

DemodResult SLtoAT2(sony_demod_t* demod) {
  ZTRACE("SLtoAT2");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  static constexpr UCHAR kCe[2] = {0x01, 0x01};
  static constexpr UCHAR k33[3] = {0x00, 0x03, 0x3B};
  SONY_CHECK(sony_demod_WakeUpBegin(demod, DEMOD_SYS_DVBT2, kSelectorDvbt2));
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wr(demod, m, 0x6A, 0x50));
  SONY_CHECK(bank(demod, m, 0x00));
  SONY_CHECK(wrn(demod, m, 0xCE, kCe, 2));
  SONY_CHECK(bank(demod, m, 0x13));
  SONY_CHECK(wr(demod, m, 0x83, 0x10));
  SONY_CHECK(wr(demod, m, 0x86, 0x34));
  SONY_CHECK(wr(demod, m, 0x9F, 0xD8));
  SONY_CHECK(bank(demod, m, 0x23));
  SONY_CHECK(wr(demod, m, 0xDB, 0x01));
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wrn(demod, m, 0x33, k33, 3));
  SONY_CHECK(SLtoAT2_BandSetting(demod));
  return sony_demod_WakeUpEnd(demod);
}

DemodResult AT2toAT2(sony_demod_t* demod) {
  ZTRACE("AT2toAT2");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  SONY_CHECK(sony_demod_SetStreamOutput(demod, 0));
  return SLtoAT2_BandSetting(demod);
}

DemodResult AT2toSL(sony_demod_t* demod) {
  ZTRACE("AT2toSL");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  SONY_CHECK(sony_demod_SleepBegin(demod));
  SONY_CHECK(bank(demod, m, 0x10));
  SONY_CHECK(wr(demod, m, 0xA5, 0x01));
  SONY_CHECK(bank(demod, m, 0x13));
  SONY_CHECK(wr(demod, m, 0x83, 0x40));
  SONY_CHECK(wr(demod, m, 0x86, 0x21));
  SONY_CHECK(wr(demod, m, 0x9F, 0xFB));
  return sony_demod_SleepEnd(demod);
}

DemodResult sony_demod_dvbt2_Tune(sony_demod_t* demod, const DvbT2TuneParams* params) {
  ZTRACE("sony_demod_dvbt2_Tune");
  if (!demod || !params) return DEMOD_ERR_ARGUMENT;
  return tuneSystem(
      demod, DEMOD_SYS_DVBT2, params->bandwidth, [&] { return AT2toAT2(demod); },
      [&] { return SLtoAT2(demod); });
}

DemodResult sony_demod_dvbt2_Sleep(sony_demod_t* demod) {
  ZTRACE("sony_demod_dvbt2_Sleep");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  return AT2toSL(demod);
}

DemodResult sony_demod_dvbt2_monitor_SyncStat(sony_demod_t* demod, UCHAR* syncState, UCHAR* tsLock,
                                              UCHAR* unlockDetected) {
  if (!demod || !syncState || !tsLock || !unlockDetected) return DEMOD_ERR_ARGUMENT;
  if (!activeInDvbt2(demod)) return DEMOD_ERR_STATE;
  UCHAR v = 0;
  SONY_CHECK(bank(demod, demod->slaveMain, 0x20));
  SONY_CHECK(rd(demod, demod->slaveMain, 0x10, &v, 1));
  *syncState = v & 0x07;
  *tsLock = (v >> 5) & 1;
  *unlockDetected = (v >> 4) & 1;
  ZTRACE("DVBT2 pSyncStat = %d,pTSLockStat = %d,pUnlockDetected = %d \n", *syncState, *tsLock,
         *unlockDetected);
  return *syncState == 7 ? DEMOD_ERR_HARDWARE : DEMOD_OK;
}

namespace {
DemodResult checkLock(sony_demod_t* demod, ULONG* lock, bool needTs) {
  if (!demod || !lock) return DEMOD_ERR_ARGUMENT;
  if (demod->state != DEMOD_STATE_ACTIVE) return DEMOD_ERR_STATE;
  *lock = DVBT2_LOCK_NOT_YET;
  UCHAR sync = 0, ts = 0, unlock = 0;
  SONY_CHECK(sony_demod_dvbt2_monitor_SyncStat(demod, &sync, &ts, &unlock));
  if (unlock) {
    *lock = DVBT2_LOCK_UNLOCK_DETECTED;
    return DEMOD_OK;
  }
  if (sync == 6 && (!needTs || ts)) *lock = DVBT2_LOCK_LOCKED;
  return DEMOD_OK;
}
}  // namespace

DemodResult sony_demod_dvbt2_CheckDemodLock(sony_demod_t* demod, ULONG* lock) {
  return checkLock(demod, lock, false);
}

DemodResult sony_demod_dvbt2_CheckTSLock(sony_demod_t* demod, ULONG* lock) {
  return checkLock(demod, lock, true);
}

namespace {
template <DemodResult (*Check)(sony_demod_t*, ULONG*)>
DemodResult checkLocked(sony_demod_t* demod, bool* locked) {
  ULONG lock = DVBT2_LOCK_NOT_YET;
  SONY_CHECK(Check(demod, &lock));
  *locked = lock == DVBT2_LOCK_LOCKED;
  return DEMOD_OK;
}
}  // namespace

DemodResult dvbt2_WaitDemodLock(sony_integ_t* integ, ULONG profile) {
  ZTRACE("dvbt2_WaitDemodLock");
  if (!integ || !integ->p_demod) return DEMOD_ERR_ARGUMENT;
  sony_demod_t* demod = integ->p_demod;
  if (demod->state != DEMOD_STATE_ACTIVE) return DEMOD_ERR_STATE;
  if (profile > 2) return DEMOD_ERR_STATE;
  return waitLock(integ, kDvbt2DemodLockAttempts[profile], 10, checkLocked<sony_demod_dvbt2_CheckDemodLock>,
                  "The DVBT2 signal Demod locked.", "The DVBT2 signal Demod unlocked!", DEMOD_ERR_UNLOCKED);
}

DemodResult sony_integ_dvbt2_WaitTSLock(sony_integ_t* integ, ULONG profile) {
  ZTRACE("sony_integ_dvbt2_WaitTSLock");
  if (!integ || !integ->p_demod) return DEMOD_ERR_ARGUMENT;
  sony_demod_t* demod = integ->p_demod;
  if (demod->state != DEMOD_STATE_ACTIVE) return DEMOD_ERR_STATE;
  if (profile > 2) return DEMOD_ERR_ARGUMENT;
  return waitLock(integ, kDvbt2TsLockAttempts[profile], 8, checkLocked<sony_demod_dvbt2_CheckTSLock>,
                  "The DVBT2 signal TS locked.\n", "The DVBT2 signal TS unlocked!\n", DEMOD_ERR_UNLOCKED);
}

DemodResult sony_demod_dvbt2_monitor_SNR(sony_demod_t* demod, LONG* snr) {
  if (!demod || !snr) return DEMOD_ERR_ARGUMENT;
  if (!activeInDvbt2(demod)) return DEMOD_ERR_STATE;
  UCHAR data[2] = {0, 0};
  SONY_CHECK(frozen(demod, [&]() -> DemodResult {
    UCHAR sync = 0, ts = 0, unlock = 0;
    // Whatever made the sync read fail, the monitor reports it as a bus failure.
    if (sony_demod_dvbt2_monitor_SyncStat(demod, &sync, &ts, &unlock) != DEMOD_OK) return DEMOD_ERR_BUS;
    if (sync != 6) return DEMOD_ERR_HARDWARE;
    SONY_CHECK(bank(demod, demod->slaveMain, 0x20));
    return rd(demod, demod->slaveMain, 0x28, data, 2);
  }));
  ULONG x = (static_cast<ULONG>(data[0]) << 8) | data[1];
  if (x == 0) return DEMOD_ERR_HARDWARE;
  if (x > 10876) x = 10876;
  *snr = 100 * (static_cast<LONG>(Log10x100(x)) - static_cast<LONG>(Log10x100(12600 - x))) + 32000;
  return DEMOD_OK;
}

DemodResult sony_demod_dvbt2_monitor_DataPLPs(sony_demod_t* demod, UCHAR* plpIds, UCHAR* count) {
  ZTRACE("sony_demod_dvbt2_monitor_DataPLPs");
  if (!demod || !count) return DEMOD_ERR_ARGUMENT;
  if (!activeInDvbt2(demod)) return DEMOD_ERR_STATE;
  const UCHAR m = demod->slaveMain;
  return frozen(demod, [&]() -> DemodResult {
    UCHAR valid = 0;
    SONY_CHECK(bank(demod, m, 0x22));
    SONY_CHECK(rd(demod, m, 0x12, &valid, 1));
    if (!(valid & 0x01)) return DEMOD_ERR_HARDWARE;
    SONY_CHECK(rd(demod, m, 0x7F, count, 1));
    if (*count == 0) return DEMOD_ERR_OTHER;
    if (!plpIds) return DEMOD_OK;
    const ULONG first = *count > 128 ? 128 : *count;
    SONY_CHECK(rd(demod, m, 0x80, plpIds, first));
    if (*count <= 128) return DEMOD_OK;
    SONY_CHECK(bank(demod, m, 0x23));
    return rd(demod, m, 0x10, plpIds + 128, *count - 128u);
  });
}

DemodResult sony_integ_dvbt2_Tune(sony_integ_t* integ, const DvbT2TuneParams* params) {
  ZTRACE("sony_integ_dvbt2_Tune");
  if (!integ || !params || !integ->p_demod) return DEMOD_ERR_ARGUMENT;
  sony_demod_t* demod = integ->p_demod;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  const ULONG bw = params->bandwidth;
  if (bw != 1 && (bw < 5 || bw > 8)) return DEMOD_ERR_UNSUPPORTED;
  SONY_CHECK(sony_demod_dvbt2_SetPLPConfig(demod, 0, params->dataPlpId));
  SONY_CHECK(sony_demod_dvbt2_SetProfile(demod, params->profile));
  SONY_CHECK(sony_demod_dvbt2_Tune(demod, params));
  SONY_CHECK(sony_integ_TuneTuner(integ, params->centerFreqKHz, DEMOD_SYS_DVBT2, bw));
  SONY_CHECK(sony_demod_TuneEnd(demod));
  SONY_CHECK(dvbt2_WaitDemodLock(integ, params->profile));
  return sony_integ_dvbt2_WaitTSLock(integ, params->profile);
}

DemodResult sony_integ_dvbt2_monitor_RFLevel(sony_integ_t* integ, LONG* level) {
  ZTRACE("sony_integ_dvbt2_monitor_RFLevel");
  return sony_integ_MonitorRFLevel(integ, DEMOD_SYS_DVBT2, level);
}
