// CXD6802 core: bring-up, configuration table, TS clock and pins, repeater, soft reset, tune end, sleep, and
// the wake-up and sleep steps every standard shares.
#include "demod/sony_demod.h"

#include "demod/sony_demod_atsc.h"
#include "demod/sony_demod_dvbc.h"
#include "demod/sony_demod_dvbc2.h"
#include "demod/sony_demod_dvbt.h"
#include "demod/sony_demod_dvbt2.h"
#include "demod/sony_demod_internal.h"
#include "demod/sony_demod_isdbc.h"
#include "demod/sony_demod_isdbt.h"
#include "demod/sony_demod_j83b.h"

using namespace sony;

namespace {
constexpr ULONG kDefaultIf[IF_STD_COUNT][IF_BW_COUNT] = {
    /* DVB-T  */ {0, 0x133333, 0x133333, 0x166666, 0x19999A},
    /* DVB-T2 */ {0x12AAAB, 0x133333, 0x133333, 0x166666, 0x19999A},
    /* DVB-C  */ {0, 0, 0x13BBBC, 0x1A2222, 0x1A2222},
    /* DVB-C2 */ {0, 0, 0x13BBBC, 0, 0x1A2222},
    /* ISDB-T */ {0, 0, 0x12EEEF, 0x162222, 0x195555},
    /* ISDB-C */ {0, 0, 0x13BBBC, 0, 0},
    /* J.83B (50, 51) */ {0x13BBBC, 0x140000, 0, 0, 0},
};

constexpr ULONG kTunerFlags = 0xF03000;

bool isChip9x(ULONG id) { return id == 0x90 || id == 0x91; }
bool isChipX97(ULONG id) { return id == 0x396 || id == 0x297 || id == 0x197; }

// Sleep operation per active system; systems whose standard is not built have none.
struct SleepEntry {
  DemodSystem system;
  DemodResult (*sleep)(sony_demod_t*);
};
constexpr SleepEntry kSleepOps[] = {
    {DEMOD_SYS_DVBT, sony_demod_dvbt_Sleep},
    {DEMOD_SYS_DVBT2, sony_demod_dvbt2_Sleep},
    {DEMOD_SYS_DVBC, sony_demod_dvbc_Sleep},
    {DEMOD_SYS_DVBC2, sony_demod_dvbc2_Sleep},
    {DEMOD_SYS_J83B, sony_demod_j83b_Sleep},
    {DEMOD_SYS_ISDBT, sony_demod_isdbt_Sleep},
    {DEMOD_SYS_ISDBC, sony_demod_isdbc_Sleep},
    {DEMOD_SYS_ATSC, sony_demod_atsc_Sleep},  // its sleep stops the ATSC core before the common steps end
};
}  // namespace

DemodResult sony_integ_Create(sony_integ_t* integ, const DemodCreateParams* params) {
  ZTRACE("sony_integ_Create");
  if (!integ || !params) {
    ZTRACE("-----NULL------");
    return DEMOD_ERR_ARGUMENT;
  }
  integ->p_demod = &integ->demod;
  integ->p_tuner = &integ->tuner;
  SONY_CHECK(sony_demod_Create(integ->p_demod, params));
  sony_ascot3_Create(integ->p_tuner, params->tunerXtalSelect, params->tunerI2cAddress, kTunerFlags);
  return DEMOD_OK;
}

DemodResult sony_integ_Initialize(sony_integ_t* integ) {
  ZTRACE("sony_integ_Initialize");
  if (!integ || !integ->p_demod) return DEMOD_ERR_ARGUMENT;
  sony_demod_t* demod = integ->p_demod;
  SONY_CHECK(sony_demod_Initialize(demod));
  SONY_CHECK(sony_demod_I2cRepeater(demod, 1));
  DemodWaitMs(20);
  if (integ->p_tuner) sony_ascot3_Initialize(integ->p_tuner);
  DemodWaitMs(10);
  SONY_CHECK(sony_demod_I2cRepeater(demod, 0));
  sony_demod_SetConfig(demod, 0, 0);
  sony_demod_SetConfig(demod, 1, 0);
  return DEMOD_OK;
}

