// ATSC on the CXD6802: tune (6 MHz), lock wait and monitors. Most settings of the ATSC core go through the
// slave R command mailbox, its status is read from the monitor slave, and its tune ends with a soft-reset
// command instead of the main slave's 0xFE.
#pragma once
#include "demod/sony_demod.h"

struct AtscTuneParams {
  ULONG centerFreqKHz;  // the channel is always 6 MHz
};

// Slave R mailbox: a 6-byte command written to register 0x0A and read back from it.
inline constexpr UCHAR kAtscCmdRegister = 0x0A;
inline constexpr UCHAR kAtscCmdWrite = 0xC5;
inline constexpr UCHAR kAtscCmdSoftReset = 0xB3;
inline constexpr UCHAR kAtscCmdStatusOk = 0x30;  // bits 5:0 of a completed command's status

inline constexpr ULONG kAtscLockAttempts = 199;

DemodResult sony_integ_atsc_Tune(sony_integ_t* integ, const AtscTuneParams* params);
DemodResult sony_integ_atsc_WaitTSLock(sony_integ_t* integ);
DemodResult sony_integ_atsc_monitor_RFLevel(sony_integ_t* integ, LONG* level);

DemodResult sony_demod_atsc_Tune(sony_demod_t* demod, const AtscTuneParams* params);
DemodResult sony_demod_atsc_Sleep(sony_demod_t* demod);
DemodResult sony_demod_atsc_TuneEnd(sony_demod_t* demod);
DemodResult sony_demod_atsc_SoftReset(sony_demod_t* demod);

DemodResult sony_demod_atsc_monitor_SyncStat(sony_demod_t* demod, UCHAR* vqLock, UCHAR* lock2, UCHAR* tsLock,
                                             UCHAR* unlockDetected);
DemodResult sony_demod_atsc_CheckTSLock(sony_demod_t* demod, ULONG* lock);
DemodResult sony_demod_atsc_monitor_SNR(sony_demod_t* demod, LONG* snr);

// Register writes through the mailbox. Refused (DEMOD_ERR_HARDWARE, no bus access) while the ATSC core runs
// after a soft reset, until demodAbort stops it.
DemodResult sony_demod_atsc_SlaveRWriteRegister(sony_demod_t* demod, UCHAR bank, UCHAR reg, UCHAR value,
                                                UCHAR mask);
DemodResult slaveRWriteMultiRegisters(sony_demod_t* demod, UCHAR bank, UCHAR firstReg, const UCHAR* data,
                                      UCHAR length);
DemodResult demodAbort(sony_demod_t* demod);

DemodResult SLtoAA(sony_demod_t* demod);
DemodResult AAtoAA(sony_demod_t* demod);
DemodResult AAtoSL(sony_demod_t* demod);
