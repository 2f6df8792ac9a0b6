// DVB-C2: the tune sequence runs one step per pass of the integration loop, which retunes the tuner when a
// step asks for it and sleeps between passes. Short path: carrier position, tune end, lock wait. Preset
// path: acquire, read back the data-slice layout, compute the real centre and the presets, retune, lock.
#include "demod/sony_demod_dvbc2.h"

#include "demod/sony_demod_internal.h"

using namespace sony;

namespace {
constexpr UCHAR kBlock6[14] = {0x31, 0xA8, 0x29, 0x9B, 0x27, 0x9C, 0x28,
                               0x9E, 0x29, 0xA4, 0x29, 0xA2, 0x29, 0xA8};
constexpr UCHAR kBlock8[14] = {0x2F, 0xBA, 0x28, 0x9B, 0x28, 0x9D, 0x28,
                               0xA1, 0x29, 0xA5, 0x2A, 0xAC, 0x29, 0xB5};
constexpr UCHAR kTrl6[5] = {0x1C, 0x00, 0x00, 0x00, 0x00};
constexpr UCHAR kTrl8[5] = {0x15, 0x00, 0x00, 0x00, 0x00};

constexpr UCHAR kPresetTable[4][10] = {
    {0x03, 0xE5, 0x06, 0x2E, 0x03, 0x01, 0xEC, 0x02, 0x30, 0x01},
    {0x0B, 0xE8, 0x16, 0x0B, 0x0B, 0x03, 0xF4, 0x06, 0x1E, 0x03},
    {0x08, 0xF9, 0x10, 0x04, 0x08, 0x14, 0xE7, 0x28, 0xE5, 0x14},
    {0x16, 0xF0, 0x2B, 0xD8, 0x16, 0x16, 0xF0, 0x2C, 0xD8, 0x16},
};

bool activeInDvbc2(const sony_demod_t* demod) {
  return demod->state == DEMOD_STATE_ACTIVE && demod->system == DEMOD_SYS_DVBC2;
}

// Carrier-position block: 6 bytes (position, 02, data slice, data PLP), the 7-byte form adds 01.
void positionBlock(UCHAR* out, ULONG position, const DvbC2TuneParams* p) {
  out[0] = static_cast<UCHAR>(position >> 16);
  out[1] = static_cast<UCHAR>(position >> 8);
  out[2] = static_cast<UCHAR>(position);
  out[3] = 0x02;
  out[4] = p->dataSliceId;
  out[5] = p->dataPlpId;
  out[6] = 0x01;
}

// Builds the block for `position` and selects bank 0x50, where every position block is written.
DemodResult positionBlockInBank(sony_demod_t* demod, ULONG position, const C2TuneSequence* seq,
                                UCHAR* block) {
  positionBlock(block, position, seq->tuneParam);
  return bank(demod, demod->slaveMain, 0x50);
}

// Writes the carrier position of the sequence's frequency and bandwidth (bank 0x50 from 0x7A), leaving its
// block in `block`.
DemodResult writeCarrierPosition(sony_demod_t* demod, const C2TuneSequence* seq, UCHAR* block) {
  ULONG position = 0;
  SONY_CHECK(CalculateCarrierTunePosition(&position, seq->frequency, seq->bandwidth));
  SONY_CHECK(positionBlockInBank(demod, position, seq, block));
  return wrn(demod, demod->slaveMain, 0x7A, block, 6);
}

void startWait(C2TuneSequence* seq) { seq->waitStartMs = seq->clockMs; }

// Outcome of a wait step that is not ready yet: keep polling, or give up once the wait ran too long.
DemodResult notReady(C2TuneSequence* seq) {
  if (seq->clockMs - seq->waitStartMs > kDvbc2WaitLimitMs) {
    seq->step = DVBC2_STEP_END;
    return DEMOD_ERR_TIMEOUT;
  }
  seq->sleepRequestMs = 10;
  return DEMOD_OK;
}

DemodResult DemodSetting2(sony_demod_t* demod, C2TuneSequence* seq) {
  ZTRACE("DemodSetting2");
  UCHAR block[7];
  SONY_CHECK(writeCarrierPosition(demod, seq, block));
  const UCHAR m = demod->slaveMain;
  return wr(demod, m, 0x87, 0x01);
}

DemodResult DemodSetting3_1(sony_demod_t* demod, C2TuneSequence* seq) {
  ZTRACE("DemodSetting3_1");
  UCHAR block[7];
  SONY_CHECK(writeCarrierPosition(demod, seq, block));
  const UCHAR m = demod->slaveMain;
  SONY_CHECK(wrn(demod, m, 0x81, block, 7));
  return sony_demod_SoftReset(demod);
}

DemodResult DemodSetting3_2(sony_demod_t* demod, C2TuneSequence* seq) {
  ZTRACE("DemodSetting3_2");
  const UCHAR m = demod->slaveMain;
  UCHAR x[3] = {0, 0, 0};
  UCHAR y[2] = {0, 0};
  SONY_CHECK(bank(demod, m, 0x52));
  SONY_CHECK(rd(demod, m, 0x24, x, 3));
  SONY_CHECK(rd(demod, m, 0x30, y, 2));
  const ULONG xv = (static_cast<ULONG>(x[0]) << 16) | (static_cast<ULONG>(x[1]) << 8) | x[2];
  const ULONG yv = static_cast<ULONG>(y[0] & 0x3F) * 256 + y[1];
  seq->measuredFrequencyCode = yv * sony_demod_dvbc2_StepK(seq) + xv;
  UCHAR block[7];
  SONY_CHECK(positionBlockInBank(demod, seq->measuredFrequencyCode, seq, block));
  return wrn(demod, m, 0x81, block, 7);
}

DemodResult DemodSetting4(sony_demod_t* demod, C2TuneSequence* seq) {
  ZTRACE("DemodSetting4");
  if (seq->centreFrequencyCode >= 0xFFFFFF) return DEMOD_ERR_ARGUMENT;
  UCHAR block[7];
  SONY_CHECK(positionBlockInBank(demod, seq->centreFrequencyCode, seq, block));
  return wrn(demod, demod->slaveMain, 0x81, block, 7);
}

DemodResult GetTRLNominalRate(sony_demod_t* demod, C2TuneSequence* seq) {
  ZTRACE("GetTRLNominalRate");
  SONY_CHECK(bank(demod, demod->slaveMain, 0x20));
  return rd(demod, demod->slaveMain, 0x52, seq->trlNominalRate, 5);
}

DemodResult Change1stTrial(sony_demod_t* demod) {
  ZTRACE("Change1stTrial");
  const UCHAR m = demod->slaveMain;
  UCHAR e6 = 0, u = 0;
  SONY_CHECK(bank(demod, m, 0x28));
  SONY_CHECK(rd(demod, m, 0xE6, &e6, 1));
  SONY_CHECK(bank(demod, m, 0x50));
  SONY_CHECK(rd(demod, m, 0x15, &u, 1));
  const UCHAR v = static_cast<UCHAR>((e6 & 0x01) | ((u & 0x18) >> 2));
  return bits(demod, m, 0x6F, v, 0x07);
}

DemodResult DemodPreset(sony_demod_t* demod, C2TuneSequence* seq) {
  ZTRACE("DemodPreset");
  if (seq->centreFrequencyCode >= 0xFFFFFF) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  UCHAR block[7];
  SONY_CHECK(positionBlockInBank(demod, seq->centreFrequencyCode, seq, block));
  SONY_CHECK(wrn(demod, m, 0x7A, block, 6));
  SONY_CHECK(wr(demod, m, 0x87, 0x01));

  const UCHAR timing[2] = {static_cast<UCHAR>((seq->timingPreset >> 8) & 0x0F),
                           static_cast<UCHAR>(seq->timingPreset & 0xFF)};
  static constexpr UCHAR k73[4] = {0x0F, 0x3F, 0x3F, 0x3F};
  SONY_CHECK(bank(demod, m, 0x27));
  SONY_CHECK(wrn(demod, m, 0xF4, timing, 2));
  SONY_CHECK(bits(demod, m, 0x51, 0xA0, 0xF0));
  SONY_CHECK(wrn(demod, m, 0x73, k73, 4));
  SONY_CHECK(bank(demod, m, 0x20));
  SONY_CHECK(wrn(demod, m, 0x9F, seq->trlNominalRate, 5));
  SONY_CHECK(bank(demod, m, 0x27));
  SONY_CHECK(wr(demod, m, 0xC9, 0x03));
  SONY_CHECK(bank(demod, m, 0x20));
  SONY_CHECK(wr(demod, m, 0xC2, 0x11));
  SONY_CHECK(bank(demod, m, 0x2A));
  SONY_CHECK(wrn(demod, m, 0x20, kPresetTable[seq->presetIndex & 3], 10));

  const UCHAR offset[4] = {static_cast<UCHAR>(seq->frequencyOffset >> 8),
                           static_cast<UCHAR>(seq->frequencyOffset & 0xFF), 0x02, 0x01};
  SONY_CHECK(bank(demod, m, 0x50));
  SONY_CHECK(wrn(demod, m, 0x55, &seq->presetData[1], 22));
  SONY_CHECK(wrn(demod, m, 0x6B, offset, 4));
  return bits(demod, m, 0x6F, 0x40, 0x40);
}

DemodResult ReleasePreset(sony_demod_t* demod) {
  ZTRACE("ReleasePreset");
  const UCHAR m = demod->slaveMain;
  static constexpr UCHAR kF4[2] = {0x02, 0x80};
  static constexpr UCHAR k73[4] = {0x07, 0x3F, 0x3F, 0x19};
  static constexpr UCHAR kZero[4] = {0x00, 0x00, 0x00, 0x00};
  SONY_CHECK(bank(demod, m, 0x27));
  SONY_CHECK(wrn(demod, m, 0xF4, kF4, 2));
  SONY_CHECK(bits(demod, m, 0x51, 0x40, 0xF0));
  SONY_CHECK(wrn(demod, m, 0x73, k73, 4));
  SONY_CHECK(bank(demod, m, 0x20));
  if (demod->bandwidth == 6)
    SONY_CHECK(wrn(demod, m, 0x9F, kTrl6, 5));
  else if (demod->bandwidth == 8)
    SONY_CHECK(wrn(demod, m, 0x9F, kTrl8, 5));
  else
    return DEMOD_ERR_STATE;
  SONY_CHECK(bank(demod, m, 0x27));
  SONY_CHECK(wr(demod, m, 0xC9, 0x07));
  SONY_CHECK(bank(demod, m, 0x20));
  SONY_CHECK(wr(demod, m, 0xC2, 0x11));
  SONY_CHECK(bank(demod, m, 0x2A));
  SONY_CHECK(wrn(demod, m, 0x20, kPresetTable[3], 10));
  SONY_CHECK(bank(demod, m, 0x50));
  SONY_CHECK(wrn(demod, m, 0x6B, kZero, 4));
  return bits(demod, m, 0x6F, 0x00, 0x40);
}

// The three preset wait checks; they differ in how much of the preset data they read and where they go.
DemodResult checkPresetReady(sony_demod_t* demod, C2TuneSequence* seq, ULONG length, ULONG next) {
  UCHAR sync = 0, ts = 0, unlock = 0;
  SONY_CHECK(sony_demod_dvbc2_monitor_SyncStat(demod, &sync, &ts, &unlock));
  if (unlock) return DEMOD_ERR_UNLOCKED;
  SONY_CHECK(bank(demod, demod->slaveMain, 0x50));
  SONY_CHECK(rd(demod, demod->slaveMain, 0x14, seq->presetData, length));
  if (seq->presetData[0] & 0x01) {
    seq->step = next;
    return DEMOD_OK;
  }
  return notReady(seq);
}

DemodResult CheckPresetReady1_1(sony_demod_t* demod, C2TuneSequence* seq) {
  ZTRACE("CheckPresetReady1_1");
  return checkPresetReady(demod, seq, 2, DVBC2_STEP_SETTING3_2);
}
DemodResult CheckPresetReady1_2(sony_demod_t* demod, C2TuneSequence* seq) {
  ZTRACE("CheckPresetReady1_2");
  return checkPresetReady(demod, seq, 23, DVBC2_STEP_SETTING4);
}
DemodResult CheckPresetReady2(sony_demod_t* demod, C2TuneSequence* seq) {
  ZTRACE("CheckPresetReady2");
  return checkPresetReady(demod, seq, 23, DVBC2_STEP_PRESET_VALUE);
}

DemodResult CheckTuneDemodLock(sony_demod_t* demod, C2TuneSequence* seq) {
  ZTRACE("CheckTuneDemodLock");
  ULONG lock = DVBC2_LOCK_NOT_YET;
  SONY_CHECK(sony_demod_dvbc2_CheckTSLock(demod, &lock));
  if (lock == DVBC2_LOCK_LOCKED) {
    seq->step = DVBC2_STEP_LOCKED;
    return DEMOD_OK;
  }
  if (lock == DVBC2_LOCK_UNLOCK_DETECTED) {
    seq->step = DVBC2_STEP_END;
    return DEMOD_ERR_UNLOCKED;
  }
  return notReady(seq);
}

// Data slice i (0..2) of the preset data: start and end carrier indices.
void sliceEdges(const UCHAR* p, ULONG i, ULONG* s, ULONG* e) {
  *s = static_cast<ULONG>(p[4 * i + 7] & 3) * 256 + p[4 * i + 8];
  *e = static_cast<ULONG>(p[4 * i + 9] & 3) * 256 + p[4 * i + 10];
}
constexpr UCHAR kSliceMasks[3] = {4, 2, 1};
}  // namespace

