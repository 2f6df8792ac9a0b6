// ASCOT3 tuner: every register access goes through the path's register primitives at the tuner's own address,
// with the demodulator's repeater opened by the caller.
#include "tuner/sony_ascot3.h"

#include "demod/sony_demod_bus.h"
#include "hw/tuner_range.h"
#include "trace/trace.h"

#define ASCOT3_CHECK(expr)               \
  do {                                   \
    DemodResult a3_r_ = (expr);          \
    if (a3_r_ != DEMOD_OK) return a3_r_; \
  } while (0)

namespace {
// Per-system parameters c0..c15 (see X_tune for where each column goes).
// clang-format off
constexpr UCHAR kSystemTable[32][16] = {
    {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00},  // 0
    {0x00, 0xFF, 0x05, 0x03, 0x06, 0x03, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0x00},  // 1
    {0x00, 0xFF, 0x05, 0x03, 0x06, 0x03, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0x00},  // 2
    {0x00, 0xFF, 0x05, 0x03, 0x06, 0x03, 0x01, 0x01, 0x01, 0x00, 0x00, 0x03, 0x01, 0xFF, 0xFF, 0x00},  // 3
    {0x00, 0xFF, 0x05, 0x03, 0x06, 0x03, 0x01, 0x01, 0x01, 0x00, 0x01, 0x0B, 0x05, 0xFF, 0xFF, 0x00},  // 4
    {0x00, 0xFF, 0x05, 0x03, 0x06, 0x03, 0x01, 0x01, 0x01, 0x00, 0x02, 0x02, 0x1D, 0xFF, 0xFF, 0x00},  // 5
    {0x00, 0xFF, 0x05, 0x03, 0x06, 0x03, 0x01, 0x01, 0x01, 0x00, 0x02, 0x02, 0x1D, 0xFF, 0xFF, 0x00},  // 6
    {0x00, 0xFF, 0x03, 0x04, 0x0A, 0x04, 0x04, 0x04, 0x04, 0x00, 0x02, 0x02, 0x1D, 0xFF, 0xFF, 0x00},  // 7
    {0x00, 0xFF, 0x03, 0x04, 0x0A, 0x04, 0x04, 0x04, 0x04, 0x00, 0x02, 0x1F, 0x04, 0xFF, 0xFF, 0x00},  // 8
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x03, 0x03, 0x03, 0x00, 0x00, 0x1A, 0x1D, 0xFF, 0xFF, 0x00},  // 9 ATSC
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x00, 0x1A, 0x1D, 0xFF, 0xFF, 0x00},  // 10
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x00, 0x17, 0x1B, 0xFF, 0xFF, 0x00},  // 11 ISDB-T 6
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x01, 0x19, 0x1A, 0xFF, 0xFF, 0x00},  // 12 ISDB-T 7
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x02, 0x1B, 0x19, 0xFF, 0xFF, 0x00},  // 13 ISDB-T 8
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x00, 0x18, 0x1D, 0xFF, 0xFF, 0x00},  // 14 DVB-T 5
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x00, 0x18, 0x1D, 0xFF, 0xFF, 0x00},  // 15 DVB-T 6
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x01, 0x1A, 0x1B, 0xFF, 0xFF, 0x00},  // 16 DVB-T 7
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x02, 0x1C, 0x1A, 0xFF, 0xFF, 0x00},  // 17 DVB-T 8
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x03, 0x16, 0x16, 0xFF, 0xFF, 0x00},  // 18 T2 1.7
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x00, 0x18, 0x1D, 0xFF, 0xFF, 0x00},  // 19 T2 5
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x00, 0x18, 0x1D, 0xFF, 0xFF, 0x00},  // 20 T2 6
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x01, 0x1A, 0x1B, 0xFF, 0xFF, 0x00},  // 21 T2 7
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x02, 0x1C, 0x1A, 0xFF, 0xFF, 0x00},  // 22 T2 8
    {0x00, 0xFF, 0x04, 0x02, 0x02, 0x02, 0x01, 0x01, 0x01, 0x00, 0x00, 0x1A, 0x1C, 0xFF, 0xFF, 0x00},  // 23 cable 6
    {0x00, 0xFF, 0x04, 0x02, 0x02, 0x02, 0x01, 0x01, 0x01, 0x00, 0x02, 0x1E, 0x1D, 0xFF, 0xFF, 0x00},  // 24 C 7/8
    {0x00, 0xFF, 0x02, 0x09, 0x09, 0x09, 0x02, 0x02, 0x02, 0x00, 0x00, 0x1A, 0x1E, 0xFF, 0xFF, 0x00},  // 25 C2 6
    {0x00, 0xFF, 0x02, 0x09, 0x09, 0x09, 0x02, 0x02, 0x02, 0x00, 0x02, 0x1E, 0x00, 0xFF, 0xFF, 0x00},  // 26 C2 8
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x00, 0x18, 0x1D, 0xFF, 0xFF, 0x00},  // 27
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x01, 0x1A, 0x1B, 0xFF, 0xFF, 0x00},  // 28
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x02, 0x1C, 0x1A, 0xFF, 0xFF, 0x00},  // 29
    {0x00, 0xFF, 0x04, 0x02, 0x02, 0x02, 0x01, 0x01, 0x01, 0x00, 0x00, 0x1B, 0x02, 0xFF, 0xFF, 0x00},  // 30 J.83B 51
    {0x00, 0xFF, 0x03, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x02, 0x02, 0x01, 0xFF, 0xFF, 0x00},  // 31
};
// clang-format on

