// ISDB-T: common and band settings, state sequences, TS-lock wait, sync/SNR/RF-level monitors.
#include "demod/sony_demod_isdbt.h"

#include "demod/sony_demod_internal.h"

using namespace sony;

namespace {
struct IsdbtBand {
  ULONG bandwidth;
  UCHAR r9f[5];
  UCHAR ra6[14];
  UCHAR rd7;
  UCHAR rd9[2];
  UCHAR b12r71;
  UCHAR b15rbe;
};

constexpr IsdbtBand kBands[] = {
    {8,
     {0x11, 0xB8, 0x00, 0x00, 0x00},
     {0x2F, 0xBA, 0x28, 0x9B, 0x28, 0x9D, 0x28, 0xA1, 0x29, 0xA5, 0x2A, 0xAC, 0x29, 0xB5},
     0x00,
     {0x13, 0xFC},
     0x03,
     0x03},
    {7,
     {0x14, 0x40, 0x00, 0x00, 0x00},
     {0x30, 0xB1, 0x29, 0x9A, 0x28, 0x9C, 0x28, 0xA0, 0x29, 0xA2, 0x2B, 0xA6, 0x2B, 0xAD},
     0x02,
     {0x1A, 0xFA},
     0x03,
     0x02},
    {6,
     {0x17, 0xA0, 0x00, 0x00, 0x00},
     {0x31, 0xA8, 0x29, 0x9B, 0x27, 0x9C, 0x28, 0x9E, 0x29, 0xA4, 0x29, 0xA2, 0x29, 0xA8},
     0x04,
     {0x1F, 0x79},
     0x07,
     0x02},
};

// What the common setting of waking into ISDB-T sets and that of sleep puts back.
// clang-format off
constexpr RegPair kWakeSleep[] = {
    {0x10, 0x69, 1, {0x04},       {0x05}},
    {0x10, 0x6B, 1, {0x03},       {0x07}},
    {0x10, 0x9D, 1, {0x50},       {0x14}},
    {0x10, 0xD3, 1, {0x06},       {0x00}},
    {0x10, 0xED, 1, {0x00},       {0x01}},
    {0x10, 0xE2, 1, {0xCE},       {0x4E}},
    {0x10, 0xF2, 1, {0x13},       {0x03}},
    {0x10, 0xDE, 1, {0x2E},       {0x32}},
    {0x15, 0xDE, 1, {0x02},       {0x03}},
    {0x17, 0x38, 2, {0x00, 0x03}, {0x01, 0x02}},
    {0x1E, 0x73, 1, {0x68},       {0x00}},
    {0x63, 0x81, 1, {0x00},       {0x01}},
};
// clang-format on

bool activeInIsdbt(const sony_demod_t* demod) {
  return demod->state == DEMOD_STATE_ACTIVE && demod->system == DEMOD_SYS_ISDBT;
}

// Stream output off, written directly: unlike the other standards this also holds when 0xA9 reports the
// output as owned elsewhere.
DemodResult streamOff(sony_demod_t* demod) {
  SONY_CHECK(bank(demod, demod->slaveMain, 0x00));
  return wr(demod, demod->slaveMain, 0xC3, 0x01);
}

DemodResult readRssi(sony_integ_t* integ, void* context) {
  return sony_ascot3_ReadRssi(integ->p_tuner, static_cast<LONG*>(context));
}
}  // namespace

DemodResult SLtoAIT_CommonSetting(sony_demod_t* demod) {
  ZTRACE("SLtoAIT_CommonSetting");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  static constexpr UCHAR kCe[2] = {0x00, 0x00};
  static constexpr UCHAR k33[3] = {0x00, 0x03, 0x3B};
  static constexpr UCHAR kA8[2] = {0xB7, 0x1B};
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wr(demod, m, 0x6A, 0x50));
  SONY_CHECK(bank(demod, m, 0x10));
  SONY_CHECK(wr(demod, m, 0xA5, 0x01));
  SONY_CHECK(bank(demod, m, 0x00));
  SONY_CHECK(wrn(demod, m, 0xCE, kCe, 2));
  SONY_CHECK(writeColumn(demod, m, kWakeSleep, true));
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wrn(demod, m, 0x33, k33, 3));
  SONY_CHECK(bank(demod, m, 0x60));
  return wrn(demod, m, 0xA8, kA8, 2);
}