DemodResult CalculateCarrierTunePosition(ULONG* position, ULONG frequencyKHz, ULONG bandwidth) {
  ZTRACE("CalculateCarrierTunePosition");
  if (!position) return DEMOD_ERR_ARGUMENT;
  ULONG p;
  if (bandwidth == 6)
    p = frequencyKHz * 1792 / 3000;
  else if (bandwidth == 8)
    p = frequencyKHz * 448 / 1000;
  else
    return DEMOD_ERR_UNSUPPORTED;
  p = (p + 6) / 12 * 12;
  if (p > 0xFFFFFE) return DEMOD_ERR_ARGUMENT;
  *position = p;
  return DEMOD_OK;
}

DemodResult sony_demod_dvbc2_CodeToKHz(ULONG code, ULONG bandwidth, ULONG* frequencyKHz) {
  if (!frequencyKHz) return DEMOD_ERR_ARGUMENT;
  if (bandwidth == 6)
    *frequencyKHz = code * 1000 * 3 / 1792;
  else if (bandwidth == 8)
    *frequencyKHz = code * 1000 / 448;
  else
    return DEMOD_ERR_UNSUPPORTED;
  return DEMOD_OK;
}

ULONG sony_demod_dvbc2_StepK(const C2TuneSequence* seq) { return (seq->presetData[1] & 0x10) ? 12 : 24; }

