// Demod path glue. One row per DemodMode names the standard's tune and monitors; a row left empty is a
// standard whose demodulator code is not built, and the glue answers for it as for an unknown mode.
#include "zadivo/sony_cxd6802/sony_cxd6802.h"

#include "demod/sony_demod_atsc.h"
#include "demod/sony_demod_dvbc.h"
#include "demod/sony_demod_dvbc2.h"
#include "demod/sony_demod_dvbt.h"
#include "demod/sony_demod_dvbt2.h"
#include "demod/sony_demod_isdbc.h"
#include "demod/sony_demod_isdbt.h"
#include "demod/sony_demod_j83b.h"
#include "hw/board_regs.h"
#include "hw/tuner_range.h"
#include "trace/trace.h"
#include "zadivo/device.h"

namespace {

// One standard as the glue sees it. Every entry may be null (not built).
struct ModeOps {
  DemodResult (*tune)(sony_integ_t* integ, const Cxd6802TuneArgs* args);
  DemodResult (*syncStat)(sony_demod_t* demod, UCHAR* syncState, UCHAR* tsLock, UCHAR* unlockDetected);
  DemodResult (*rfLevel)(sony_integ_t* integ, LONG* thousandthsDbm);
  DemodResult (*snr)(sony_demod_t* demod, LONG* thousandthsDb);
  DemodResult (*dataPlps)(sony_demod_t* demod, UCHAR* ids, UCHAR* count);
};

DemodResult tuneDvbt(sony_integ_t* integ, const Cxd6802TuneArgs* args) {
  DvbtTuneParams params = {args->centerFreqKHz, args->bandwidth, args->profile};
  return sony_integ_dvbt_Tune(integ, &params);
}

DemodResult tuneDvbt2(sony_integ_t* integ, const Cxd6802TuneArgs* args) {
  DvbT2TuneParams params = {args->centerFreqKHz, args->bandwidth, static_cast<UCHAR>(args->dataPlpId),
                            args->profile};
  return sony_integ_dvbt2_Tune(integ, &params);
}

DemodResult tuneDvbc(sony_integ_t* integ, const Cxd6802TuneArgs* args) {
  DvbcTuneParams params = {args->centerFreqKHz, args->bandwidth};
  return sony_integ_dvbc_Tune(integ, &params);
}

DemodResult tuneDvbc2(sony_integ_t* integ, const Cxd6802TuneArgs* args) {
  DvbC2TuneParams params = {args->centerFreqKHz,
                            args->bandwidth,
                            static_cast<UCHAR>(args->dataSliceId),
                            static_cast<UCHAR>(args->dataPlpId),
                            static_cast<UCHAR>(args->presetSearch),
                            args->tunerFrequencyKHz};
  return sony_integ_dvbc2_Tune(integ, &params);
}

DemodResult tuneJ83b(sony_integ_t* integ, const Cxd6802TuneArgs* args) {
  J83bTuneParams params = {args->centerFreqKHz, args->bandwidth};
  return sony_integ_j83b_Tune(integ, &params);
}

DemodResult tuneIsdbt(sony_integ_t* integ, const Cxd6802TuneArgs* args) {
  IsdbtTuneParams params = {args->centerFreqKHz, args->bandwidth};
  return sony_integ_isdbt_Tune(integ, &params);
}

// The ISDB-C and ATSC lock waits end without an error when their attempts run out; the tune reports
// success only when the channel did lock, as every other standard's does.
DemodResult lockedOrUnlocked(sony_integ_t* integ, DemodResult tuned,
                             DemodResult (*check)(sony_demod_t*, ULONG*)) {
  if (tuned != DEMOD_OK) return tuned;
  ULONG lock = 0;
  const DemodResult r = check(integ->p_demod, &lock);
  if (r != DEMOD_OK) return r;
  return lock ? DEMOD_OK : DEMOD_ERR_UNLOCKED;
}

DemodResult tuneIsdbc(sony_integ_t* integ, const Cxd6802TuneArgs* args) {
  IsdbcTuneParams params = {args->centerFreqKHz, args->tsmfSetting, args->streamSelectType, args->streamId,
                            args->streamIdExt};
  return lockedOrUnlocked(integ, sony_integ_isdbc_Tune(integ, &params), sony_demod_isdbc_CheckTSLock);
}

DemodResult tuneAtsc(sony_integ_t* integ, const Cxd6802TuneArgs* args) {
  AtscTuneParams params = {args->centerFreqKHz};
  return lockedOrUnlocked(integ, sony_integ_atsc_Tune(integ, &params), sony_demod_atsc_CheckTSLock);
}

// ATSC reports one flag more (the second lock flag, which no check uses); its VQ lock stands as sync state.
DemodResult syncStatAtsc(sony_demod_t* demod, UCHAR* syncState, UCHAR* tsLock, UCHAR* unlockDetected) {
  UCHAR lock2 = 0;
  return sony_demod_atsc_monitor_SyncStat(demod, syncState, &lock2, tsLock, unlockDetected);
}

// Indexed by DemodMode; row 0 is no standard.
constexpr ModeOps kModes[] = {
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // 0
    {tuneDvbt, sony_demod_dvbt_monitor_SyncStat, sony_integ_dvbt_monitor_RFLevel, sony_demod_dvbt_monitor_SNR,
     nullptr},  // 1 DVB-T
    {tuneDvbt2, sony_demod_dvbt2_monitor_SyncStat, sony_integ_dvbt2_monitor_RFLevel,
     sony_demod_dvbt2_monitor_SNR, sony_demod_dvbt2_monitor_DataPLPs},  // 2 DVB-T2
    {tuneDvbc, sony_demod_dvbc_monitor_SyncStat, sony_integ_dvbc_monitor_RFLevel, sony_demod_dvbc_monitor_SNR,
     nullptr},  // 3 DVB-C
    {tuneDvbc2, sony_demod_dvbc2_monitor_SyncStat, sony_integ_dvbc2_monitor_RFLevel,
     sony_demod_dvbc2_monitor_SNR, nullptr},  // 4 DVB-C2
    {tuneJ83b, sony_demod_j83b_monitor_SyncStat, sony_integ_j83b_monitor_RFLevel, sony_demod_j83b_monitor_SNR,
     nullptr},  // 5 J.83B
    {tuneIsdbt, sony_demod_isdbt_monitor_SyncStat, sony_integ_isdbt_monitor_RFLevel,
     sony_demod_isdbt_monitor_SNR, nullptr},  // 6 ISDB-T
    {tuneIsdbc, sony_demod_isdbc_monitor_SyncStat, sony_integ_isdbc_monitor_RFLevel,
     sony_demod_isdbc_monitor_SNR, nullptr},  // 7 ISDB-C
    {tuneAtsc, syncStatAtsc, sony_integ_atsc_monitor_RFLevel, sony_demod_atsc_monitor_SNR,
     nullptr},  // 8 ATSC
};
constexpr ULONG kModeRows = sizeof(kModes) / sizeof(kModes[0]);

const ModeOps& opsOf(DemodMode mode) { return kModes[mode < kModeRows ? mode : 0]; }

}  // namespace