DemodResult sony_demod_Create(sony_demod_t* demod, const DemodCreateParams* params) {
  ZTRACE("sony_demod_Create");
  if (!demod || !params) {
    ZTRACE("-----NULL------");
    return DEMOD_ERR_ARGUMENT;
  }
  DemodPath* path = demod->p_path;
  RtlZeroMemory(demod, sizeof(*demod));
  demod->p_path = path;
  demod->xtalSelect = params->xtalSelect;
  demod->slaveMain = params->i2cAddress;
  demod->slaveSys = static_cast<UCHAR>(params->i2cAddress + 4);
  demod->slaveR = static_cast<UCHAR>(params->i2cAddress - 0x40);
  demod->slaveMon = static_cast<UCHAR>(params->i2cAddress + 0x58);
  demod->tunerI2cConfig = params->tunerI2cConfig;
  demod->serialClkFreqSelect = 1;
  RtlCopyMemory(demod->iffreqconfig, kDefaultIf, sizeof(kDefaultIf));
  demod->atscIfConfig = 0x27777777;
  demod->atscSetting1 = 0x7FFB61;
  demod->atscSetting2 = 0x7C4926;
  return DEMOD_OK;
}

DemodResult sony_demod_Initialize(sony_demod_t* demod) {
  ZTRACE("sony_demod_Initialize");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  demod->state = DEMOD_STATE_NONE;
  demod->system = DEMOD_SYS_NONE;
  demod->chipId = 0;
  demod->bandwidth = 0;
  demod->slaveRBusy = 0;
  if (sony_demod_ChipID(demod, &demod->chipId) != DEMOD_OK) demod->state = DEMOD_STATE_INVALID;
  ZTRACE("chipId : 0x%x ;", static_cast<unsigned>(demod->chipId));
  SONY_CHECK(XtoSL(demod));
  demod->state = DEMOD_STATE_SLEEP;
  DemodResult r = sony_demod_TunerI2cEnable(demod, demod->tunerI2cConfig);
  if (r != DEMOD_OK) {
    demod->state = DEMOD_STATE_INVALID;
    return r;
  }
  DemodWaitMs(2);
  return DEMOD_OK;
}

DemodResult XtoSL(sony_demod_t* demod) {
  ZTRACE("XtoSL");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  // Refused before the chip is touched, like every other domain failure.
  if (static_cast<LONG>(demod->xtalSelect) < 0 || static_cast<LONG>(demod->xtalSelect) > 2)
    return DEMOD_ERR_UNSUPPORTED;
  const UCHAR sys = demod->slaveSys;
  SONY_CHECK(wr(demod, sys, 0x02, 0x00));
  DemodWaitMs(4);
  SONY_CHECK(bank(demod, sys, 0x00));
  SONY_CHECK(wr(demod, sys, 0x1D, 0x00));
  SONY_CHECK(wr(demod, sys, 0x14, static_cast<UCHAR>(demod->xtalSelect)));
  DemodWaitMs(1);
  SONY_CHECK(wr(demod, sys, 0x50, 0x00));
  DemodWaitMs(1);
  SONY_CHECK(wr(demod, sys, 0x10, 0x00));
  DemodWaitMs(21);
  if (demod->chipId == 0x197) {
    static constexpr UCHAR kZero[4] = {0, 0, 0, 0};
    SONY_CHECK(bank(demod, demod->slaveMain, 0x9C));
    SONY_CHECK(wrn(demod, demod->slaveMain, 0x10, kZero, 4));
  }
  return DEMOD_OK;
}

DemodResult sony_demod_ChipID(sony_demod_t* demod, ULONG* chipId) {
  ZTRACE("sony_demod_ChipID");
  if (!demod || !chipId) return DEMOD_ERR_ARGUMENT;
  bank(demod, demod->slaveSys, 0x00);  // not tested: the reads tell
  UCHAR fb = 0, fd = 0;
  SONY_CHECK(rd(demod, demod->slaveSys, 0xFB, &fb, 1));
  SONY_CHECK(rd(demod, demod->slaveSys, 0xFD, &fd, 1));
  *chipId = (static_cast<ULONG>(fb & 0x03) << 8) | fd;
  return DEMOD_OK;
}