void CalculateCenterFreq(C2TuneSequence* seq) {
  ZTRACE("CalculateCenterFreq");
  const UCHAR* p = seq->presetData;
  const ULONG k = sony_demod_dvbc2_StepK(seq);
  const ULONG ref = static_cast<ULONG>(p[2] & 3) * 256 + p[3];
  ULONG d = 0, c = 0;
  for (ULONG i = 0; i < 3; ++i) {
    if (!(p[19] & kSliceMasks[i])) continue;
    ULONG s, e;
    sliceEdges(p, i, &s, &e);
    if (ref > s) d = (e * 4 + k - 1) / k;
    if (ref < s) c = (3408 - s * 4 + k - 1) / k;
  }
  // Unsigned on purpose: the difference may wrap and the sum wraps back.
  seq->centreFrequencyCode = seq->measuredFrequencyCode + k * (d - (d + c + 1) / 2);
}

void CalculatePresetValue(C2TuneSequence* seq) {
  ZTRACE("CalculatePresetValue");
  const UCHAR* p = seq->presetData;
  seq->frequencyOffset = static_cast<USHORT>((seq->measuredFrequencyCode - seq->centreFrequencyCode) * 16);
  ULONG sum = 0;
  for (ULONG i = 0; i < 3; ++i) {
    if (!(p[19] & kSliceMasks[i])) continue;
    ULONG s, e;
    sliceEdges(p, i, &s, &e);
    sum += (e - s) * 4 - 1;
    if (s == 0 && !(p[19] & 0x10)) sum += 1;
    if (e == 852 && !(p[19] & 0x08)) sum += 1;
  }
  const ULONG n = 3409 - sum;
  seq->timingPreset = static_cast<USHORT>(((n * 13 + 20050) & 0xFFFF) / 100);
  seq->presetIndex = n < 888 ? 0 : n < 1776 ? 1 : n < 2664 ? 2 : 3;
}