BOOLEAN cxd6802_TuneArgsFor(DemodMode mode, ULONG frequencyKHz, ULONG symbolRateKSps, UCHAR bandwidthMHz,
                            USHORT streamId, Cxd6802TuneArgs* args) {
  if (!args) return FALSE;
  RtlZeroMemory(args, sizeof(*args));
  if (mode < DEMOD_MODE_DVBT || mode > DEMOD_MODE_ATSC) return FALSE;
  args->centerFreqKHz = frequencyKHz;
  switch (mode) {
    case DEMOD_MODE_DVBT:
      args->bandwidth = bandwidthMHz;
      args->profile = 0;
      break;
    case DEMOD_MODE_DVBT2:
      args->bandwidth = bandwidthMHz;
      args->dataPlpId = streamId & 0xFF;
      args->profile = 2;
      break;
    case DEMOD_MODE_DVBC:
      args->bandwidth = 8;  // cable channels are 8 MHz whatever was asked
      break;
    case DEMOD_MODE_DVBC2:
      args->bandwidth = bandwidthMHz;
      args->dataPlpId = streamId & 0xFF;
      break;
    case DEMOD_MODE_J83B:
      args->bandwidth = symbolRateKSps >= 5500 ? kJ83bClassHigh : kJ83bClassLow;
      break;
    case DEMOD_MODE_ISDBT:
      args->bandwidth = (bandwidthMHz >= 6 && bandwidthMHz <= 8) ? bandwidthMHz : 6;
      break;
    case DEMOD_MODE_ISDBC:
      args->streamId = streamId;
      args->streamIdExt = 11;
      break;
    default:  // ATSC: frequency only
      break;
  }
  return TRUE;
}