DemodResult SLtoAIT_BandSetting(sony_demod_t* demod) {
  ZTRACE("SLtoAIT_BandSetting");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  SONY_CHECK(bank(demod, m, 0x10));
  const IsdbtBand* band = rowFor(kBands, demod->bandwidth);
  if (!band) return DEMOD_ERR_STATE;
  SONY_CHECK(wrn(demod, m, 0x9F, band->r9f, 5));
  SONY_CHECK(wrn(demod, m, 0xA6, band->ra6, 14));
  SONY_CHECK(
      sony_demod_WriteIfFreq_locked(demod, sony_demod_IfFreqConfig(demod, IF_STD_ISDBT, demod->bandwidth)));
  SONY_CHECK(wr(demod, m, 0xD7, band->rd7));
  SONY_CHECK(wrn(demod, m, 0xD9, band->rd9, 2));
  SONY_CHECK(bank(demod, m, 0x12));
  SONY_CHECK(wr(demod, m, 0x71, band->b12r71));
  SONY_CHECK(bank(demod, m, 0x15));
  return wr(demod, m, 0xBE, band->b15rbe);
}

DemodResult SLtoAIT(sony_demod_t* demod) {
  ZTRACE("SLtoAIT");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  SONY_CHECK(sony_demod_WakeUpBegin(demod, DEMOD_SYS_ISDBT, kSelectorIsdbt));
  SONY_CHECK(SLtoAIT_CommonSetting(demod));
  SONY_CHECK(SLtoAIT_BandSetting(demod));
  return sony_demod_WakeUpEnd(demod);
}

DemodResult AITtoAIT(sony_demod_t* demod) {
  ZTRACE("AITtoAIT");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  SONY_CHECK(streamOff(demod));
  return SLtoAIT_BandSetting(demod);
}

DemodResult AITtoSL_CommonSetting(sony_demod_t* demod) {
  ZTRACE("AITtoSL_CommonSetting");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  return writeColumn(demod, demod->slaveMain, kWakeSleep, false);
}

DemodResult AITtoSL(sony_demod_t* demod) {
  ZTRACE("AITtoSL");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  SONY_CHECK(streamOff(demod));
  SONY_CHECK(bits(demod, m, 0x80, 0x1F, 0x1F));
  SONY_CHECK(sony_demod_SetTSDataPinHiZ(demod, 1));
  SONY_CHECK(AITtoSL_CommonSetting(demod));
  return sony_demod_SleepEnd(demod);
}

DemodResult sony_demod_isdbt_Tune(sony_demod_t* demod, const IsdbtTuneParams* params) {
  ZTRACE("sony_demod_isdbt_Tune");
  if (!demod || !params) return DEMOD_ERR_ARGUMENT;
  return tuneSystem(
      demod, DEMOD_SYS_ISDBT, params->bandwidth, [&] { return AITtoAIT(demod); },
      [&] { return SLtoAIT(demod); });
}

DemodResult sony_demod_isdbt_Sleep(sony_demod_t* demod) {
  ZTRACE("sony_demod_isdbt_Sleep");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  if (!activeInIsdbt(demod)) return DEMOD_OK;
  return AITtoSL(demod);
}

DemodResult sony_demod_isdbt_monitor_SyncStat(sony_demod_t* demod, UCHAR* dmdLock, UCHAR* tsLock,
                                              UCHAR* unlockDetected) {
  if (!demod || !dmdLock || !tsLock || !unlockDetected) return DEMOD_ERR_ARGUMENT;
  if (!activeInIsdbt(demod)) return DEMOD_ERR_STATE;
  const UCHAR m = demod->slaveMain;
  UCHAR v = 0;
  SONY_CHECK(bank(demod, m, 0x60));
  SONY_CHECK(rd(demod, m, 0x10, &v, 1));
  *unlockDetected = (v >> 4) & 1;
  *dmdLock = (v >> 1) & 1;
  *tsLock = v & 1;
  ZTRACE("pUnlockDetected=0x%x,pDmdLockStat=0x%x,pTSLockStat=0x%x", *unlockDetected, *dmdLock, *tsLock);
  return DEMOD_OK;
}