DemodResult SLtoAC2_BandSetting(sony_demod_t* demod) {
  ZTRACE("SLtoAC2_BandSetting");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  SONY_CHECK(bank(demod, m, 0x20));
  const bool six = demod->bandwidth == 6;
  if (!six && demod->bandwidth != 8) return DEMOD_ERR_STATE;
  SONY_CHECK(wrn(demod, m, 0x9F, six ? kTrl6 : kTrl8, 5));
  SONY_CHECK(bank(demod, m, 0x27));
  SONY_CHECK(wr(demod, m, 0x7A, 0x00));
  SONY_CHECK(bank(demod, m, 0x10));
  SONY_CHECK(wrn(demod, m, 0xA6, six ? kBlock6 : kBlock8, 14));
  SONY_CHECK(
      sony_demod_WriteIfFreq_locked(demod, sony_demod_IfFreqConfig(demod, IF_STD_DVBC2, demod->bandwidth)));
  SONY_CHECK(wr(demod, m, 0xD7, six ? 0x04 : 0x00));
  const UCHAR ec[2] = {static_cast<UCHAR>(six ? 0x1B : 0x14), static_cast<UCHAR>(six ? 0x70 : 0xA0)};
  SONY_CHECK(bank(demod, m, 0x50));
  SONY_CHECK(wrn(demod, m, 0xEC, ec, 2));
  SONY_CHECK(wr(demod, m, 0xEF, ec[0]));
  return wr(demod, m, 0xF1, ec[1]);
}

