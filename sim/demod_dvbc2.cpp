// DVB-C2 parts of the demodulator model.
#include "sim/demod_dvbc2.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
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
void put(uint8_t* m, uint8_t bank, uint8_t r, uint8_t v) { m[bank * kBank + r] = v; }

// The chip's 100 * log2 coding with its 32-entry mantissa table, and the log10 derived from it.
uint32_t log2x100(uint32_t x) {
  static constexpr uint8_t kFrac[32] = {0,  4,  9,  13, 17, 21, 25, 29, 32, 36, 39, 43, 46, 49, 52, 55,
                                        58, 61, 64, 67, 70, 73, 75, 78, 81, 83, 86, 88, 91, 93, 95, 98};
  uint32_t i = 0;
  for (uint32_t v = x; v > 1; v >>= 1) ++i;
  if (i == 0) return 0;
  uint32_t bits = i <= 5 ? ((x << (5 - i)) & 0xFF) & 0x1F : ((x >> (i - 5)) & 0xFF) & 0x1F;
  return 100 * i + kFrac[bits];
}
int64_t log10x100(uint32_t x) { return (log2x100(x) * 100 + 166) / 332; }

constexpr uint32_t kSnrWordMax = 51441;

// Nominal timing rate of each bandwidth; the chip reports the one it runs with.
constexpr uint8_t kTrl6[5] = {0x1C, 0, 0, 0, 0};
constexpr uint8_t kTrl8[5] = {0x15, 0, 0, 0, 0};

}  // namespace

int64_t dvbc2SnrOfWord(uint32_t word) {
  if (word > kSnrWordMax) word = kSnrWordMax;
  return (log10x100(word) - log10x100(55000 - word)) * 100 + 38400;
}

uint32_t dvbc2WordFor(double cnrDb) {
  const int64_t target = std::llround(cnrDb * 1000);
  uint32_t a = 1, b = kSnrWordMax;  // first word whose SNR is not below the target (SNR rises with it)
  while (a < b) {
    uint32_t mid = a + (b - a) / 2;
    if (dvbc2SnrOfWord(mid) < target)
      a = mid + 1;
    else
      b = mid;
  }
  if (a > 1 && std::llabs(dvbc2SnrOfWord(a - 1) - target) <= std::llabs(dvbc2SnrOfWord(a) - target))
    return a - 1;
  return a;
}

uint32_t dvbc2CodeOf(uint64_t frequencyHz, uint32_t bandwidthHz) {
  // 8 MHz: 448 carriers per MHz; 6 MHz: 1792 per 3 MHz.
  const double perKHz = bandwidthHz == 6000000 ? 1792.0 / 3000.0 : 448.0 / 1000.0;
  return static_cast<uint32_t>(std::llround(static_cast<double>(frequencyHz) / 1000.0 * perKHz));
}

uint64_t dvbc2HzOfCode(uint32_t code, uint32_t bandwidthHz) {
  const double perKHz = bandwidthHz == 6000000 ? 1792.0 / 3000.0 : 448.0 / 1000.0;
  return static_cast<uint64_t>(std::llround(code / perKHz * 1000.0));
}

