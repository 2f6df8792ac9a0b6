// ASCOT3 silicon tuner driver: power-on, variant detection, tune, AGC read-back, RSSI and RF level.
// It never touches the demodulator's repeater: the caller opens it around every operation here.
#pragma once
#include "demod/sony_result.h"

struct DemodPath;

enum : ULONG {
  SONY_ASCOT3_STATE_CREATED = 0,
  SONY_ASCOT3_STATE_SLEEP = 1,
  SONY_ASCOT3_STATE_ACTIVE = 2,
};

// Variant 3 is the 2871A part; 1, 2 and 4 are found at power-on.
enum : ULONG {
  SONY_ASCOT3_VARIANT_UNKNOWN = 0,
  SONY_ASCOT3_VARIANT_1 = 1,
  SONY_ASCOT3_VARIANT_2 = 2,
  SONY_ASCOT3_VARIANT_2871A = 3,
  SONY_ASCOT3_VARIANT_4 = 4,
};

// Configuration flags.
inline constexpr ULONG kAscot3ExtRef = 0x80000000u;
inline constexpr ULONG kAscot3OscOffInSleep = 0x40000000u;
inline constexpr ULONG kAscot3DigitalAltSettings = 0x10000000u;
inline constexpr ULONG kAscot3Variant2Reg67 = 0x08000000u;
inline constexpr ULONG kAscot3Reg67AtFin = 0x04000000u;
inline constexpr ULONG kAscot3DigitalBit4 = 0x00800000u;
inline constexpr ULONG kAscot3DigitalBit0 = 0x00400000u;
inline constexpr ULONG kAscot3AnalogBit4 = 0x00200000u;
inline constexpr ULONG kAscot3AnalogBit0 = 0x00100000u;
inline constexpr ULONG kAscot3RefOutShift = 12;
inline constexpr ULONG kAscot3RefOutMask = 0x7000u;

struct sony_ascot3_t {
  ULONG crystal;
  UCHAR i2cAddress;
  ULONG flags;
  ULONG state;
  ULONG frequencyKHz;
  ULONG system;
  ULONG chipVariant;
  const UCHAR (*systemTable)[16];
  UCHAR xoscCapacitance;
  UCHAR xoscDrive;
  ULONG rfLevelSystem;
  DemodPath* p_path;  // bus of the owning path; kept by Create
};

DemodResult sony_ascot3_Create(sony_ascot3_t* tuner, ULONG crystal, UCHAR i2cAddress, ULONG flags);
DemodResult sony_ascot3_Initialize(sony_ascot3_t* tuner);
DemodResult sony_ascot3_Tune(sony_ascot3_t* tuner, ULONG frequencyKHz, ULONG system);
DemodResult sony_ascot3_TuneEnd(sony_ascot3_t* tuner);
DemodResult sony_ascot3_ReadRssi(sony_ascot3_t* tuner, LONG* rssi);

// Standard-level operations used by the demodulator's integration layer (standard = DemodSystem code).
DemodResult sony_tuner_ascot3_Tune(sony_ascot3_t* tuner, ULONG frequencyKHz, ULONG standard, ULONG bandwidth);
DemodResult sony_tuner_ascot3_ReadRFLevel(sony_ascot3_t* tuner, LONG* level);

// (standard, bandwidth) -> system row; 0 when the pair is not supported.
ULONG sony_tuner_ascot3_SystemFor(ULONG standard, ULONG bandwidth);