DemodResult SetBankAndRegisterBits(sony_demod_t* demod, UCHAR slave, UCHAR bankNo, UCHAR reg, UCHAR value,
                                   UCHAR mask) {
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  if (slave == demod->slaveR) return sony_demod_atsc_SlaveRWriteRegister(demod, bankNo, reg, value, mask);
  SONY_CHECK(bank(demod, slave, bankNo));
  return bits(demod, slave, reg, value, mask);
}

DemodResult FreezeRegisters(sony_demod_t* demod) { return wr(demod, demod->slaveMain, 0x01, 1); }
DemodResult UnfreezeRegisters(sony_demod_t* demod) { return wr(demod, demod->slaveMain, 0x01, 0); }

namespace {
bool inRange(LONG value, LONG lo, LONG hi) { return value >= lo && value <= hi; }
}  // namespace

DemodResult sony_demod_SetConfig(sony_demod_t* demod, ULONG id, LONG value) {
  ZTRACE("sony_demod_SetConfig");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  const bool sleeping = demod->state == DEMOD_STATE_SLEEP;
  const UCHAR m = demod->slaveMain;
  const UCHAR s = demod->slaveSys;
  auto mainBits = [&](UCHAR reg, UCHAR v, UCHAR mask) {
    return SetBankAndRegisterBits(demod, m, 0x00, reg, v, mask);
  };

  const bool known = id <= 21 || id == 84;
  if (!known) return DEMOD_ERR_UNSUPPORTED;
  // Ids accepted in active state as well.
  const bool anyState = id == 14 || id == 17 || id == 18 || id == 19;
  if (!anyState && !sleeping) return DEMOD_ERR_STATE;

  switch (id) {
    case 0:
      if (value == 2 && isChip9x(demod->chipId)) return DEMOD_ERR_UNSUPPORTED;
      SONY_CHECK(mainBits(0xC4, value == 0 ? 0x80 : 0x00, 0x80));
      if (isChipX97(demod->chipId))
        SONY_CHECK(SetBankAndRegisterBits(demod, m, 0x02, 0xE4, value == 2 ? 0x01 : 0x00, 0x01));
      return DEMOD_OK;
    case 1:
      return mainBits(0xC4, value ? 0x08 : 0x00, 0x08);
    case 2:
      return mainBits(0xC4, value == 0 ? 0x10 : 0x00, 0x10);
    case 3:
      return mainBits(0xC5, value == 0 ? 0x02 : 0x00, 0x02);
    case 4:
      return mainBits(0xC5, value == 0 ? 0x04 : 0x00, 0x04);
    case 5:
      return mainBits(0xCB, value == 0 ? 0x01 : 0x00, 0x01);
    case 6:
      return mainBits(0xC5, value ? 0x01 : 0x00, 0x01);
    case 7:
      demod->serialClkFreqSelect = value ? 1 : 0;
      return DEMOD_OK;
    case 8:
      if (!inRange(value, 0, 31)) return DEMOD_ERR_RANGE;
      SONY_CHECK(mainBits(0xC6, static_cast<UCHAR>(value), 0x1F));
      return SetBankAndRegisterBits(demod, m, 0x60, 0x52, static_cast<UCHAR>(value), 0x1F);
    case 9:
      if (!inRange(value, 0, 31)) return DEMOD_ERR_RANGE;
      return mainBits(0xC8, static_cast<UCHAR>(value), 0x1F);
    case 10:
      if (!inRange(value, 0, 31)) return DEMOD_ERR_RANGE;
      return mainBits(0xC9, static_cast<UCHAR>(value), 0x1F);
    case 11:
      if (!inRange(value, 0, 255)) return DEMOD_ERR_RANGE;
      demod->parallelClkPeriod = static_cast<UCHAR>(value);
      return DEMOD_OK;
    case 12:
      if (!inRange(value, 0, 7)) return DEMOD_ERR_RANGE;
      return mainBits(0xD6, static_cast<UCHAR>(value), 0x07);
    case 13:
      demod->tsClkModeFlag = value ? 1 : 0;
      return DEMOD_OK;
    case 14:
      if (!inRange(value, 0, 4096)) return DEMOD_ERR_RANGE;
      SONY_CHECK(mainBits(0xB7, value ? 0x01 : 0x00, 0x01));
      SONY_CHECK(mainBits(0xB2, static_cast<UCHAR>((value >> 8) & 0x1F), 0x1F));
      return mainBits(0xB3, static_cast<UCHAR>(value & 0xFF), 0xFF);
    case 15:
      return mainBits(0x95, static_cast<UCHAR>(value & 3), 0x03);
    case 16: {
      const UCHAR v = static_cast<UCHAR>(value & 3);
      SONY_CHECK(mainBits(0x95, static_cast<UCHAR>((v << 2) | (v << 4)), 0x3C));
      SONY_CHECK(mainBits(0x96, static_cast<UCHAR>(v * 0x55), 0xFF));
      return mainBits(0x97, static_cast<UCHAR>(v * 0x55), 0xFF);
    }
    case 17:
      return SetBankAndRegisterBits(demod, s, 0x00, 0x86, static_cast<UCHAR>(value & 3), 0x03);
    case 18:
      return SetBankAndRegisterBits(demod, s, 0x00, 0x86, static_cast<UCHAR>((value & 3) << 2), 0x0C) ==
                     DEMOD_OK
                 ? DEMOD_OK
                 : DEMOD_ERR_BUS;
    case 19:
      return SetBankAndRegisterBits(demod, s, 0x00, 0x86, static_cast<UCHAR>((value & 3) << 4), 0x30) ==
                     DEMOD_OK
                 ? DEMOD_OK
                 : DEMOD_ERR_BUS;
    case 20:
      if (!inRange(value, 0, 3)) return DEMOD_ERR_RANGE;
      if (isChip9x(demod->chipId)) return DEMOD_ERR_UNSUPPORTED;
      SONY_CHECK(
          SetBankAndRegisterBits(demod, s, 0x00, 0xC0, value == 3 ? 0 : static_cast<UCHAR>(value), 0x03));
      demod->chbondMode = value;
      return DEMOD_OK;
    case 21:
      if (!inRange(value, 0, 7)) return DEMOD_ERR_RANGE;
      if (isChip9x(demod->chipId)) return DEMOD_ERR_UNSUPPORTED;
      demod->chbondStreamSelect = static_cast<UCHAR>(value);
      return DEMOD_OK;
    case 84:
      if (!isChipX97(demod->chipId)) return DEMOD_ERR_UNSUPPORTED;
      return SetBankAndRegisterBits(demod, m, 0x9D, 0xF2, value ? 0x01 : 0x00, 0x01);
    default:
      return DEMOD_ERR_UNSUPPORTED;
  }
}

