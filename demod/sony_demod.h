// CXD6802 demodulator driver core: path records, state machine, configuration, TS output, repeater, sleep,
// and the wake-up / sleep steps that every standard shares. One file per standard adds its tune and monitors.
// The driver keeps no lock of its own; the path glue serialises each path.
#pragma once
#include "demod/sony_math.h"
#include "demod/sony_result.h"
#include "tuner/sony_ascot3.h"

struct DemodPath;

struct DemodCreateParams {
  ULONG xtalSelect;
  UCHAR i2cAddress;
  ULONG tunerI2cConfig;
  UCHAR tunerXtalSelect;
  UCHAR tunerI2cAddress;
};

// Rows and bandwidth columns of the IF setting table.
enum : ULONG {
  IF_STD_DVBT = 0,
  IF_STD_DVBT2,
  IF_STD_DVBC,
  IF_STD_DVBC2,
  IF_STD_ISDBT,
  IF_STD_ISDBC,
  IF_STD_J83B,  // column 0: mode code 50, column 1: mode code 51
  IF_STD_COUNT
};
enum : ULONG { IF_BW_1_7 = 0, IF_BW_5, IF_BW_6, IF_BW_7, IF_BW_8, IF_BW_COUNT };

struct sony_demod_t {
  ULONG xtalSelect;
  UCHAR slaveMain;
  UCHAR slaveSys;
  UCHAR slaveR;
  UCHAR slaveMon;
  ULONG tunerI2cConfig;
  UCHAR parallelClkPeriod;
  UCHAR serialClkFreqSelect;
  UCHAR tsClkModeFlag;
  LONG chbondMode;
  UCHAR chbondStreamSelect;
  ULONG iffreqconfig[IF_STD_COUNT][IF_BW_COUNT];  // 0 = no setting for that bandwidth
  ULONG atscIfConfig;
  ULONG atscSetting1;
  ULONG atscSetting2;
  DemodState state;
  DemodSystem system;
  ULONG chipId;
  ULONG bandwidth;
  ULONG slaveRBusy;
  DemodPath* p_path;  // bus of the owning path; kept by Create
};

struct sony_integ_t {
  sony_demod_t demod;
  sony_demod_t* p_demod;
  sony_ascot3_t tuner;
  sony_ascot3_t* p_tuner;
};

// Chip system selectors (system slave register 0x17).
inline constexpr UCHAR kSelectorDvbt = 0x01;
inline constexpr UCHAR kSelectorDvbt2 = 0x02;
inline constexpr UCHAR kSelectorDvbc = 0x04;
inline constexpr UCHAR kSelectorIsdbt = 0x06;
inline constexpr UCHAR kSelectorIsdbc = 0x09;
inline constexpr UCHAR kSelectorAtsc = 0x0F;

// Path bring-up.
DemodResult sony_integ_Create(sony_integ_t* integ, const DemodCreateParams* params);
DemodResult sony_integ_Initialize(sony_integ_t* integ);
DemodResult sony_demod_Create(sony_demod_t* demod, const DemodCreateParams* params);
DemodResult sony_demod_Initialize(sony_demod_t* demod);
DemodResult sony_demod_ChipID(sony_demod_t* demod, ULONG* chipId);
DemodResult XtoSL(sony_demod_t* demod);

// Configuration and TS output.
DemodResult sony_demod_SetConfig(sony_demod_t* demod, ULONG id, LONG value);
DemodResult sony_demod_SetTSClockModeAndFreq(sony_demod_t* demod, ULONG system);
DemodResult sony_demod_SetTSDataPinHiZ(sony_demod_t* demod, UCHAR hiZ);
DemodResult sony_demod_SetStreamOutput(sony_demod_t* demod, UCHAR enable);

// Repeater to the tuner. Enabling also takes the master's repeater window (shared with the sibling path on
// the same I2C master); disabling gives it back, also when the disable write fails.
DemodResult sony_demod_I2cRepeater(sony_demod_t* demod, UCHAR enable);
DemodResult sony_demod_TunerI2cEnable(sony_demod_t* demod, ULONG config);

DemodResult sony_demod_SoftReset(sony_demod_t* demod);
DemodResult sony_demod_TuneEnd(sony_demod_t* demod);
DemodResult sony_demod_Sleep(sony_demod_t* demod);

// Bank-addressed register helpers.
DemodResult SetBankAndRegisterBits(sony_demod_t* demod, UCHAR slave, UCHAR bank, UCHAR reg, UCHAR value,
                                   UCHAR mask);
DemodResult FreezeRegisters(sony_demod_t* demod);
DemodResult UnfreezeRegisters(sony_demod_t* demod);

// Steps shared by every standard: wake-up 1-4 and 5-6, sleep 1-3 and 4-6.
DemodResult sony_demod_WakeUpBegin(sony_demod_t* demod, ULONG system, UCHAR selector);
DemodResult sony_demod_WakeUpEnd(sony_demod_t* demod);
DemodResult sony_demod_SleepBegin(sony_demod_t* demod);
DemodResult sony_demod_SleepEnd(sony_demod_t* demod);

// IF setting of a standard row and a bandwidth code (1, 5, 6, 7, 8); 0 when none.
ULONG sony_demod_IfFreqConfig(const sony_demod_t* demod, ULONG ifStd, ULONG bandwidth);
// Writes a 24-bit IF setting big-endian to main slave bank 0x10 registers 0xB6..0xB8 (bank already selected).
DemodResult sony_demod_WriteIfFreq_locked(sony_demod_t* demod, ULONG ifValue);

// Repeater pairing for the integration layer: runs op with the repeater open and always closes it again.
// Returns the first failure among enable, op and disable.
typedef DemodResult (*sony_tuner_op)(sony_integ_t* integ, void* context);
DemodResult sony_integ_WithRepeater(sony_integ_t* integ, sony_tuner_op op, void* context);
// Tunes the path's tuner through the repeater.
DemodResult sony_integ_TuneTuner(sony_integ_t* integ, ULONG frequencyKHz, ULONG system, ULONG bandwidth);
// The RF-level monitor shape shared by the standards (out in thousandths of a dBm).
DemodResult sony_integ_MonitorRFLevel(sony_integ_t* integ, DemodSystem system, LONG* out);
