// DVB-C2 on the CXD6802: the tune-sequence state machine (short path and preset path), the sleep and
// band sequences, the lock checks and the sync, SNR and RF-level monitors.
#pragma once
#include "demod/sony_demod.h"

inline constexpr UCHAR kSelectorDvbc2 = 0x05;

struct DvbC2TuneParams {
  ULONG centerFreqKHz;  // 0 is refused
  ULONG bandwidth;      // 6 or 8
  UCHAR dataSliceId;
  UCHAR dataPlpId;
  UCHAR presetSearch;       // non-zero: acquire, measure the data-slice layout and preset first
  ULONG tunerFrequencyKHz;  // non-zero: tune the tuner here instead of the centre / computed frequency
};

enum : ULONG { DVBC2_LOCK_NOT_YET = 0, DVBC2_LOCK_LOCKED = 1, DVBC2_LOCK_UNLOCK_DETECTED = 2 };

// Steps of the tune sequence.
enum : ULONG {
  DVBC2_STEP_TUNE = 0,
  DVBC2_STEP_SETTING2 = 1,
  DVBC2_STEP_SETTING3_1 = 2,
  DVBC2_STEP_READY1_1 = 3,
  DVBC2_STEP_SETTING3_2 = 4,
  DVBC2_STEP_READY1_2 = 5,
  DVBC2_STEP_SETTING4 = 6,
  DVBC2_STEP_READY2 = 7,
  DVBC2_STEP_PRESET_VALUE = 8,
  DVBC2_STEP_PRESET = 9,
  DVBC2_STEP_LOCK = 10,
  DVBC2_STEP_LOCKED = 11,
  DVBC2_STEP_END = 12,
};

struct C2TuneSequence {
  UCHAR running;
  UCHAR tunerTuneRequest;
  ULONG tunerFrequency;  // kHz
  ULONG result;
  ULONG sleepRequestMs;
  ULONG clockMs;
  ULONG waitStartMs;
  ULONG frequency;
  ULONG bandwidth;
  const DvbC2TuneParams* tuneParam;
  ULONG step;
  UCHAR presetIndex;
  USHORT timingPreset;
  USHORT frequencyOffset;
  UCHAR trlNominalRate[5];
  UCHAR presetData[23];
  ULONG centreFrequencyCode;
  ULONG measuredFrequencyCode;
};

// Passes of the integration loop (counter from 1 while below 16) and the sleep after each, in DemodWaitMs
// units (each pass waits twice that in ms; the sequence clock advances by the real wait).
inline constexpr ULONG kDvbc2MaxPasses = 15;
inline constexpr ULONG kDvbc2PassWait = 20;
// A wait step gives up once the sequence clock has run this long past its start.
inline constexpr ULONG kDvbc2WaitLimitMs = 1999;

// A tune that runs out of passes with the sequence still going reports DEMOD_ERR_TIMEOUT (never success).
DemodResult sony_integ_dvbc2_Tune(sony_integ_t* integ, const DvbC2TuneParams* params);
DemodResult sony_integ_dvbc2_monitor_RFLevel(sony_integ_t* integ, LONG* level);

DemodResult sony_demod_dvbc2_InitTuneSeq(sony_demod_t* demod, const DvbC2TuneParams* params,
                                         C2TuneSequence* seq);
DemodResult sony_demod_dvbc2_TuneSeq(sony_demod_t* demod, C2TuneSequence* seq);
DemodResult sony_demod_dvbc2_Tune(sony_demod_t* demod, const DvbC2TuneParams* params);
DemodResult sony_demod_dvbc2_Sleep(sony_demod_t* demod);
DemodResult sony_demod_dvbc2_monitor_SyncStat(sony_demod_t* demod, UCHAR* syncState, UCHAR* tsLock,
                                              UCHAR* unlockDetected);
DemodResult sony_demod_dvbc2_CheckTSLock(sony_demod_t* demod, ULONG* lockResult);
DemodResult sony_demod_dvbc2_monitor_SNR(sony_demod_t* demod, LONG* snr);

DemodResult SLtoAC2(sony_demod_t* demod);
DemodResult SLtoAC2_BandSetting(sony_demod_t* demod);
DemodResult AC2toAC2(sony_demod_t* demod);
DemodResult AC2toSL(sony_demod_t* demod);

// Arithmetic of the sequence, on the chip's carrier-position codes (no bus access).
DemodResult CalculateCarrierTunePosition(ULONG* position, ULONG frequencyKHz, ULONG bandwidth);
// Tuner frequency (kHz) of a carrier-position code; DEMOD_ERR_UNSUPPORTED for a bandwidth other than 6, 8.
DemodResult sony_demod_dvbc2_CodeToKHz(ULONG code, ULONG bandwidth, ULONG* frequencyKHz);
ULONG sony_demod_dvbc2_StepK(const C2TuneSequence* seq);
void CalculateCenterFreq(C2TuneSequence* seq);
void CalculatePresetValue(C2TuneSequence* seq);