// What waking into DVB-C2 sets and sleep puts back.
// clang-format off
constexpr RegPair kWakeSleep[] = {
    {0x20, 0xC2, 1, {0x00},                   {0x11}},
    {0x25, 0x6A, 1, {0x00},                   {0x02}},
    {0x25, 0x89, 3, {0x0C, 0xD1, 0x40},       {0x07, 0x61, 0x36}},
    {0x25, 0xCB, 1, {0x01},                   {0x05}},
    {0x25, 0xDC, 4, {0x7B, 0x00, 0x7B, 0x00}, {0x2E, 0xE0, 0x2E, 0xE0}},
    {0x25, 0xE2, 1, {0x30},                   {0x2F}},
    {0x25, 0xE5, 1, {0x30},                   {0x2F}},
    {0x27, 0x20, 1, {0x01},                   {0x00}},
    {0x27, 0x35, 1, {0x01},                   {0x00}},
    {0x27, 0xD9, 1, {0x18},                   {0x19}},
    {0x2A, 0x38, 1, {0x00},                   {0x04}},
    {0x2A, 0x78, 1, {0x00},                   {0x01}},
    {0x2A, 0x86, 1, {0x20},                   {0x08}},
    {0x2A, 0x88, 1, {0x32},                   {0x14}},
    {0x2B, 0x11, 1, {0x00},                   {0x20}},
    {0x2B, 0x2B, 1, {0x10},                   {0x00}},
    {0x2D, 0x24, 2, {0x01, 0x01},             {0x89, 0x89}},
};
// clang-format on

