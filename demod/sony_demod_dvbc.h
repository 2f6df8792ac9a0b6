// DVB-C on the CXD6802: tune (6, 7, 8 MHz; the chip finds constellation and symbol rate), TS lock wait,
// and the sync, SNR and RF-level monitors.
#pragma once
#include "demod/sony_demod.h"

struct DvbcTuneParams {
  ULONG centerFreqKHz;  // 0 is refused
  ULONG bandwidth;      // 6, 7 or 8
};

enum : ULONG { DVBC_LOCK_NOT_YET = 0, DVBC_LOCK_LOCKED = 1 };

inline constexpr ULONG kDvbcLockAttempts = 149;

DemodResult sony_integ_dvbc_Tune(sony_integ_t* integ, const DvbcTuneParams* params);
DemodResult sony_integ_dvbc_WaitTSLock(sony_integ_t* integ);
DemodResult sony_integ_dvbc_monitor_RFLevel(sony_integ_t* integ, LONG* level);

DemodResult sony_demod_dvbc_Tune(sony_demod_t* demod, const DvbcTuneParams* params);
DemodResult sony_demod_dvbc_Sleep(sony_demod_t* demod);
DemodResult sony_demod_dvbc_monitor_SyncStat(sony_demod_t* demod, UCHAR* lock, UCHAR* tsLock,
                                             UCHAR* unlockDetected);
DemodResult sony_demod_dvbc_CheckTSLock(sony_demod_t* demod, ULONG* lock);
DemodResult sony_demod_dvbc_monitor_SNR(sony_demod_t* demod, LONG* snr);

DemodResult SLtoAC(sony_demod_t* demod);
DemodResult SLtoAC_BandSetting(sony_demod_t* demod);
DemodResult ACtoAC(sony_demod_t* demod);
DemodResult ACtoSL(sony_demod_t* demod);
