// J.83 Annex B and ISDB-T parts of the demodulator model.
#include "sim/demod_isdbt.h"

#include <cmath>
#include <initializer_list>

namespace sim {
namespace {

constexpr int kBank = 256;

uint8_t reg(const uint8_t* m, uint8_t bank, uint8_t r) { return m[bank * kBank + r]; }
bool equals(const uint8_t* m, uint8_t bank, uint8_t r, std::initializer_list<uint8_t> bytes) {
  for (uint8_t b : bytes)
    if (reg(m, bank, r++) != b) return false;
  return true;
}
bool equalsIf(const uint8_t* m, uint32_t v) {
  return equals(m, 0x10, 0xB6, {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}
void put(uint8_t* m, uint8_t bank, uint8_t r, uint8_t v) { m[bank * kBank + r] = v; }

// The chip's 100 * log2 coding with its 32-entry mantissa table.
uint32_t log2x100(uint32_t x) {
  static constexpr uint8_t kFrac[32] = {0,  4,  9,  13, 17, 21, 25, 29, 32, 36, 39, 43, 46, 49, 52, 55,
                                        58, 61, 64, 67, 70, 73, 75, 78, 81, 83, 86, 88, 91, 93, 95, 98};
  uint32_t i = 0;
  for (uint32_t v = x; v > 1; v >>= 1) ++i;
  if (i == 0) return 0;
  uint32_t bits = i <= 5 ? ((x << (5 - i)) & 0xFF) & 0x1F : ((x >> (i - 5)) & 0xFF) & 0x1F;
  return 100 * i + kFrac[bits];
}

// Word in [lo, hi] whose coded value is nearest the target; decode is monotonic (either direction).
template <class Decode>
uint32_t nearestWord(int64_t target, uint32_t lo, uint32_t hi, Decode decode) {
  const bool rising = decode(hi) >= decode(lo);
  auto before = [&](uint32_t x) { return rising ? decode(x) < target : decode(x) > target; };
  uint32_t a = lo, b = hi;  // first word not before the target
  while (a < b) {
    uint32_t mid = a + (b - a) / 2;
    if (before(mid))
      a = mid + 1;
    else
      b = mid;
  }
  if (a > lo && std::llabs(decode(a - 1) - target) <= std::llabs(decode(a) - target)) return a - 1;
  return a;
}

#define BLOCK_8 0x2F, 0xBA, 0x28, 0x9B, 0x28, 0x9D, 0x28, 0xA1, 0x29, 0xA5, 0x2A, 0xAC, 0x29, 0xB5
#define BLOCK_7 0x30, 0xB1, 0x29, 0x9A, 0x28, 0x9C, 0x28, 0xA0, 0x29, 0xA2, 0x2B, 0xA6, 0x2B, 0xAD
#define BLOCK_6 0x31, 0xA8, 0x29, 0x9B, 0x27, 0x9C, 0x28, 0x9E, 0x29, 0xA4, 0x29, 0xA2, 0x29, 0xA8

}  // namespace

int64_t j83bSnrOfWord(uint32_t word) {
  if (word < 126) word = 126;
  return 95941 - 95 * int64_t((log2x100(word) * 100 + 72) / 144);
}

int64_t isdbtSnrOfWord(uint32_t word) { return 100 * int64_t((log2x100(word) * 100 + 166) / 332) - 9031; }

uint32_t j83bWordFor(double cnrDb) {
  return nearestWord(std::llround(cnrDb * 1000), 126, 0x1FFF, j83bSnrOfWord);
}

uint32_t isdbtWordFor(double cnrDb) {
  return nearestWord(std::llround(cnrDb * 1000), 1, 0xFFFF, isdbtSnrOfWord);
}

int j83bProgrammedClass(const uint8_t* m) {
  if (equalsIf(m, 0x13BBBC) && reg(m, 0x40, 0x14) == 0x14 && equals(m, 0x40, 0x26, {0x07, 0x26, 0x06, 0xBE}))
    return 50;
  if (equalsIf(m, 0x140000) && reg(m, 0x40, 0x14) == 0x10 && equals(m, 0x40, 0x26, {0x07, 0x77, 0x07, 0x77}))
    return 51;
  return 0;
}

// The cable front end (AGC, carrier loop, 6 MHz filter block) must be set up as well as the class.
uint32_t bandJ83b(const uint8_t* m) {
  if (!j83bProgrammedClass(m)) return 0;
  if (reg(m, 0x11, 0xA3) != 0x14 || reg(m, 0x40, 0x21) != 0x04 || reg(m, 0x40, 0x8E) != 0x58 ||
      reg(m, 0x41, 0xCF) != 0x99 || !equals(m, 0x10, 0xA6, {BLOCK_6}))
    return 0;
  return 6000000;
}

bool fitsJ83b(const uint8_t* m, const Multiplex& mux, const TunerModel::Tuning& tuning) {
  const int wanted = mux.symbolRate >= kJ83bClassSplit ? 51 : 50;
  return j83bProgrammedClass(m) == wanted && tuning.cable && tuning.systemRow == (wanted == 50 ? 23 : 30);
}

void presentJ83b(uint8_t* m, const DemodModel::Status& s) {
  const bool demodLock = s.mux && s.canLock && s.syncState >= 5;
  put(m, 0x40, 0x88, static_cast<uint8_t>((demodLock ? 0x01 : 0) | (s.unlockDetected ? 0x02 : 0)));
  put(m, 0x40, 0x10, s.locked ? 0x20 : 0x00);
  // 256-QAM at the higher of the two standard symbol rates, 64-QAM below.
  put(m, 0x40, 0x19, s.mux ? (s.mux->symbolRate >= 5300000 ? 0x04 : 0x02) : 0x00);
  uint32_t word = s.mux && s.syncState >= 3 ? j83bWordFor(s.mux->cnrDb) : 0;
  put(m, 0x40, 0x4C, static_cast<uint8_t>(word >> 8));
  put(m, 0x40, 0x4D, static_cast<uint8_t>(word));
}

uint32_t bandIsdbt(const uint8_t* m) {
  struct Row {
    uint32_t hz;
    std::initializer_list<uint8_t> trl;
    std::initializer_list<uint8_t> block;
    uint32_t ifcfg;
    uint8_t d7;
    std::initializer_list<uint8_t> d9;
    uint8_t b12r71, b15rbe;
  };
  const Row rows[] = {
      {8000000, {0x11, 0xB8, 0, 0, 0}, {BLOCK_8}, 0x195555, 0x00, {0x13, 0xFC}, 0x03, 0x03},
      {7000000, {0x14, 0x40, 0, 0, 0}, {BLOCK_7}, 0x162222, 0x02, {0x1A, 0xFA}, 0x03, 0x02},
      {6000000, {0x17, 0xA0, 0, 0, 0}, {BLOCK_6}, 0x12EEEF, 0x04, {0x1F, 0x79}, 0x07, 0x02},
  };
  // The ISDB-T common setting (sleep writes other values into these).
  if (reg(m, 0x10, 0x69) != 0x04 || reg(m, 0x10, 0x9D) != 0x50 || reg(m, 0x63, 0x81) != 0x00 ||
      !equals(m, 0x60, 0xA8, {0xB7, 0x1B}))
    return 0;
  for (const Row& r : rows)
    if (equals(m, 0x10, 0x9F, r.trl) && equals(m, 0x10, 0xA6, r.block) && equalsIf(m, r.ifcfg) &&
        reg(m, 0x10, 0xD7) == r.d7 && equals(m, 0x10, 0xD9, r.d9) && reg(m, 0x12, 0x71) == r.b12r71 &&
        reg(m, 0x15, 0xBE) == r.b15rbe)
      return r.hz;
  return 0;
}

bool fitsIsdbt(const uint8_t*, const Multiplex& mux, const TunerModel::Tuning& tuning) {
  // Tuner rows 11..13 are its ISDB-T settings for 6, 7 and 8 MHz.
  const int row = 11 + static_cast<int>(mux.bandwidthHz / 1000000) - 6;
  return !tuning.cable && tuning.systemRow == row;
}

void presentIsdbt(uint8_t* m, const DemodModel::Status& s) {
  const bool dmdLock = s.mux && s.canLock && s.syncState >= 4;
  put(m, 0x60, 0x10,
      static_cast<uint8_t>((s.locked ? 0x01 : 0) | (dmdLock ? 0x02 : 0) | (s.unlockDetected ? 0x10 : 0)));
  uint32_t word = s.mux && s.syncState >= 3 ? isdbtWordFor(s.mux->cnrDb) : 0;
  put(m, 0x60, 0x28, static_cast<uint8_t>(word >> 8));
  put(m, 0x60, 0x29, static_cast<uint8_t>(word));
}

}  // namespace sim
