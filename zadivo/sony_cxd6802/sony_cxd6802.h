// Demod path glue: brings a path up and turns tuning requests and monitor reads, keyed by DemodMode, into
// calls of the demodulator driver, converting the results into the units the tuner-demod objects report.
#pragma once
#include "zadivo/sony_cxd6802/demod_path.h"

typedef ULONG DemodMode;
enum : ULONG {
  DEMOD_MODE_DVBT = 1,
  DEMOD_MODE_DVBT2 = 2,
  DEMOD_MODE_DVBC = 3,
  DEMOD_MODE_DVBC2 = 4,
  DEMOD_MODE_J83B = 5,
  DEMOD_MODE_ISDBT = 6,
  DEMOD_MODE_ISDBC = 7,
  DEMOD_MODE_ATSC = 8,
};

// Runs once per power-up of the channel; failures are traced only (a later tune fails on its own).
void cxd6802_InitPath(DemodPath* path, Device* device);
// 1 when the standard's tune succeeded (locked), else 0. Caller holds its object lock, not the path lock.
ULONG cxd6802_Tune(DemodPath* path, ULONG frequencyKHz, ULONG symbolRateKSps, UCHAR bandwidthMHz,
                   USHORT streamId, DemodMode mode);
// Monitors, each under the path lock. A failed read reports not locked / 0.
ULONG cxd6802_GetLock(DemodPath* path, DemodMode mode);
LONG cxd6802_GetRFLevel(DemodPath* path, DemodMode mode);  // hundredths of a dBm
LONG cxd6802_GetSNR(DemodPath* path, DemodMode mode);      // quality figure: SNR(0.001 dB) x 100 / 65535
ULONG cxd6802_GetDataPLPs(DemodPath* path, DemodMode mode, UCHAR* ids, UCHAR* count);