DemodResult sony_demod_isdbt_CheckTSLock(sony_demod_t* demod, ULONG* lock) {
  if (!demod || !lock) return DEMOD_ERR_ARGUMENT;
  if (demod->state != DEMOD_STATE_ACTIVE) return DEMOD_ERR_STATE;
  *lock = ISDBT_LOCK_NOT_YET;
  UCHAR dmd = 0, ts = 0, unlock = 0;
  SONY_CHECK(sony_demod_isdbt_monitor_SyncStat(demod, &dmd, &ts, &unlock));
  if (unlock)
    *lock = ISDBT_LOCK_UNLOCK_DETECTED;
  else if (ts)
    *lock = ISDBT_LOCK_LOCKED;
  return DEMOD_OK;
}

DemodResult sony_integ_isdbt_WaitTSLock(sony_integ_t* integ) {
  ZTRACE("sony_integ_isdbt_WaitTSLock");
  auto check = [](sony_demod_t* demod, bool* locked) -> DemodResult {
    ULONG lock = ISDBT_LOCK_NOT_YET;
    SONY_CHECK(sony_demod_isdbt_CheckTSLock(demod, &lock));
    *locked = lock == ISDBT_LOCK_LOCKED;
    return DEMOD_OK;
  };
  return waitLock(integ, kIsdbtLockAttempts, 10, check, "ISDBT singal is locked.",
                  "ISDBT singal is unlocked!", DEMOD_ERR_UNLOCKED);
}

// Checks arguments and state like every other monitor: reading another standard's registers would hand
// the caller a figure that belongs to nothing.
DemodResult sony_demod_isdbt_monitor_SNR(sony_demod_t* demod, LONG* snr) {
  if (!demod || !snr) return DEMOD_ERR_ARGUMENT;
  if (!activeInIsdbt(demod)) return DEMOD_ERR_STATE;
  const UCHAR m = demod->slaveMain;
  if (FreezeRegisters(demod) != DEMOD_OK) return DEMOD_ERR_BUS;
  UCHAR data[2] = {0, 0};
  DemodResult r = bank(demod, m, 0x60);
  if (r == DEMOD_OK) r = rd(demod, m, 0x28, data, 2);
  DemodResult u = UnfreezeRegisters(demod);
  SONY_CHECK(r);
  SONY_CHECK(u);
  const ULONG x = (static_cast<ULONG>(data[0]) << 8) | data[1];
  if (x == 0) return DEMOD_ERR_HARDWARE;
  *snr = 100 * static_cast<LONG>(Log10x100(x)) - 9031;
  return DEMOD_OK;
}

// Argument and state checks as in the other standards' RF-level monitors, and the repeater is closed
// again also when the RSSI read fails (an open repeater would keep the master's window taken).
DemodResult sony_integ_isdbt_monitor_RFLevel(sony_integ_t* integ, LONG* level) {
  if (!integ || !integ->p_demod || !level) return DEMOD_ERR_ARGUMENT;
  if (!activeInIsdbt(integ->p_demod)) return DEMOD_ERR_STATE;
  if (!integ->p_tuner) return DEMOD_ERR_UNSUPPORTED;
  LONG rssi = 0;
  SONY_CHECK(sony_integ_WithRepeater(integ, readRssi, &rssi));
  *level = rssi * 10 - 4500;
  return DEMOD_OK;
}

DemodResult sony_integ_isdbt_Tune(sony_integ_t* integ, const IsdbtTuneParams* params) {
  ZTRACE("sony_integ_isdbt_Tune");
  if (!integ || !params || !integ->p_demod) return DEMOD_ERR_ARGUMENT;
  sony_demod_t* demod = integ->p_demod;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  if (params->bandwidth < 6 || params->bandwidth > 8) return DEMOD_ERR_UNSUPPORTED;
  SONY_CHECK(sony_demod_isdbt_Tune(demod, params));
  SONY_CHECK(sony_integ_TuneTuner(integ, params->centerFreqKHz, DEMOD_SYS_ISDBT, params->bandwidth));
  SONY_CHECK(sony_demod_TuneEnd(demod));
  return sony_integ_isdbt_WaitTSLock(integ);
}