DemodResult sony_demod_SetTSClockModeAndFreq(sony_demod_t* demod, ULONG system) {
  ZTRACE("sony_demod_SetTSClockModeAndFreq");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  const UCHAR m = demod->slaveMain;
  UCHAR c4 = 0;
  SONY_CHECK(bank(demod, m, 0x00));
  SONY_CHECK(rd(demod, m, 0xC4, &c4, 1));
  const bool serial = (c4 & 0x80) != 0;

  UCHAR mode = 0, d3 = 0, de = 0;
  switch (system) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 10:
    case 11:
      mode = d3 = de = demod->tsClkModeFlag ? 1 : 0;
      break;
    case 5:
    case 7:
    case 8:
    case 12:
      d3 = 1;
      break;
    case 9:
      break;
    case 13:
      d3 = de = 1;
      break;
    default:
      return DEMOD_ERR_ARGUMENT;
  }
  UCHAR da = 0;
  if (!serial && demod->parallelClkPeriod != 0) {
    da = 1;
    d3 = 0;
  }
  SONY_CHECK(bits(demod, m, 0xD3, d3, 0x01));
  SONY_CHECK(bits(demod, m, 0xDE, de, 0x01));
  SONY_CHECK(bits(demod, m, 0xDA, da, 0x01));

  UCHAR tsClkPeriod = 8;
  const UCHAR tsClkSelect = 1;
  if (serial) {
    const UCHAR serialClkMode = demod->serialClkFreqSelect ? 1 : 3;
    const UCHAR serialClkSub = 1;
    SONY_CHECK(bits(demod, m, 0xC4, serialClkMode, 0x03));
    SONY_CHECK(bits(demod, m, 0xD1, serialClkSub, 0x03));
  } else if (demod->parallelClkPeriod != 0) {
    tsClkPeriod = demod->parallelClkPeriod;
  }
  ZTRACE("tsClkConfiguration.tsClkPeriod = 0x%x", tsClkPeriod);
  SONY_CHECK(wr(demod, m, 0xD9, tsClkPeriod));
  SONY_CHECK(bits(demod, m, 0x32, 0x00, 0x01));
  SONY_CHECK(bits(demod, m, 0x33, tsClkSelect, 0x03));
  SONY_CHECK(bits(demod, m, 0x32, 0x01, 0x01));
  const UCHAR v66 = mode ? 0 : 1;
  SONY_CHECK(bank(demod, m, 0x10));
  SONY_CHECK(bits(demod, m, 0x66, v66, 0x01));
  SONY_CHECK(bank(demod, m, 0x40));
  return bits(demod, m, 0x66, v66, 0x01);
}