constexpr ULONG kLowBandMaxKHz = 172000;
constexpr ULONG kMidBandMaxKHz = 464000;
constexpr int kTuneBlockAttempts = 3;  // as many as a locked I2C operation makes

bool isAnalog(ULONG s) { return s >= 1 && s <= 8; }
bool isCable(ULONG s) { return s == 23 || s == 24 || s == 30; }
bool isAnyCable(ULONG s) { return isCable(s) || s == 25 || s == 26; }
bool extRef(const sony_ascot3_t* t) { return (t->flags & kAscot3ExtRef) != 0; }
bool oscOffInSleep(const sony_ascot3_t* t) { return (t->flags & kAscot3OscOffInSleep) && !extRef(t); }
bool altDigital(const sony_ascot3_t* t, ULONG s) {
  return (t->flags & kAscot3DigitalAltSettings) && !isAnalog(s) && !isAnyCable(s);
}

bool crystalCode(ULONG crystal, UCHAR* code) {
  static constexpr UCHAR kCodes[4] = {0x10, 0xD4, 0x18, 0x69};
  if (crystal > 3) return false;
  *code = kCodes[crystal];
  return true;
}

bool refOutCode(ULONG flags, UCHAR* code) {
  static constexpr UCHAR kCodes[5] = {0x00, 0x80, 0x81, 0x82, 0x83};
  ULONG level = (flags & kAscot3RefOutMask) >> kAscot3RefOutShift;
  if (level > 4) return false;
  *code = kCodes[level];
  return true;
}

DemodResult wr(sony_ascot3_t* t, UCHAR reg, const UCHAR* data, ULONG n) {
  return WriteRegister(t->p_path, t->i2cAddress, reg, data, n);
}
DemodResult wr1(sony_ascot3_t* t, UCHAR reg, UCHAR v) {
  return WriteOneRegister(t->p_path, t->i2cAddress, reg, v);
}
DemodResult wr2(sony_ascot3_t* t, UCHAR reg, UCHAR a, UCHAR b) {
  const UCHAR d[2] = {a, b};
  return wr(t, reg, d, 2);
}
DemodResult rd1(sony_ascot3_t* t, UCHAR reg, UCHAR* v) {
  return ReadRegister(t->p_path, t->i2cAddress, reg, v, 1);
}
DemodResult bits(sony_ascot3_t* t, UCHAR reg, UCHAR v, UCHAR mask) {
  return SetRegisterBits(t->p_path, t->i2cAddress, reg, v, mask);
}

DemodResult X_fin(sony_ascot3_t* t) {
  ZTRACE("X_fin");
  UCHAR r67;
  switch (t->chipVariant) {
    case SONY_ASCOT3_VARIANT_1:
    case SONY_ASCOT3_VARIANT_2871A:
      r67 = (t->flags & kAscot3Reg67AtFin) ? 2 : 0;
      break;
    case SONY_ASCOT3_VARIANT_2:
      r67 = (t->flags & kAscot3Variant2Reg67) ? 6 : (t->flags & kAscot3Reg67AtFin) ? 2 : 0;
      break;
    case SONY_ASCOT3_VARIANT_4:
      r67 = 0;
      break;
    default:
      return DEMOD_ERR_UNSUPPORTED;
  }
  ASCOT3_CHECK(bits(t, 0x67, r67, 0xFE));
  ASCOT3_CHECK(bits(t, 0x74, 0x02, 0x03));
  static constexpr UCHAR k5e[3] = {0x15, 0x00, 0x00};
  ASCOT3_CHECK(wr(t, 0x5E, k5e, 3));
  ASCOT3_CHECK(wr1(t, 0x88, 0x00));
  return wr1(t, 0x87, 0xC0);
}