uint32_t bandDvbc2(const uint8_t* m) {
  struct Row {
    uint32_t hz;
    const uint8_t* trl;
    std::initializer_list<uint8_t> block;
    uint32_t ifcfg;
    uint8_t d7;
    uint8_t ec, ed;
  };
  const Row rows[] = {
      {8000000,
       kTrl8,
       {0x2F, 0xBA, 0x28, 0x9B, 0x28, 0x9D, 0x28, 0xA1, 0x29, 0xA5, 0x2A, 0xAC, 0x29, 0xB5},
       0x1A2222,
       0x00,
       0x14,
       0xA0},
      {6000000,
       kTrl6,
       {0x31, 0xA8, 0x29, 0x9B, 0x27, 0x9C, 0x28, 0x9E, 0x29, 0xA4, 0x29, 0xA2, 0x29, 0xA8},
       0x13BBBC,
       0x04,
       0x1B,
       0x70},
  };
  for (const Row& r : rows) {
    if (!std::equal(r.trl, r.trl + 5, m + 0x20 * kBank + 0x9F)) continue;
    if (reg(m, 0x27, 0x7A) == 0x00 && equals(m, 0x10, 0xA6, r.block) &&
        equals(m, 0x10, 0xB6, {uint8_t(r.ifcfg >> 16), uint8_t(r.ifcfg >> 8), uint8_t(r.ifcfg)}) &&
        reg(m, 0x10, 0xD7) == r.d7 && equals(m, 0x50, 0xEC, {r.ec, r.ed}) && reg(m, 0x50, 0xEF) == r.ec &&
        reg(m, 0x50, 0xF1) == r.ed)
      return r.hz;
  }
  return 0;
}

int32_t dvbc2Plp(const uint8_t* m) {
  if (reg(m, 0x50, 0x87) != 0x01 || reg(m, 0x50, 0x7D) != 0x02 || reg(m, 0x50, 0x7E) != 0)
    return kDvbc2NoSelection;
  return reg(m, 0x50, 0x7F);
}

bool fitsDvbc2(const uint8_t* m, const Multiplex& mux, const TunerModel::Tuning& tuning) {
  const uint32_t bw = bandDvbc2(m);
  if (bw == 0) return false;
  const int row = bw == 8000000 ? 26 : 25;
  if (tuning.systemRow != row) return false;
  // The carrier position counts in steps of 12 carriers; the channel's centre must be the nearest one.
  const uint32_t position =
      (uint32_t{reg(m, 0x50, 0x7A)} << 16) | (uint32_t{reg(m, 0x50, 0x7B)} << 8) | reg(m, 0x50, 0x7C);
  const int64_t off = int64_t(position) - int64_t(dvbc2CodeOf(mux.frequencyHz, bw));
  return std::llabs(off) <= 6;
}

void presentDvbc2(uint8_t* m, const DemodModel::Status& s) {
  put(m, 0x20, 0x10,
      static_cast<uint8_t>(s.syncState | (s.unlockDetected ? 0x10 : 0) | (s.locked ? 0x20 : 0)));
  uint32_t word = s.mux && s.syncState >= 3 ? dvbc2WordFor(s.mux->cnrDb) : 0;
  put(m, 0x20, 0x28, static_cast<uint8_t>(word >> 8));
  put(m, 0x20, 0x29, static_cast<uint8_t>(word));

  const uint32_t bw = bandDvbc2(m);
  const uint8_t* trl = bw == 6000000 ? kTrl6 : kTrl8;
  for (int i = 0; i < 5; ++i) put(m, 0x20, static_cast<uint8_t>(0x52 + i), bw ? trl[i] : 0);

  // Preset acquisition: once the receiver has found the signal it reports the carrier position it measured
  // (as Y steps of 24 carriers plus X) and a data-slice layout of one slice centred on it.
  const bool ready = s.mux && s.syncState >= 2 && bw != 0;
  for (int i = 0; i < 23; ++i) put(m, 0x50, static_cast<uint8_t>(0x14 + i), 0);
  put(m, 0x50, 0x14, ready ? 0x01 : 0x00);
  uint32_t code = ready ? dvbc2CodeOf(s.mux->frequencyHz, bw) : 0;
  uint32_t y = std::min<uint32_t>(code / 24, 0x3FFF);
  uint32_t x = code - y * 24;
  put(m, 0x52, 0x24, static_cast<uint8_t>(x >> 16));
  put(m, 0x52, 0x25, static_cast<uint8_t>(x >> 8));
  put(m, 0x52, 0x26, static_cast<uint8_t>(x));
  put(m, 0x52, 0x30, static_cast<uint8_t>(y >> 8));
  put(m, 0x52, 0x31, static_cast<uint8_t>(y));
}

}  // namespace sim
