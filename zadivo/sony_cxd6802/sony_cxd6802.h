// Demod path glue: brings a path up and turns tuning requests and monitor reads, keyed by DemodMode, into
// calls of the demodulator driver, converting the results into the units the tuner-demod objects report.
// Each standard is one row of a table inside the glue; a standard whose demodulator code is not built yet
// answers like an unknown mode ("Can not support this mode.", no bus traffic, start values).
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

// J.83B symbol-rate classes handed to the tune as its bandwidth.
inline constexpr ULONG kJ83bClassLow = 50;   // below 5500 kS/s
inline constexpr ULONG kJ83bClassHigh = 51;  // 5500 kS/s and above

// The values the glue puts into a standard's tune record, in one standard-independent shape. Fields a
// standard does not use stay 0.
struct Cxd6802TuneArgs {
  ULONG centerFreqKHz;
  ULONG bandwidth;          // MHz (DVB-T, T2, C, C2, ISDB-T) or the J.83B symbol-rate class
  ULONG profile;            // DVB-T 0, DVB-T2 2
  ULONG dataPlpId;          // DVB-T2, DVB-C2: low byte of the stream id
  ULONG dataSliceId;        // DVB-C2: 0
  ULONG presetSearch;       // DVB-C2: 0
  ULONG tunerFrequencyKHz;  // DVB-C2: 0
  ULONG tsmfSetting;        // ISDB-C: 0
  ULONG streamSelectType;   // ISDB-C: 0 (by stream id and extension)
  USHORT streamId;          // ISDB-C: the request's stream id
  SHORT streamIdExt;        // ISDB-C: 11
};

// Fills *args for a request in `mode`; FALSE (args zeroed) for a mode outside 1..8.
BOOLEAN cxd6802_TuneArgsFor(DemodMode mode, ULONG frequencyKHz, ULONG symbolRateKSps, UCHAR bandwidthMHz,
                            USHORT streamId, Cxd6802TuneArgs* args);
// TRUE when the demodulator code of `mode` is built, so that tunes and monitors in it reach the chip.
BOOLEAN cxd6802_ModeSupported(DemodMode mode);

// Unit conversions of the monitors: thousandths of a dBm to hundredths (truncating toward zero), and SNR in
// thousandths of a dB to the quality figure SNR x 100 / 65535 (30 dB gives 45).
LONG cxd6802_RFLevelHundredths(LONG thousandthsDbm);
LONG cxd6802_QualityFromSnr(LONG snrThousandthsDb);

// Runs once per power-up of the channel; failures are traced only (a later tune fails on its own).
void cxd6802_InitPath(DemodPath* path, Device* device);
// 1 when the standard's tune succeeded (locked), else 0; *result (when given) is the tune's DemodResult.
// Takes the path lock for the whole tune, so a monitor read never lands in the middle of a tune sequence;
// the caller's object lock comes first. A path whose demodulator was left in no usable state (a failed
// transfer in a sleep or wake-up sequence) is initialised again first, as start-up does.
ULONG cxd6802_Tune(DemodPath* path, ULONG frequencyKHz, ULONG symbolRateKSps, UCHAR bandwidthMHz,
                   USHORT streamId, DemodMode mode, ULONG* result = nullptr);
// The tune reached the air and programmed the channel, locked or not (no lock, time-out, or a figure the
// chip could not give). False when the request, the driver's state or a failed transfer stopped it.
bool cxd6802_TuneTookPlace(ULONG result);
// Monitors, each under the path lock. A failed read reports not locked / 0.
ULONG cxd6802_GetLock(DemodPath* path, DemodMode mode);
// Hundredths of a dBm; kCxd6802NoSignalHundredths when nothing could be measured (no tune of the mode yet,
// or the read failed).
LONG cxd6802_GetRFLevel(DemodPath* path, DemodMode mode);
inline constexpr LONG kCxd6802NoSignalHundredths = -10000;
LONG cxd6802_GetSNR(DemodPath* path, DemodMode mode);  // quality figure: SNR(0.001 dB) x 100 / 65535
// DVB-T2 data-PLP list: ids must hold 255 entries. Returns the monitor's DemodResult (DEMOD_ERR_UNSUPPORTED
// for another mode or while DVB-T2 is not built); on failure *count is 0 and ids are not to be used.
ULONG cxd6802_GetDataPLPs(DemodPath* path, DemodMode mode, UCHAR* ids, UCHAR* count);