DemodResult X_pon(sony_ascot3_t* t) {
  ZTRACE("X_pon");
  UCHAR xtal = 0, refOut = 0;
  if (!crystalCode(t->crystal, &xtal) || !refOutCode(t->flags, &refOut)) return DEMOD_ERR_UNSUPPORTED;
  const bool ext = extRef(t);
  const UCHAR block[20] = {xtal,
                           ext ? UCHAR(0) : UCHAR((t->xoscCapacitance & 0x1F) | 0x80),
                           ext ? UCHAR(0) : UCHAR((t->xoscDrive & 0x7F) | 0x80),
                           refOut,
                           0x00,
                           0x00,
                           0xC4,
                           0x40,
                           0x10,
                           0x00,
                           0x45,
                           0x75,
                           0x07,
                           0x1C,
                           0x3F,
                           0x02,
                           0x10,
                           0x20,
                           0x0A,
                           0x00};
  ASCOT3_CHECK(wr2(t, 0x99, 0x7A, 0x01));
  ASCOT3_CHECK(wr(t, 0x81, block, 20));
  ASCOT3_CHECK(wr1(t, 0x9B, 0x00));
  DemodWaitMs(10);
  UCHAR v = 0;
  ASCOT3_CHECK(rd1(t, 0x1A, &v));
  if (v != 0) return DEMOD_ERR_HARDWARE;

  if (t->chipVariant == SONY_ASCOT3_VARIANT_UNKNOWN) {
    ASCOT3_CHECK(wr2(t, 0x17, 0x8C, 0x06));
    DemodWaitMs(1);
    ASCOT3_CHECK(rd1(t, 0x19, &v));
    if (v & 0x08) t->chipVariant = SONY_ASCOT3_VARIANT_4;
  }
  if (t->chipVariant == SONY_ASCOT3_VARIANT_UNKNOWN) {
    ASCOT3_CHECK(wr2(t, 0x17, 0x96, 0x06));
    DemodWaitMs(1);
    ASCOT3_CHECK(rd1(t, 0x19, &v));
    t->chipVariant = (v & 0x40) ? SONY_ASCOT3_VARIANT_1 : SONY_ASCOT3_VARIANT_2;
  }

  const bool v3 = t->chipVariant == SONY_ASCOT3_VARIANT_2871A;
  ASCOT3_CHECK(v3 ? wr2(t, 0x17, 0x2A, 0x0E) : wr2(t, 0x17, 0x8D, 0x06));
  DemodWaitMs(1);
  ASCOT3_CHECK(rd1(t, 0x19, &v));
  ASCOT3_CHECK(wr1(t, 0x95, v3 ? UCHAR(v & 0x0F) : UCHAR((v >> 4) & 0x0F)));

  if (v3) {
    ASCOT3_CHECK(wr1(t, 0xB0, 0x00));
    ASCOT3_CHECK(wr1(t, 0x30, 0xE0));
    ASCOT3_CHECK(wr1(t, 0xB1, 0x1E));
    ASCOT3_CHECK(wr1(t, 0xB3, 0x02));
    DemodWaitMs(1);
    ASCOT3_CHECK(rd1(t, 0xB4, &v));
    ASCOT3_CHECK(wr1(t, 0xB3, 0x00));
    DemodWaitMs(1);
    ASCOT3_CHECK(wr1(t, 0xB1, 0x00));
    ASCOT3_CHECK(wr1(t, 0x30, 0xE1));
    ASCOT3_CHECK(wr1(t, 0xB0, 0x01));
  }
  ASCOT3_CHECK(X_fin(t));
  return wr1(t, 0x80, 0x01);
}

DemodResult X_oscdis(sony_ascot3_t* t) {
  ZTRACE("X_oscdis");
  ASCOT3_CHECK(wr1(t, 0x84, 0x00));
  return wr1(t, 0x82, 0x00);
}