DemodResult SLtoAC2(sony_demod_t* demod) {
  ZTRACE("SLtoAC2");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  const UCHAR m = demod->slaveMain;
  static constexpr UCHAR kCe[2] = {0x01, 0x01};
  static constexpr UCHAR k33[3] = {0x00, 0x03, 0x3B};
  SONY_CHECK(sony_demod_WakeUpBegin(demod, DEMOD_SYS_DVBC2, kSelectorDvbc2));
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wr(demod, m, 0x6A, 0x50));
  SONY_CHECK(bank(demod, m, 0x10));
  SONY_CHECK(wr(demod, m, 0xA5, 0x01));
  SONY_CHECK(bank(demod, m, 0x00));
  SONY_CHECK(wrn(demod, m, 0xCE, kCe, 2));
  SONY_CHECK(writeColumn(demod, m, kWakeSleep, true));
  SONY_CHECK(bank(demod, m, 0x11));
  SONY_CHECK(wrn(demod, m, 0x33, k33, 3));
  SONY_CHECK(SLtoAC2_BandSetting(demod));
  return sony_demod_WakeUpEnd(demod);
}

DemodResult AC2toAC2(sony_demod_t* demod) {
  ZTRACE("AC2toAC2");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  SONY_CHECK(sony_demod_SetStreamOutput(demod, 0));
  return SLtoAC2_BandSetting(demod);
}

DemodResult AC2toSL(sony_demod_t* demod) {
  ZTRACE("AC2toSL");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  SONY_CHECK(sony_demod_SleepBegin(demod));
  SONY_CHECK(writeColumn(demod, demod->slaveMain, kWakeSleep, false));
  SONY_CHECK(ReleasePreset(demod));
  return sony_demod_SleepEnd(demod);
}

DemodResult sony_demod_dvbc2_Tune(sony_demod_t* demod, const DvbC2TuneParams* params) {
  ZTRACE("sony_demod_dvbc2_Tune");
  if (!demod || !params) return DEMOD_ERR_ARGUMENT;
  return tuneSystem(
      demod, DEMOD_SYS_DVBC2, params->bandwidth, [&] { return AC2toAC2(demod); },
      [&] { return SLtoAC2(demod); });
}

DemodResult sony_demod_dvbc2_Sleep(sony_demod_t* demod) {
  ZTRACE("sony_demod_dvbc2_Sleep");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  return AC2toSL(demod);
}

DemodResult sony_demod_dvbc2_monitor_SyncStat(sony_demod_t* demod, UCHAR* syncState, UCHAR* tsLock,
                                              UCHAR* unlockDetected) {
  ZTRACE("sony_demod_dvbc2_monitor_SyncStat");
  if (!demod || !syncState || !tsLock || !unlockDetected) return DEMOD_ERR_ARGUMENT;
  if (!activeInDvbc2(demod)) return DEMOD_ERR_STATE;
  UCHAR v = 0;
  SONY_CHECK(bank(demod, demod->slaveMain, 0x20));
  SONY_CHECK(rd(demod, demod->slaveMain, 0x10, &v, 1));
  *syncState = v & 0x07;
  *tsLock = (v >> 5) & 1;
  *unlockDetected = (v >> 4) & 1;
  return *syncState == 7 ? DEMOD_ERR_HARDWARE : DEMOD_OK;
}

DemodResult sony_demod_dvbc2_CheckTSLock(sony_demod_t* demod, ULONG* lockResult) {
  ZTRACE("sony_demod_dvbc2_CheckTSLock");
  if (!demod || !lockResult) return DEMOD_ERR_ARGUMENT;
  if (demod->state != DEMOD_STATE_ACTIVE) return DEMOD_ERR_STATE;
  *lockResult = DVBC2_LOCK_NOT_YET;
  UCHAR sync = 0, ts = 0, unlock = 0;
  SONY_CHECK(sony_demod_dvbc2_monitor_SyncStat(demod, &sync, &ts, &unlock));
  if (unlock)
    *lockResult = DVBC2_LOCK_UNLOCK_DETECTED;
  else if (sync > 5 && ts)
    *lockResult = DVBC2_LOCK_LOCKED;
  return DEMOD_OK;
}

