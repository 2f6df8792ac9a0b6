// Demod path glue. Standards not built yet answer like an unknown mode.
#include "zadivo/sony_cxd6802/sony_cxd6802.h"

#include "demod/sony_demod_dvbt.h"
#include "zadivo/trace.h"

namespace {
class PathLock {
 public:
  explicit PathLock(DemodPath* path) : _p_path(path) {
    KeWaitForSingleObject(&_p_path->lock, Executive, KernelMode, FALSE, nullptr);
  }
  ~PathLock() { KeReleaseMutex(&_p_path->lock, FALSE); }
  PathLock(const PathLock&) = delete;
  PathLock& operator=(const PathLock&) = delete;

 private:
  DemodPath* _p_path;
};
}  // namespace

void cxd6802_InitPath(DemodPath* path, Device* device) {
  if (!path) return;
  path->device = device;
  if (!device) {
    RtlAssert((PVOID) "p_device", (PVOID) "sony_cxd6802", __LINE__, nullptr);
    return;
  }
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

ULONG cxd6802_Tune(DemodPath* path, ULONG frequencyKHz, ULONG symbolRateKSps, UCHAR bandwidthMHz,
                   USHORT streamId, DemodMode mode) {
  if (!path) return 0;
  ZTRACE("\n");
  ZTRACE("Demod %d, frequency = %d,symrate_KSps = %d,bandwith = %d,streamid = %d mode = %d \n",
         path->pathIndex, frequencyKHz, symbolRateKSps, bandwidthMHz, streamId, mode);
  DemodResult r;
  switch (mode) {
    case DEMOD_MODE_DVBT: {
      DvbtTuneParams params = {frequencyKHz, bandwidthMHz, 0};
      r = sony_integ_dvbt_Tune(&path->integ, &params);
      break;
    }
    default:
      ZTRACE("Can not support this mode.");
      return 0;
  }
  return r == DEMOD_OK ? 1 : 0;
}

ULONG cxd6802_GetLock(DemodPath* path, DemodMode mode) {
  if (!path) return 0;
  UCHAR sync = 0, tsLock = 0, unlock = 0;
  {
    PathLock guard(path);
    if (mode == DEMOD_MODE_DVBT)
      sony_demod_dvbt_monitor_SyncStat(path->integ.p_demod, &sync, &tsLock, &unlock);
  }
  return (unlock == 0 && tsLock != 0) ? 1 : 0;
}

LONG cxd6802_GetRFLevel(DemodPath* path, DemodMode mode) {
  if (!path) return 0;
  LONG level = 0;
  PathLock guard(path);
  if (mode == DEMOD_MODE_DVBT && sony_integ_dvbt_monitor_RFLevel(&path->integ, &level) != DEMOD_OK) level = 0;
  ZTRACE("rflevel = %d", level);
  return level / 10;
}

LONG cxd6802_GetSNR(DemodPath* path, DemodMode mode) {
  if (!path) return 0;
  LONG snr = 0;
  {
    PathLock guard(path);
    ZTRACE("Demodpath =%d", path->pathIndex);
    if (mode == DEMOD_MODE_DVBT && sony_demod_dvbt_monitor_SNR(path->integ.p_demod, &snr) != DEMOD_OK)
      snr = 0;
    ZTRACE("snr = %d", snr);
  }
  const LONG quality = static_cast<LONG>(static_cast<LONGLONG>(snr) * 100 / 65535);
  ZTRACE("snr = %d", quality);
  return quality;
}

ULONG cxd6802_GetDataPLPs(DemodPath* path, DemodMode mode, UCHAR* ids, UCHAR* count) {
  // The DVB-T2 list read arrives with that standard; until then the caller's list is left as it was.
  (void)path;
  (void)mode;
  (void)ids;
  (void)count;
  return 0;
}