DemodResult X_oscen(sony_ascot3_t* t) {
  ZTRACE("X_oscen");
  UCHAR refOut = 0;
  if (!refOutCode(t->flags, &refOut)) return DEMOD_ERR_UNSUPPORTED;
  ASCOT3_CHECK(wr1(t, 0x82, 0x9F));
  ASCOT3_CHECK(wr1(t, 0x84, refOut));
  DemodWaitMs(10);
  return wr1(t, 0x82, static_cast<UCHAR>((t->xoscCapacitance & 0x1F) | 0x80));
}

// Builds the 0x5E block (bytes 4..8) and the 17 tune bytes at 0x68; false when crystal or variant is
// unusable.
bool buildTuneBytes(const sony_ascot3_t* t, ULONG f, ULONG s, UCHAR* b5e, UCHAR* tune) {
  const UCHAR* row = t->systemTable[s];
  const bool analog = isAnalog(s);
  const bool cable = isCable(s);
  const bool v3 = t->chipVariant == SONY_ASCOT3_VARIANT_2871A;
  const bool upToMid = f <= kMidBandMaxKHz;
  const ULONG c = t->crystal;
  if (c > 3 || t->chipVariant == SONY_ASCOT3_VARIANT_UNKNOWN || t->chipVariant > SONY_ASCOT3_VARIANT_4)
    return false;

  b5e[0] = 0xEE;
  b5e[1] = 0x02;
  b5e[2] = 0x1E;
  b5e[3] = 0x67;
  if (analog) {
    static constexpr UCHAR kLow[4] = {0x20, 0x29, 0x30, 0x52};
    static constexpr UCHAR kHigh[4] = {0x08, 0x0A, 0x0C, 0x14};
    b5e[4] = upToMid ? kLow[c] : kHigh[c];
  } else if (v3 && cable) {
    static constexpr UCHAR kV3Cable[4] = {0x10, 0x14, 0x18, 0x28};
    b5e[4] = kV3Cable[c];
  } else {
    static constexpr UCHAR kDigital[4] = {0x02, 0x02, 0x03, 0x05};
    b5e[4] = kDigital[c];
  }
  UCHAR* tail = b5e + 5;
  auto set4 = [tail](UCHAR a, UCHAR b, UCHAR cc, UCHAR d) {
    tail[0] = a;
    tail[1] = b;
    tail[2] = cc;
    tail[3] = d;
  };
  if (altDigital(t, s)) {
    set4(c == 1 ? 0x2C : 0x38, 0x1E, 0x02, 0x24);
  } else if (v3) {
    if (analog)
      set4(upToMid ? 0x38 : 0xB4, 0x78, 0x08, upToMid ? 0x1C : 0x3C);
    else if (cable)
      set4(0x1C, 0x78, 0x08, 0x1C);
    else
      set4(c == 1 ? 0x8C : 0xB4, 0x78, 0x08, 0x30);
  } else {
    if (analog)
      set4(upToMid ? 0x40 : 0x80, 0x78, 0x08, upToMid ? 0x08 : 0x04);
    else if (cable)
      set4(c == 1 ? 0x40 : 0x50, 0x78, 0x08, 0x30);
    else
      set4(c == 1 ? 0x8C : 0xAF, 0x78, 0x08, 0x30);
  }

  const ULONG bandCol = f <= kLowBandMaxKHz ? 0 : (upToMid ? 1 : 2);
  tune[0] = row[0] & 0x03;
  tune[1] = static_cast<UCHAR>((row[1] == 0xFF ? 0x80 : ((row[1] << 4) & 0x70)) | (row[2] & 0x0F));
  tune[2] = 0x00;
  tune[3] = row[3 + bandCol] & 0x0F;
  tune[4] = static_cast<UCHAR>((row[6 + bandCol] & 0x07) | 0x20);
  tune[5] = static_cast<UCHAR>(((row[9] << 4) & 0x30) | (row[10] & 0x03));
  tune[6] = row[11] & 0x1F;
  tune[7] = row[12] & 0x1F;
  tune[8] = static_cast<UCHAR>(f & 0xFF);
  tune[9] = static_cast<UCHAR>((f >> 8) & 0xFF);
  tune[10] = static_cast<UCHAR>(((f >> 16) & 0x0F) | (s == 8 ? 0x40 : 0) | (analog ? 0x80 : 0));
  tune[11] = 0xFF;  // calibration on
  if (t->chipVariant == SONY_ASCOT3_VARIANT_1 || v3) {
    UCHAR b = 0;
    if (row[13] != 0xFF)
      b |= static_cast<UCHAR>((row[13] & 0x03) << 4);
    else if (t->flags & (analog ? kAscot3AnalogBit4 : kAscot3DigitalBit4))
      b |= 0x10;
    if (row[14] != 0xFF)
      b |= row[14] & 0x03;
    else if (t->flags & (analog ? kAscot3AnalogBit0 : kAscot3DigitalBit0))
      b |= 0x01;
    tune[12] = b;
  } else {
    tune[12] = 0x11;
  }
  if (analog || cable) {
    tune[13] = 0xD9;
    tune[14] = 0x0F;
    tune[15] = v3 ? 0x24 : 0x25;
  } else if (t->chipVariant == SONY_ASCOT3_VARIANT_4 && f <= 100000) {
    tune[13] = 0x09;
    tune[14] = 0x00;
    tune[15] = 0x27;
  } else {
    tune[13] = 0x99;
    tune[14] = 0x00;
    tune[15] = 0x24;
  }
  tune[16] = 0x87;
  return true;
}