namespace {
DemodResult tsDataPinHiZ(sony_demod_t* demod, UCHAR hiZ) {
  const UCHAR m = demod->slaveMain;
  UCHAR v = 0;
  UCHAR mask = 0xFF;
  SONY_CHECK(bank(demod, m, 0x00));
  SONY_CHECK(rd(demod, m, 0xA9, &v, 1));
  if (v & 0x01) {
    SONY_CHECK(bank(demod, m, 0x01));
    SONY_CHECK(rd(demod, m, 0xC1, &v, 1));
    if ((v & 0x88) == 0x80) {
      mask = 0x01;
      ZTRACE("TSDATA0 output \n");
    } else if ((v & 0x88) == 0x88) {
      mask = 0x80;
      ZTRACE("TSDATA7 output \n");
    } else {
      SONY_CHECK(rd(demod, m, 0xCF, &v, 1));
      ZTRACE("Parall TLV data = 0x%x", v);
      if (v & 0x01) {
        UCHAR ea = 0;
        SONY_CHECK(rd(demod, m, 0xEA, &ea, 1));
        mask = static_cast<UCHAR>((1u << (ea & 7)) | (1u << ((ea >> 4) & 7)));
      }
    }
  } else {
    SONY_CHECK(rd(demod, m, 0xC4, &v, 1));
    if ((v & 0x88) == 0x80)
      mask = 0x01;
    else if ((v & 0x88) == 0x88)
      mask = 0x80;
  }
  ZTRACE("tsData Mask = 0x%x\n", mask);
  SONY_CHECK(bank(demod, m, 0x00));
  return bits(demod, m, 0x81, hiZ ? 0xFF : 0x00, mask);
}
}  // namespace

DemodResult sony_demod_SetTSDataPinHiZ(sony_demod_t* demod, UCHAR hiZ) {
  ZTRACE("sony_demod_SetTSDataPinHiZ");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  return tsDataPinHiZ(demod, hiZ) == DEMOD_OK ? DEMOD_OK : DEMOD_ERR_BUS;
}

DemodResult sony_demod_SetStreamOutput(sony_demod_t* demod, UCHAR enable) {
  ZTRACE("sony_demod_SetStreamOutput");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (demod->state != DEMOD_STATE_ACTIVE) return DEMOD_ERR_STATE;
  const bool forced = demod->system == DEMOD_SYS_ISDBC && demod->chbondMode == 1;
  const UCHAR m = demod->slaveMain;
  UCHAR a9 = 0;
  SONY_CHECK(bank(demod, m, 0x00));
  SONY_CHECK(rd(demod, m, 0xA9, &a9, 1));
  if ((a9 & 0x03) != 0 && !forced) return DEMOD_OK;
  SONY_CHECK(bank(demod, m, 0x00));
  return wr(demod, m, 0xC3, enable ? 0x00 : 0x01);
}

