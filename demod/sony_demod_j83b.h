// J.83 Annex B (North-American cable) on the CXD6802: tune by symbol-rate class, lock wait and monitors.
#pragma once
#include "demod/sony_demod.h"

struct J83bTuneParams {
  ULONG centerFreqKHz;  // 0 is refused
  ULONG bandwidth;      // symbol-rate class: 50 (below 5500 kS/s) or 51
};

enum : ULONG { J83B_LOCK_NOT_YET = 0, J83B_LOCK_LOCKED = 1 };

inline constexpr UCHAR kSelectorJ83b = 0x08;
inline constexpr ULONG kJ83bLockPolls = 199;

DemodResult sony_integ_j83b_Tune(sony_integ_t* integ, const J83bTuneParams* params);
DemodResult sony_integ_j83b_WaitTSLock(sony_integ_t* integ);
DemodResult sony_integ_j83b_monitor_RFLevel(sony_integ_t* integ, LONG* level);

DemodResult sony_demod_j83b_Tune(sony_demod_t* demod, const J83bTuneParams* params);
DemodResult sony_demod_j83b_Sleep(sony_demod_t* demod);
DemodResult sony_demod_j83b_monitor_SyncStat(sony_demod_t* demod, UCHAR* demodLock, UCHAR* tsLock,
                                             UCHAR* unlockDetected);
DemodResult sony_demod_j83b_CheckTSLock(sony_demod_t* demod, ULONG* lock);
DemodResult sony_demod_j83b_monitor_SNR(sony_demod_t* demod, LONG* snr);

DemodResult SLtoACC(sony_demod_t* demod);
DemodResult SLtoACC_BandSetting(sony_demod_t* demod);
DemodResult ACCtoACC(sony_demod_t* demod);
DemodResult ACCtoSL(sony_demod_t* demod);
