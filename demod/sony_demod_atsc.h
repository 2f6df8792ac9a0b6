// ATSC on the CXD6802. For now: the slave R command channel, which the core's bank-bit writes use.
#pragma once
#include "demod/sony_demod.h"

DemodResult sony_demod_atsc_SlaveRWriteRegister(sony_demod_t* demod, UCHAR bank, UCHAR reg, UCHAR value,
                                                UCHAR mask);
DemodResult slaveRWriteMultiRegisters(sony_demod_t* demod, UCHAR bank, UCHAR firstReg, const UCHAR* data,
                                      UCHAR length);
DemodResult demodAbort(sony_demod_t* demod);
