// DVB-C2 parts of the demodulator model.
#include "sim/demod_dvbc2.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {

constexpr uint32_t kSnrWordMax = 51441;

// Nominal timing rate of each bandwidth; the chip reports the one it runs with.
constexpr uint8_t kTrl6[5] = {0x1C, 0, 0, 0, 0};
constexpr uint8_t kTrl8[5] = {0x15, 0, 0, 0, 0};

uint32_t programmedBandwidth(const MainRegs& m) {
  const BandSetting* b = bandOf(m, kDvbc2Settings, nullptr);
  return b ? b->hz : 0;
}

}  // namespace

int64_t dvbc2SnrOfWord(uint32_t word) {
  if (word > kSnrWordMax) word = kSnrWordMax;
  return (log10x100(word) - log10x100(55000 - word)) * 100 + 38400;
}

uint32_t dvbc2WordFor(double cnrDb) { return nearestWord(cnrDb, 1, kSnrWordMax, dvbc2SnrOfWord); }

uint32_t dvbc2CodeOf(uint64_t frequencyHz, uint32_t bandwidthHz) {
  // 8 MHz: 448 carriers per MHz; 6 MHz: 1792 per 3 MHz.
  const double perKHz = bandwidthHz == 6000000 ? 1792.0 / 3000.0 : 448.0 / 1000.0;
  return static_cast<uint32_t>(std::llround(static_cast<double>(frequencyHz) / 1000.0 * perKHz));
}

uint64_t dvbc2HzOfCode(uint32_t code, uint32_t bandwidthHz) {
  const double perKHz = bandwidthHz == 6000000 ? 1792.0 / 3000.0 : 448.0 / 1000.0;
  return static_cast<uint64_t>(std::llround(code / perKHz * 1000.0));
}

int32_t dvbc2Plp(const MainRegs& m) {
  if (m(0x50, 0x87) != 0x01 || m(0x50, 0x7D) != 0x02 || m(0x50, 0x7E) != 0) return kDvbc2NoSelection;
  return m(0x50, 0x7F);
}

std::string fitsDvbc2(const MainRegs& m, const Multiplex& mux, const BandSetting& band) {
  // The carrier position counts in steps of 12 carriers; the channel's centre must be the nearest one.
  const uint32_t position = m.be(0x50, 0x7A, 3);
  const uint32_t centre = dvbc2CodeOf(mux.frequencyHz, band.hz);
  if (std::llabs(int64_t(position) - int64_t(centre)) <= 6) return {};
  char b[96];
  std::snprintf(b, sizeof b, "main 0x50:0x7a carrier position %u, the channel's centre is %u", position,
                centre);
  return b;
}

void presentDvbc2(const MainRegs& m, const DemodModel::Status& s, const std::vector<int32_t>&) {
  m(0x20, 0x10) = static_cast<uint8_t>(s.syncState | (s.unlockDetected ? 0x10 : 0) | (s.locked ? 0x20 : 0));
  m.put16(0x20, 0x28, s.mux && s.syncState >= 3 ? dvbc2WordFor(s.mux->cnrDb) : 0);

  const uint32_t bw = programmedBandwidth(m);
  const uint8_t* trl = bw == 6000000 ? kTrl6 : kTrl8;
  for (int i = 0; i < 5; ++i) m(0x20, static_cast<uint8_t>(0x52 + i)) = bw ? trl[i] : 0;

  // Preset acquisition: once the receiver has found the signal it reports the carrier position it measured
  // (as Y steps of 24 carriers plus X) and a data-slice layout of one slice centred on it.
  const bool ready = s.mux && s.syncState >= 2 && bw != 0;
  for (int i = 0; i < 23; ++i) m(0x50, static_cast<uint8_t>(0x14 + i)) = 0;
  m(0x50, 0x14) = ready ? 0x01 : 0x00;
  uint32_t code = ready ? dvbc2CodeOf(s.mux->frequencyHz, bw) : 0;
  uint32_t y = std::min<uint32_t>(code / 24, 0x3FFF);
  uint32_t x = code - y * 24;
  m(0x52, 0x24) = static_cast<uint8_t>(x >> 16);
  m(0x52, 0x25) = static_cast<uint8_t>(x >> 8);
  m(0x52, 0x26) = static_cast<uint8_t>(x);
  m.put16(0x52, 0x30, y);
}

}  // namespace sim