DemodResult X_tune(sony_ascot3_t* t, ULONG f, ULONG s) {
  ZTRACE("X_tune");
  UCHAR b5e[9];
  UCHAR tune[17];
  if (!buildTuneBytes(t, f, s, b5e, tune)) return DEMOD_ERR_UNSUPPORTED;
  const UCHAR* row = t->systemTable[s];
  ASCOT3_CHECK(bits(t, 0x74, 0x02, 0x03));
  ASCOT3_CHECK(wr2(t, 0x87, 0xC4, 0x40));
  ASCOT3_CHECK(isCable(s) ? wr2(t, 0x91, 0x16, 0x26) : wr2(t, 0x91, 0x10, 0x20));
  ASCOT3_CHECK(wr2(t, 0x9C, altDigital(t, s) ? 0x90 : 0x00, row[15] & 0x01));
  ASCOT3_CHECK(wr(t, 0x5E, b5e, 9));
  const bool v2Bit27 = t->chipVariant == SONY_ASCOT3_VARIANT_2 && (t->flags & kAscot3Variant2Reg67);
  ASCOT3_CHECK(bits(t, 0x67, v2Bit27 ? 0x06 : 0x00, 0x06));
  // The block runs over 0x74, whose calibration bits the tuner takes as a block begins: one refused part way
  // may have overwritten them, so each further attempt sets them again first.
  DemodResult r = WriteRegisterOnce(t->p_path, t->i2cAddress, 0x68, tune, 17);
  for (int attempt = 1; attempt < kTuneBlockAttempts && r == DEMOD_ERR_BUS; ++attempt) {
    ASCOT3_CHECK(bits(t, 0x74, 0x02, 0x03));
    r = WriteRegisterOnce(t->p_path, t->i2cAddress, 0x68, tune, 17);
  }
  return r;
}

DemodResult X_tune_end(sony_ascot3_t* t) {
  ZTRACE("X_tune_end");
  ASCOT3_CHECK(wr1(t, 0x88, 0x00));
  return wr1(t, 0x87, 0xC0);
}

DemodResult X_read_agc(sony_ascot3_t* t, UCHAR* ifAgc, UCHAR* rfAgc) {
  ZTRACE("X_read_agc");
  ASCOT3_CHECK(wr2(t, 0x87, 0xC4, 0x41));
  ASCOT3_CHECK(wr2(t, 0x59, 0x05, 0x01));
  ASCOT3_CHECK(rd1(t, 0x5B, ifAgc));
  ASCOT3_CHECK(wr2(t, 0x59, 0x03, 0x01));
  ASCOT3_CHECK(rd1(t, 0x5B, rfAgc));
  ASCOT3_CHECK(wr1(t, 0x59, 0x04));
  ASCOT3_CHECK(wr1(t, 0x88, 0x00));
  return wr1(t, 0x87, 0xC0);
}

LONG rfGainMaxFor(ULONG f) {
  struct Step {
    ULONG above;
    LONG gain;
  };
  static constexpr Step kSteps[] = {{700000, 4150}, {600000, 4130}, {532000, 4170}, {464000, 4050},
                                    {400000, 4280}, {350000, 4260}, {320000, 4110}, {285000, 4310},
                                    {215000, 4250}, {184000, 4020}, {172000, 3920}, {150000, 4080},
                                    {86000, 4180},  {65000, 4200}};
  for (const Step& s : kSteps)
    if (f > s.above) return s.gain;
  return 4020;
}
}  // namespace

