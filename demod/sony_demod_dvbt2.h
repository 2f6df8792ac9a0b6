// DVB-T2 on the CXD6802: tune (1.7, 5, 6, 7, 8 MHz) with a data PLP, demodulator then TS lock wait, and the
// sync, SNR, RF-level and data-PLP monitors.
#pragma once
#include "demod/sony_demod.h"

struct DvbT2TuneParams {
  ULONG centerFreqKHz;
  ULONG bandwidth;  // 1 (1.7 MHz), 5, 6, 7 or 8
  UCHAR dataPlpId;
  ULONG profile;  // 0..2
};

enum : ULONG { DVBT2_LOCK_NOT_YET = 0, DVBT2_LOCK_LOCKED = 1, DVBT2_LOCK_UNLOCK_DETECTED = 2 };

// Attempts of the two lock waits per profile.
inline constexpr ULONG kDvbt2DemodLockAttempts[3] = {230, 200, 200};
inline constexpr ULONG kDvbt2TsLockAttempts[3] = {149, 119, 119};
// The id array of the data-PLP monitor must hold this many entries.
inline constexpr ULONG kDvbt2MaxPlps = 255;

DemodResult sony_integ_dvbt2_Tune(sony_integ_t* integ, const DvbT2TuneParams* params);
DemodResult dvbt2_WaitDemodLock(sony_integ_t* integ, ULONG profile);
DemodResult sony_integ_dvbt2_WaitTSLock(sony_integ_t* integ, ULONG profile);
DemodResult sony_integ_dvbt2_monitor_RFLevel(sony_integ_t* integ, LONG* level);

DemodResult sony_demod_dvbt2_Tune(sony_demod_t* demod, const DvbT2TuneParams* params);
DemodResult sony_demod_dvbt2_Sleep(sony_demod_t* demod);
DemodResult sony_demod_dvbt2_SetPLPConfig(sony_demod_t* demod, UCHAR autoPlp, UCHAR plpId);
DemodResult sony_demod_dvbt2_SetProfile(sony_demod_t* demod, ULONG profile);
DemodResult sony_demod_dvbt2_monitor_SyncStat(sony_demod_t* demod, UCHAR* syncState, UCHAR* tsLock,
                                              UCHAR* unlockDetected);
DemodResult sony_demod_dvbt2_CheckDemodLock(sony_demod_t* demod, ULONG* lock);
DemodResult sony_demod_dvbt2_CheckTSLock(sony_demod_t* demod, ULONG* lock);
DemodResult sony_demod_dvbt2_monitor_SNR(sony_demod_t* demod, LONG* snr);
// plpIds may be null (count only); otherwise it must hold kDvbt2MaxPlps entries.
DemodResult sony_demod_dvbt2_monitor_DataPLPs(sony_demod_t* demod, UCHAR* plpIds, UCHAR* count);

DemodResult SLtoAT2(sony_demod_t* demod);
DemodResult SLtoAT2_BandSetting(sony_demod_t* demod);
DemodResult AT2toAT2(sony_demod_t* demod);
DemodResult AT2toSL(sony_demod_t* demod);