DemodResult sony_demod_dvbc2_monitor_SNR(sony_demod_t* demod, LONG* snr) {
  ZTRACE("sony_demod_dvbc2_monitor_SNR");
  if (!demod || !snr) return DEMOD_ERR_ARGUMENT;
  if (!activeInDvbc2(demod)) return DEMOD_ERR_STATE;
  if (FreezeRegisters(demod) != DEMOD_OK) return DEMOD_ERR_BUS;
  UCHAR sync = 0, ts = 0, unlock = 0;
  DemodResult r = sony_demod_dvbc2_monitor_SyncStat(demod, &sync, &ts, &unlock);
  if (r != DEMOD_OK) {
    UnfreezeRegisters(demod);
    return r;
  }
  if (sync != 6) {
    UnfreezeRegisters(demod);
    return DEMOD_ERR_HARDWARE;
  }
  UCHAR data[2] = {0, 0};
  if (bank(demod, demod->slaveMain, 0x20) != DEMOD_OK ||
      rd(demod, demod->slaveMain, 0x28, data, 2) != DEMOD_OK) {
    UnfreezeRegisters(demod);
    return DEMOD_ERR_BUS;
  }
  if (UnfreezeRegisters(demod) != DEMOD_OK) return DEMOD_ERR_BUS;
  ULONG word = static_cast<ULONG>(data[0]) * 256 + data[1];
  if (word == 0) return DEMOD_ERR_HARDWARE;
  if (word > 51441) word = 51441;
  *snr = (static_cast<LONG>(Log10x100(word)) - static_cast<LONG>(Log10x100(55000 - word))) * 100 + 38400;
  return DEMOD_OK;
}

DemodResult sony_demod_dvbc2_InitTuneSeq(sony_demod_t* demod, const DvbC2TuneParams* params,
                                         C2TuneSequence* seq) {
  ZTRACE("sony_demod_dvbc2_InitTuneSeq");
  if (!demod || !params || !seq) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  RtlZeroMemory(seq, sizeof(*seq));
  seq->running = 1;
  seq->frequency = params->centerFreqKHz;
  seq->bandwidth = params->bandwidth;
  seq->tuneParam = params;
  seq->step = DVBC2_STEP_TUNE;
  return DEMOD_OK;
}