DemodResult sony_demod_I2cRepeater(sony_demod_t* demod, UCHAR enable) {
  ZTRACE("sony_demod_I2cRepeater %s", enable ? "enable" : "disable");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  DemodResult r = DEMOD_OK;
  if (enable) {
    DemodAcquireRepeaterWindow(demod->p_path);
    if (demod->tunerI2cConfig == 1) r = wr(demod, demod->slaveSys, 0x08, 1);
    if (r != DEMOD_OK) DemodReleaseRepeaterWindow(demod->p_path);
  } else {
    if (demod->tunerI2cConfig == 1) r = wr(demod, demod->slaveSys, 0x08, 0);
    DemodReleaseRepeaterWindow(demod->p_path);
  }
  return r;
}

DemodResult sony_demod_TunerI2cEnable(sony_demod_t* demod, ULONG config) {
  ZTRACE("sony_demod_TunerI2cEnable");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  SONY_CHECK(SetBankAndRegisterBits(demod, demod->slaveSys, 0x00, 0x1A, config ? 1 : 0, 0xFF));
  demod->tunerI2cConfig = config;
  return DEMOD_OK;
}

DemodResult sony_demod_SoftReset(sony_demod_t* demod) {
  ZTRACE("sony_demod_SoftReset");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  SONY_CHECK(bank(demod, demod->slaveMain, 0x00));
  return wr(demod, demod->slaveMain, 0xFE, 0x01);
}

DemodResult sony_demod_TuneEnd(sony_demod_t* demod) {
  ZTRACE("sony_demod_TuneEnd");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (demod->state != DEMOD_STATE_ACTIVE) return DEMOD_ERR_STATE;
  SONY_CHECK(bank(demod, demod->slaveMain, 0x00));
  SONY_CHECK(wr(demod, demod->slaveMain, 0xFE, 0x01));
  return sony_demod_SetStreamOutput(demod, 1);
}

DemodResult sony_demod_Sleep(sony_demod_t* demod) {
  ZTRACE("sony_demod_Sleep");
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (demod->state == DEMOD_STATE_SLEEP) return DEMOD_OK;
  if (demod->state != DEMOD_STATE_ACTIVE) return DEMOD_ERR_STATE;
  DemodResult (*sleep)(sony_demod_t*) = nullptr;
  for (const SleepEntry& e : kSleepOps)
    if (e.system == demod->system) sleep = e.sleep;
  if (!sleep) return DEMOD_ERR_STATE;
  DemodResult r = sleep(demod);
  if (r != DEMOD_OK) {
    demod->state = DEMOD_STATE_INVALID;
    return r;
  }
  demod->state = DEMOD_STATE_SLEEP;
  demod->system = DEMOD_SYS_NONE;
  return DEMOD_OK;
}

DemodResult sony_demod_WakeUpBegin(sony_demod_t* demod, ULONG system, UCHAR selector) {
  const UCHAR m = demod->slaveMain;
  const UCHAR s = demod->slaveSys;
  SONY_CHECK(sony_demod_SetTSClockModeAndFreq(demod, system));
  SONY_CHECK(bank(demod, s, 0x00));
  SONY_CHECK(wr(demod, s, 0x17, selector));
  SONY_CHECK(bank(demod, m, 0x00));
  SONY_CHECK(wr(demod, m, 0xA9, 0x00));
  SONY_CHECK(wr(demod, m, 0x2C, 0x01));
  SONY_CHECK(wr(demod, m, 0x4B, 0x74));
  SONY_CHECK(wr(demod, m, 0x49, 0x00));
  return wr(demod, s, 0x18, 0x00);
}

DemodResult sony_demod_WakeUpEnd(sony_demod_t* demod) {
  SONY_CHECK(bank(demod, demod->slaveMain, 0x00));
  SONY_CHECK(bits(demod, demod->slaveMain, 0x80, 0x08, 0x1F));
  return sony_demod_SetTSDataPinHiZ(demod, 0);
}

DemodResult sony_demod_SleepBegin(sony_demod_t* demod) {
  SONY_CHECK(sony_demod_SetStreamOutput(demod, 0));
  SONY_CHECK(bank(demod, demod->slaveMain, 0x00));
  SONY_CHECK(bits(demod, demod->slaveMain, 0x80, 0x1F, 0x1F));
  return sony_demod_SetTSDataPinHiZ(demod, 1);
}

