// ISDB-T on the CXD6802: tune (6, 7, 8 MHz), lock wait and monitors.
#pragma once
#include "demod/sony_demod.h"

struct IsdbtTuneParams {
  ULONG centerFreqKHz;
  ULONG bandwidth;  // 6, 7 or 8
};

enum : ULONG { ISDBT_LOCK_NOT_YET = 0, ISDBT_LOCK_LOCKED = 1, ISDBT_LOCK_UNLOCK_DETECTED = 2 };

inline constexpr ULONG kIsdbtLockAttempts = 90;

DemodResult sony_integ_isdbt_Tune(sony_integ_t* integ, const IsdbtTuneParams* params);
DemodResult sony_integ_isdbt_WaitTSLock(sony_integ_t* integ);
// Tuner RSSI with the ISDB-T path loss applied, in thousandths of a dBm.
DemodResult sony_integ_isdbt_monitor_RFLevel(sony_integ_t* integ, LONG* level);

DemodResult sony_demod_isdbt_Tune(sony_demod_t* demod, const IsdbtTuneParams* params);
DemodResult sony_demod_isdbt_Sleep(sony_demod_t* demod);
DemodResult sony_demod_isdbt_monitor_SyncStat(sony_demod_t* demod, UCHAR* dmdLock, UCHAR* tsLock,
                                              UCHAR* unlockDetected);
DemodResult sony_demod_isdbt_CheckTSLock(sony_demod_t* demod, ULONG* lock);
DemodResult sony_demod_isdbt_monitor_SNR(sony_demod_t* demod, LONG* snr);

DemodResult SLtoAIT(sony_demod_t* demod);
DemodResult SLtoAIT_CommonSetting(sony_demod_t* demod);
DemodResult SLtoAIT_BandSetting(sony_demod_t* demod);
DemodResult AITtoAIT(sony_demod_t* demod);
DemodResult AITtoSL(sony_demod_t* demod);
DemodResult AITtoSL_CommonSetting(sony_demod_t* demod);
