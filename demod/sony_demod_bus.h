// What the demodulator and tuner drivers need from the board to reach their chips: byte registers of a slave
// on the path's I2C master, the driver's wait, and the window in which the path's tuner may be reached
// through the repeater. Declared here for both drivers; the board glue of the path implements it.
#pragma once
#include "demod/sony_result.h"
#include "platform/platform.h"

struct DemodPath;  // one tuner channel's bus, opaque to the drivers

// Register primitives. Every access is one locked I2C transfer; a failure is DEMOD_ERR_BUS.
DemodResult ReadRegister(DemodPath* path, UCHAR slave, UCHAR reg, UCHAR* buffer, ULONG length);
DemodResult WriteRegister(DemodPath* path, UCHAR slave, UCHAR reg, const UCHAR* data, ULONG length);
// One attempt only, for a block that changes what its own repetition needs: the caller prepares it again.
DemodResult WriteRegisterOnce(DemodPath* path, UCHAR slave, UCHAR reg, const UCHAR* data, ULONG length);
DemodResult WriteOneRegister(DemodPath* path, UCHAR slave, UCHAR reg, UCHAR value);
DemodResult SetRegisterBits(DemodPath* path, UCHAR slave, UCHAR reg, UCHAR value, UCHAR mask);

// Waits 2 x n ms at PASSIVE_LEVEL.
void DemodWaitMs(ULONG n);

// The two paths of one I2C master have tuners at the same address, so only one of them may have its repeater
// open: the demodulator takes the window before enabling its repeater and gives it back after disabling it.
// Taking a window the path already holds, or giving back one it does not, does nothing.
void DemodAcquireRepeaterWindow(DemodPath* path);
void DemodReleaseRepeaterWindow(DemodPath* path);