DemodResult sony_ascot3_Create(sony_ascot3_t* tuner, ULONG crystal, UCHAR i2cAddress, ULONG flags) {
  ZTRACE("sony_ascot3_Create");
  if (!tuner) {
    ZTRACE("-----NULL------");
    return DEMOD_ERR_ARGUMENT;
  }
  if (crystal == 3 && !(flags & kAscot3ExtRef)) return DEMOD_ERR_UNSUPPORTED;
  if ((flags & kAscot3ExtRef) && (flags & kAscot3OscOffInSleep)) return DEMOD_ERR_UNSUPPORTED;
  tuner->crystal = crystal;
  tuner->i2cAddress = i2cAddress;
  tuner->flags = flags;
  tuner->state = SONY_ASCOT3_STATE_CREATED;
  tuner->frequencyKHz = 0;
  tuner->system = 0;
  tuner->chipVariant = SONY_ASCOT3_VARIANT_UNKNOWN;
  tuner->rfLevelSystem = 0;
  tuner->systemTable = kSystemTable;
  tuner->xoscCapacitance = 4;
  tuner->xoscDrive = 0x28;
  return DEMOD_OK;
}

DemodResult sony_ascot3_Initialize(sony_ascot3_t* tuner) {
  ZTRACE("sony_ascot3_Initialize");
  if (!tuner) return DEMOD_ERR_ARGUMENT;
  UCHAR id = 0;
  ASCOT3_CHECK(rd1(tuner, 0x7F, &id));
  ZTRACE("tuner id is 0x%x", id);
  switch (id & 0xF0) {
    case 0xC0:
    case 0xD0:
      tuner->chipVariant = SONY_ASCOT3_VARIANT_UNKNOWN;
      break;
    case 0xE0:
      tuner->chipVariant = SONY_ASCOT3_VARIANT_2871A;
      ZTRACE("the tuner is 2871A ");
      break;
    default:
      return DEMOD_ERR_UNSUPPORTED;
  }
  ASCOT3_CHECK(X_pon(tuner));
  if (oscOffInSleep(tuner)) ASCOT3_CHECK(X_oscdis(tuner));
  tuner->state = SONY_ASCOT3_STATE_SLEEP;
  tuner->frequencyKHz = 0;
  tuner->system = 0;
  return DEMOD_OK;
}

DemodResult sony_ascot3_Tune(sony_ascot3_t* tuner, ULONG frequencyKHz, ULONG system) {
  ZTRACE("sony_ascot3_Tune");
  if (!tuner || system < 1 || system > 31) return DEMOD_ERR_ARGUMENT;
  if (tuner->state != SONY_ASCOT3_STATE_SLEEP && tuner->state != SONY_ASCOT3_STATE_ACTIVE)
    return DEMOD_ERR_STATE;
  if (!hw::tuner::tunable(frequencyKHz)) return DEMOD_ERR_RANGE;
  if (tuner->state == SONY_ASCOT3_STATE_SLEEP) {
    tuner->system = 0;
    if (oscOffInSleep(tuner)) ASCOT3_CHECK(X_oscen(tuner));
  }
  ASCOT3_CHECK(X_tune(tuner, frequencyKHz, system));
  tuner->state = SONY_ASCOT3_STATE_ACTIVE;
  tuner->frequencyKHz = frequencyKHz;
  tuner->system = system;
  return DEMOD_OK;
}

DemodResult sony_ascot3_TuneEnd(sony_ascot3_t* tuner) {
  ZTRACE("sony_ascot3_TuneEnd");
  if (!tuner) return DEMOD_ERR_ARGUMENT;
  if (tuner->state != SONY_ASCOT3_STATE_ACTIVE) return DEMOD_ERR_STATE;
  return X_tune_end(tuner);
}