LONG cxd6802_RFLevelHundredths(LONG thousandthsDbm) { return thousandthsDbm / 10; }

LONG cxd6802_QualityFromSnr(LONG snrThousandthsDb) {
  return static_cast<LONG>(static_cast<LONGLONG>(snrThousandthsDb) * 100 / 65535);
}

BOOLEAN cxd6802_ModeSupported(DemodMode mode) {
  return mode >= DEMOD_MODE_DVBT && mode <= DEMOD_MODE_ATSC && opsOf(mode).tune ? TRUE : FALSE;
}

namespace {

// Chip id, then the drivers' create and initialise. Caller holds the path lock.
void initPath_locked(DemodPath* path) {
  ZTRACE("Demodpath =%d", path->pathIndex);
  const UCHAR slave = cxd6802_SlaveAddress(path->pathIndex);
  const UCHAR sys = static_cast<UCHAR>(slave + 4);
  UCHAR fb = 0, fd = 0;
  WriteOneRegister(path, sys, 0x00, 0x00);
  if (ReadRegister(path, sys, 0xFB, &fb, 1) != DEMOD_OK) return;
  if (ReadRegister(path, sys, 0xFD, &fd, 1) != DEMOD_OK) return;
  ZTRACE("sony chip id is 0x%x  0x%x  0x%x.\n", fb, fd, 0);

  DemodCreateParams params = {};
  params.xtalSelect = 1;
  params.i2cAddress = slave;
  params.tunerI2cConfig = 1;
  params.tunerXtalSelect = 2;
  params.tunerI2cAddress = 0xC0;
  sony_integ_Create(&path->integ, &params);
  if (sony_integ_Initialize(&path->integ) == DEMOD_OK)
    ZTRACE("sony_integ_Initialize successfully.\n");
  else
    ZTRACE("sony_integ_Initialize failed.\n");
}

// A demodulator or tuner record left neither asleep nor active (a sleep or wake-up sequence, or the
// path's start-up, failed on the bus) refuses every tune until it is initialised again. The chip itself may
// be anywhere in that sequence, still active for one, and start-up's initialisation expects it fresh from
// reset: pulse its reset line first, then initialise as start-up does. Caller holds the path lock.
void recoverPath_locked(DemodPath* path) {
  const DemodState demod = path->integ.demod.state;
  const ULONG tuner = path->integ.tuner.state;
  const bool usable = (demod == DEMOD_STATE_SLEEP || demod == DEMOD_STATE_ACTIVE) &&
                      (tuner == SONY_ASCOT3_STATE_SLEEP || tuner == SONY_ASCOT3_STATE_ACTIVE);
  if (!path->device || usable || path->pathIndex < 1 || path->pathIndex > 8) return;
  path->device->DVB_SET_DemodReset(hw::board::kResetRegs[path->pathIndex - 1]);
  initPath_locked(path);
}

}  // namespace

void cxd6802_InitPath(DemodPath* path, Device* p_device) {
  if (!path) return;
  path->device = p_device;
  ASSERT(p_device);
  if (!p_device) return;
  MutexHold guard(&path->lock);
  initPath_locked(path);
}

bool cxd6802_TuneTookPlace(ULONG result) {
  switch (result) {
    case DEMOD_ERR_ARGUMENT:
    case DEMOD_ERR_BUS:
    case DEMOD_ERR_STATE:
    case DEMOD_ERR_RANGE:
    case DEMOD_ERR_UNSUPPORTED:
      return false;
    default:
      return true;
  }
}

