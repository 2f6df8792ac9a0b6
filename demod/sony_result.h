// Result, state and system codes shared by the demodulator and tuner drivers.
#pragma once
#include "platform/platform.h"

typedef ULONG DemodResult;
enum : ULONG {
  DEMOD_OK = 0,
  DEMOD_ERR_ARGUMENT = 1,
  DEMOD_ERR_BUS = 2,
  DEMOD_ERR_STATE = 3,
  DEMOD_ERR_HARDWARE = 4,
  DEMOD_ERR_TIMEOUT = 5,
  DEMOD_ERR_UNLOCKED = 6,
  DEMOD_ERR_RANGE = 7,
  DEMOD_ERR_UNSUPPORTED = 8,
  DEMOD_ERR_OTHER = 10,
};

typedef ULONG DemodState;
enum : ULONG {
  DEMOD_STATE_NONE = 0,
  DEMOD_STATE_SLEEP = 2,
  DEMOD_STATE_ACTIVE = 3,
  DEMOD_STATE_INVALID = 4,
};

typedef ULONG DemodSystem;
enum : ULONG {
  DEMOD_SYS_NONE = 0,
  DEMOD_SYS_DVBT = 1,
  DEMOD_SYS_DVBT2 = 2,
  DEMOD_SYS_DVBC = 3,
  DEMOD_SYS_DVBC2 = 4,
  DEMOD_SYS_ATSC = 5,
  DEMOD_SYS_ISDBT = 7,
  DEMOD_SYS_ISDBC = 8,
  DEMOD_SYS_J83B = 9,
};