DemodResult sony_ascot3_ReadRssi(sony_ascot3_t* tuner, LONG* rssi) {
  ZTRACE("sony_ascot3_ReadRssi");
  if (!tuner || !rssi) return DEMOD_ERR_ARGUMENT;
  if (tuner->state != SONY_ASCOT3_STATE_ACTIVE) return DEMOD_ERR_STATE;
  UCHAR ifAgc = 0, rfAgc = 0, r69 = 0;
  ASCOT3_CHECK(X_read_agc(tuner, &ifAgc, &rfAgc));
  const LONG ifAgcReg = static_cast<LONG>(ifAgc) * 140;
  ASCOT3_CHECK(rd1(tuner, 0x69, &r69));
  static constexpr LONG kGainStep[16] = {0, 0, 0, 0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 20, 20};
  const LONG rfGainStep = kGainStep[r69 & 0x0F] * 100;
  LONG ifGain = rfGainStep + 870;
  if (ifAgcReg <= 9945) ifGain += ((9945 - ifAgcReg) * 769 + 1275) / 2550;
  const LONG maxAgcReg = static_cast<LONG>(ifAgc > rfAgc ? ifAgc : rfAgc) * 140;
  const LONG rfGainMax = rfGainMaxFor(tuner->frequencyKHz);
  LONG rfGain;
  if (maxAgcReg < 4896)
    rfGain = rfGainMax;
  else if (maxAgcReg < 5457)
    rfGain = rfGainMax - ((maxAgcReg - 4896) * 70 + 127) / 255;
  else if (maxAgcReg < 8823)
    rfGain = rfGainMax - 154;
  else if (maxAgcReg < 24786)
    rfGain = rfGainMax - 154 - ((maxAgcReg - 8823) * 70 + 127) / 255;
  else if (maxAgcReg < 30090)
    rfGain = rfGainMax - 4536 - ((maxAgcReg - 24786) * 57 + 127) / 255;
  else
    rfGain = rfGainMax - 5722 - ((maxAgcReg - 30090) * 160 + 127) / 255;
  LONG value = -ifGain - rfGain;
  if (tuner->chipVariant == SONY_ASCOT3_VARIANT_2) value += 220;
  *rssi = value;
  return DEMOD_OK;
}

ULONG sony_tuner_ascot3_SystemFor(ULONG standard, ULONG bandwidth) {
  switch (standard) {
    case 1:
      return bandwidth >= 5 && bandwidth <= 8 ? 14 + (bandwidth - 5) : 0;
    case 2:
      if (bandwidth == 1) return 18;
      return bandwidth >= 5 && bandwidth <= 8 ? 19 + (bandwidth - 5) : 0;
    case 3:
      return bandwidth == 6 ? 23 : (bandwidth == 7 || bandwidth == 8) ? 24 : 0;
    case 4:
      return bandwidth == 6 ? 25 : bandwidth == 8 ? 26 : 0;
    case 5:
      return 9;
    case 6:
      return bandwidth >= 6 && bandwidth <= 8 ? 27 + (bandwidth - 6) : 0;
    case 7:
      return bandwidth >= 6 && bandwidth <= 8 ? 11 + (bandwidth - 6) : 0;
    case 8:
      return 23;
    case 9:
      return bandwidth == 50 ? 23 : bandwidth == 51 ? 30 : 0;
    default:
      return 0;
  }
}

DemodResult sony_tuner_ascot3_Tune(sony_ascot3_t* tuner, ULONG frequencyKHz, ULONG standard,
                                   ULONG bandwidth) {
  ZTRACE("sony_tuner_ascot3_Tune");
  if (!tuner) return DEMOD_ERR_ARGUMENT;
  const ULONG system = sony_tuner_ascot3_SystemFor(standard, bandwidth);
  if (system == 0) return DEMOD_ERR_ARGUMENT;
  ASCOT3_CHECK(sony_ascot3_Tune(tuner, frequencyKHz, system));
  DemodWaitMs(50);
  return sony_ascot3_TuneEnd(tuner);
}

DemodResult sony_tuner_ascot3_ReadRFLevel(sony_ascot3_t* tuner, LONG* level) {
  ZTRACE("sony_tuner_ascot3_ReadRFLevel");
  if (!tuner || !level) return DEMOD_ERR_ARGUMENT;
  LONG rssi = 0;
  ASCOT3_CHECK(sony_ascot3_ReadRssi(tuner, &rssi));
  LONG offset;
  switch (tuner->rfLevelSystem) {
    case 3:
    case 8:
    case 9:
      offset = -150;
      break;
    case 5:
      offset = -500;
      break;
    case 7:
      offset = -450;
      break;
    case 1:
    case 2:
    case 4:
    case 6:
      offset = -400;
      break;
    default:
      return DEMOD_ERR_UNSUPPORTED;
  }
  *level = rssi + offset;
  return DEMOD_OK;
}
