// ISDB-C on the CXD6802: tune (6 MHz cable) with the TSMF stream selection, optional channel bonding, lock
// wait and monitors.
#pragma once
#include "demod/sony_demod.h"

struct IsdbcTuneParams {
  ULONG centerFreqKHz;     // 0 is refused
  ULONG tsmfSetting;       // low 2 bits: bank 0x49 register 0x36 bits 4:3
  ULONG streamSelectType;  // 0: by streamId and streamIdExt; otherwise by relative stream number 1..15
  USHORT streamId;         // stream identifier (type 0) or relative stream number
  SHORT streamIdExt;       // second identifier (type 0)
};

enum : ULONG { ISDBC_STREAM_SELECT_BY_ID = 0, ISDBC_STREAM_SELECT_RELATIVE = 1 };

inline constexpr ULONG kIsdbcLockAttempts = 199;

DemodResult sony_integ_isdbc_Tune(sony_integ_t* integ, const IsdbcTuneParams* params);
DemodResult sony_integ_isdbc_WaitTSLock(sony_integ_t* integ);
DemodResult sony_integ_isdbc_monitor_RFLevel(sony_integ_t* integ, LONG* level);

DemodResult sony_demod_isdbc_Tune(sony_demod_t* demod, const IsdbcTuneParams* params);
DemodResult sony_demod_isdbc_Sleep(sony_demod_t* demod);
DemodResult SetTSMFSetting(sony_demod_t* demod, ULONG tsmfSetting, ULONG streamSelectType, USHORT streamId,
                           SHORT streamIdExt);
DemodResult sony_demod_isdbc_chbond_Enable(sony_demod_t* demod, UCHAR enable);

DemodResult sony_demod_isdbc_monitor_SyncStat(sony_demod_t* demod, UCHAR* lock, UCHAR* tsLock,
                                              UCHAR* unlockDetected);
DemodResult sony_demod_isdbc_CheckTSLock(sony_demod_t* demod, ULONG* lock);
DemodResult sony_demod_isdbc_monitor_SNR(sony_demod_t* demod, LONG* snr);

DemodResult SLtoAIC(sony_demod_t* demod);
DemodResult AICtoAIC(sony_demod_t* demod);
DemodResult AICtoSL(sony_demod_t* demod);
