// DVB-T on the CXD6802: tune (5, 6, 7, 8 MHz), lock wait and monitors.
#pragma once
#include "demod/sony_demod.h"

struct DvbtTuneParams {
  ULONG centerFreqKHz;
  ULONG bandwidth;  // 5, 6, 7 or 8
  ULONG profile;
};

enum : ULONG { DVBT_LOCK_NOT_YET = 0, DVBT_LOCK_LOCKED = 1, DVBT_LOCK_UNLOCK_DETECTED = 2 };

inline constexpr ULONG kDvbtLockAttempts = 60;

DemodResult sony_integ_dvbt_Tune(sony_integ_t* integ, const DvbtTuneParams* params);
DemodResult sony_integ_dvbt_WaitTSLock(sony_integ_t* integ);
DemodResult sony_integ_dvbt_monitor_RFLevel(sony_integ_t* integ, LONG* level);

DemodResult sony_demod_dvbt_Tune(sony_demod_t* demod, const DvbtTuneParams* params);
DemodResult sony_demod_dvbt_Sleep(sony_demod_t* demod);
DemodResult sony_demod_dvbt_SetProfile(sony_demod_t* demod, ULONG profile);
DemodResult sony_demod_dvbt_EchoOptimization(sony_demod_t* demod);
DemodResult sony_demod_dvbt_monitor_SyncStat(sony_demod_t* demod, UCHAR* syncState, UCHAR* tsLock,
                                             UCHAR* unlockDetected);
DemodResult sony_demod_dvbt_CheckTSLock(sony_demod_t* demod, ULONG* lock);
DemodResult sony_demod_dvbt_monitor_SNR(sony_demod_t* demod, LONG* snr);

DemodResult SLtoAT(sony_demod_t* demod);
DemodResult SLtoAT_BandSetting(sony_demod_t* demod);
DemodResult ATtoAT(sony_demod_t* demod);
DemodResult ATtoSL(sony_demod_t* demod);