DemodResult sony_demod_SleepEnd(sony_demod_t* demod) {
  const UCHAR m = demod->slaveMain;
  const UCHAR s = demod->slaveSys;
  SONY_CHECK(bank(demod, s, 0x00));
  SONY_CHECK(wr(demod, s, 0x18, 0x01));
  SONY_CHECK(bank(demod, m, 0x00));
  SONY_CHECK(wr(demod, m, 0x49, 0x33));
  SONY_CHECK(wr(demod, m, 0x4B, 0x21));
  SONY_CHECK(wr(demod, m, 0xFE, 0x01));
  SONY_CHECK(wr(demod, m, 0x2C, 0x00));
  SONY_CHECK(wr(demod, m, 0xA9, 0x00));
  return wr(demod, s, 0x17, 0x01);
}

ULONG sony_demod_IfFreqConfig(const sony_demod_t* demod, ULONG ifStd, ULONG bandwidth) {
  if (!demod || ifStd >= IF_STD_COUNT) return 0;
  ULONG col;
  if (ifStd == IF_STD_J83B) {
    if (bandwidth != 50 && bandwidth != 51) return 0;
    col = bandwidth - 50;
  } else {
    switch (bandwidth) {
      case 1:
        col = IF_BW_1_7;
        break;
      case 5:
        col = IF_BW_5;
        break;
      case 6:
        col = IF_BW_6;
        break;
      case 7:
        col = IF_BW_7;
        break;
      case 8:
        col = IF_BW_8;
        break;
      default:
        return 0;
    }
  }
  return demod->iffreqconfig[ifStd][col];
}

DemodResult sony_demod_WriteIfFreq_locked(sony_demod_t* demod, ULONG ifValue) {
  const UCHAR data[3] = {static_cast<UCHAR>(ifValue >> 16), static_cast<UCHAR>(ifValue >> 8),
                         static_cast<UCHAR>(ifValue)};
  return wrn(demod, demod->slaveMain, 0xB6, data, 3);
}

DemodResult sony_integ_WithRepeater(sony_integ_t* integ, sony_tuner_op op, void* context) {
  if (!integ || !integ->p_demod || !op) return DEMOD_ERR_ARGUMENT;
  SONY_CHECK(sony_demod_I2cRepeater(integ->p_demod, 1));
  // The repeater is closed whatever the tuner did: an open repeater would leave the master's window taken.
  DemodResult r = op(integ, context);
  DemodResult closed = sony_demod_I2cRepeater(integ->p_demod, 0);
  return r != DEMOD_OK ? r : closed;
}

namespace {
struct TunerTuneCall {
  ULONG frequencyKHz;
  ULONG system;
  ULONG bandwidth;
};
DemodResult tuneTuner(sony_integ_t* integ, void* context) {
  const TunerTuneCall* call = static_cast<const TunerTuneCall*>(context);
  return sony_tuner_ascot3_Tune(integ->p_tuner, call->frequencyKHz, call->system, call->bandwidth);
}
}  // namespace

DemodResult sony_integ_TuneTuner(sony_integ_t* integ, ULONG frequencyKHz, ULONG system, ULONG bandwidth) {
  TunerTuneCall call = {frequencyKHz, system, bandwidth};
  return sony_integ_WithRepeater(integ, tuneTuner, &call);
}

namespace {
struct RfLevelCall {
  DemodSystem system;
  LONG* out;
};
DemodResult readRfLevel(sony_integ_t* integ, void* context) {
  RfLevelCall* call = static_cast<RfLevelCall*>(context);
  integ->p_tuner->rfLevelSystem = call->system;
  return sony_tuner_ascot3_ReadRFLevel(integ->p_tuner, call->out);
}
}  // namespace

DemodResult sony_integ_MonitorRFLevel(sony_integ_t* integ, DemodSystem system, LONG* out) {
  if (!integ || !integ->p_demod || !out) return DEMOD_ERR_ARGUMENT;
  if (integ->p_demod->state != DEMOD_STATE_ACTIVE || integ->p_demod->system != system) return DEMOD_ERR_STATE;
  if (!integ->p_tuner) return DEMOD_ERR_UNSUPPORTED;
  RfLevelCall call = {system, out};
  SONY_CHECK(sony_integ_WithRepeater(integ, readRfLevel, &call));
  *out *= 10;
  return DEMOD_OK;
}