DemodResult sony_demod_dvbc2_TuneSeq(sony_demod_t* demod, C2TuneSequence* seq) {
  ZTRACE("sony_demod_dvbc2_TuneSeq");
  if (!demod || !seq || !seq->tuneParam) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  const DvbC2TuneParams* p = seq->tuneParam;
  switch (seq->step) {
    case DVBC2_STEP_TUNE:
      SONY_CHECK(sony_demod_dvbc2_Tune(demod, p));
      SONY_CHECK(ReleasePreset(demod));
      seq->tunerFrequency =
          (p->presetSearch || p->tunerFrequencyKHz == 0) ? seq->frequency : p->tunerFrequencyKHz;
      seq->tunerTuneRequest = 1;
      seq->step = p->presetSearch ? DVBC2_STEP_SETTING3_1 : DVBC2_STEP_SETTING2;
      return DEMOD_OK;
    case DVBC2_STEP_SETTING2:
      SONY_CHECK(DemodSetting2(demod, seq));
      SONY_CHECK(sony_demod_TuneEnd(demod));
      startWait(seq);
      seq->step = DVBC2_STEP_LOCK;
      return DEMOD_OK;
    case DVBC2_STEP_SETTING3_1:
      SONY_CHECK(DemodSetting3_1(demod, seq));
      startWait(seq);
      seq->step = DVBC2_STEP_READY1_1;
      return DEMOD_OK;
    case DVBC2_STEP_READY1_1:
      return CheckPresetReady1_1(demod, seq);
    case DVBC2_STEP_SETTING3_2:
      SONY_CHECK(DemodSetting3_2(demod, seq));
      startWait(seq);
      seq->step = DVBC2_STEP_READY1_2;
      return DEMOD_OK;
    case DVBC2_STEP_READY1_2:
      return CheckPresetReady1_2(demod, seq);
    case DVBC2_STEP_SETTING4:
      SONY_CHECK(Change1stTrial(demod));
      CalculateCenterFreq(seq);
      SONY_CHECK(DemodSetting4(demod, seq));
      SONY_CHECK(GetTRLNominalRate(demod, seq));
      startWait(seq);
      seq->step = DVBC2_STEP_READY2;
      return DEMOD_OK;
    case DVBC2_STEP_READY2:
      return CheckPresetReady2(demod, seq);
    case DVBC2_STEP_PRESET_VALUE: {
      SONY_CHECK(Change1stTrial(demod));
      CalculatePresetValue(seq);
      ULONG f = p->tunerFrequencyKHz;
      if (f == 0) SONY_CHECK(sony_demod_dvbc2_CodeToKHz(seq->measuredFrequencyCode, seq->bandwidth, &f));
      seq->tunerFrequency = f;
      seq->tunerTuneRequest = 1;
      seq->step = DVBC2_STEP_PRESET;
      return DEMOD_OK;
    }
    case DVBC2_STEP_PRESET:
      SONY_CHECK(DemodPreset(demod, seq));
      SONY_CHECK(sony_demod_TuneEnd(demod));
      startWait(seq);
      seq->step = DVBC2_STEP_LOCK;
      return DEMOD_OK;
    case DVBC2_STEP_LOCK:
      return CheckTuneDemodLock(demod, seq);
    case DVBC2_STEP_LOCKED:
      SONY_CHECK(Change1stTrial(demod));
      seq->step = DVBC2_STEP_END;
      return DEMOD_OK;
    case DVBC2_STEP_END:
      seq->tunerTuneRequest = 0;
      seq->running = 0;
      return DEMOD_OK;
    default:
      return DEMOD_ERR_ARGUMENT;
  }
}

DemodResult sony_integ_dvbc2_Tune(sony_integ_t* integ, const DvbC2TuneParams* params) {
  ZTRACE("sony_integ_dvbc2_Tune");
  if (!integ || !params || !integ->p_demod) return DEMOD_ERR_ARGUMENT;
  sony_demod_t* demod = integ->p_demod;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  if (params->bandwidth != 6 && params->bandwidth != 8) return DEMOD_ERR_UNSUPPORTED;
  if (params->centerFreqKHz == 0) return DEMOD_ERR_ARGUMENT;
  C2TuneSequence seq;
  SONY_CHECK(sony_demod_dvbc2_InitTuneSeq(demod, params, &seq));
  for (ULONG pass = 1; seq.running && pass <= kDvbc2MaxPasses; ++pass) {
    SONY_CHECK(sony_demod_dvbc2_TuneSeq(demod, &seq));
    if (seq.tunerTuneRequest) {
      SONY_CHECK(sony_integ_TuneTuner(integ, seq.tunerFrequency, DEMOD_SYS_DVBC2, seq.bandwidth));
      seq.tunerTuneRequest = 0;
    }
    DemodWaitMs(kDvbc2PassWait);
    seq.clockMs += 2 * kDvbc2PassWait;
  }
  // Out of passes with the sequence still going: the tune did not finish, whatever the record says.
  if (seq.running) {
    ZTRACE("The DVBC2 tune sequence timed out at step %d.", static_cast<int>(seq.step));
    seq.result = DEMOD_ERR_TIMEOUT;
  }
  return seq.result;
}

DemodResult sony_integ_dvbc2_monitor_RFLevel(sony_integ_t* integ, LONG* level) {
  ZTRACE("sony_integ_dvbc2_monitor_RFLevel");
  return sony_integ_MonitorRFLevel(integ, DEMOD_SYS_DVBC2, level);
}