ULONG cxd6802_Tune(DemodPath* path, ULONG frequencyKHz, ULONG symbolRateKSps, UCHAR bandwidthMHz,
                   USHORT streamId, DemodMode mode, ULONG* result) {
  if (result) *result = DEMOD_ERR_ARGUMENT;
  if (!path) return 0;
  ZTRACE("\n");
  ZTRACE("Demod %d, frequency = %d,symrate_KSps = %d,bandwith = %d,streamid = %d mode = %d \n",
         path->pathIndex, static_cast<int>(frequencyKHz), static_cast<int>(symbolRateKSps), bandwidthMHz,
         streamId, static_cast<int>(mode));
  Cxd6802TuneArgs args;
  const ModeOps& ops = opsOf(mode);
  if (!cxd6802_TuneArgsFor(mode, frequencyKHz, symbolRateKSps, bandwidthMHz, streamId, &args) || !ops.tune) {
    ZTRACE("Can not support this mode.");
    return 0;
  }
  // The tuner refuses such a frequency only after the demodulator was woken: refuse it before any traffic.
  if (!hw::tuner::tunable(frequencyKHz)) {
    ZERROR("frequency %lu kHz is outside the tuner's range\n", static_cast<unsigned long>(frequencyKHz));
    return 0;
  }
  DemodResult r;
  {
    MutexHold guard(&path->lock);
    recoverPath_locked(path);
    r = ops.tune(&path->integ, &args);
  }
  if (mode == DEMOD_MODE_ISDBT)
    ZTRACE("Sony_ISDB_t centerFreqKHz = %d", static_cast<int>(args.centerFreqKHz));
  if (result) *result = r;
  return r == DEMOD_OK ? 1 : 0;
}

ULONG cxd6802_GetLock(DemodPath* path, DemodMode mode) {
  if (!path) return 0;
  UCHAR sync = 0, tsLock = 0, unlock = 0;
  const ModeOps& ops = opsOf(mode);
  if (ops.syncStat) {
    MutexHold guard(&path->lock);
    if (ops.syncStat(path->integ.p_demod, &sync, &tsLock, &unlock) != DEMOD_OK) tsLock = unlock = 0;
  }
  return (unlock == 0 && tsLock != 0) ? 1 : 0;
}

LONG cxd6802_GetRFLevel(DemodPath* path, DemodMode mode) {
  if (!path) return kCxd6802NoSignalHundredths;
  const ModeOps& ops = opsOf(mode);
  MutexHold guard(&path->lock);
  // Refused until a tune of this standard woke the demodulator and tuned the tuner; a refused or failed read
  // measured nothing.
  LONG level = 0;
  if (!ops.rfLevel || ops.rfLevel(&path->integ, &level) != DEMOD_OK) return kCxd6802NoSignalHundredths;
  ZTRACE("rflevel = %d", static_cast<int>(level));
  return cxd6802_RFLevelHundredths(level);
}

LONG cxd6802_GetSNR(DemodPath* path, DemodMode mode) {
  if (!path) return 0;
  LONG snr = 0;
  const ModeOps& ops = opsOf(mode);
  {
    MutexHold guard(&path->lock);
    ZTRACE("Demodpath =%d", path->pathIndex);
    if (ops.snr && ops.snr(path->integ.p_demod, &snr) != DEMOD_OK) snr = 0;
    ZTRACE("snr = %d", static_cast<int>(snr));
  }
  const LONG quality = cxd6802_QualityFromSnr(snr);
  ZTRACE("snr = %d", static_cast<int>(quality));
  return quality;
}

ULONG cxd6802_GetDataPLPs(DemodPath* path, DemodMode mode, UCHAR* ids, UCHAR* count) {
  if (count) *count = 0;
  if (!path || !ids || !count) return DEMOD_ERR_ARGUMENT;
  const ModeOps& ops = opsOf(mode);
  if (mode != DEMOD_MODE_DVBT2 || !ops.dataPlps) return DEMOD_ERR_UNSUPPORTED;
  DemodResult r;
  {
    MutexHold guard(&path->lock);
    r = ops.dataPlps(path->integ.p_demod, ids, count);
  }
  if (r != DEMOD_OK) *count = 0;
  return r;
}
