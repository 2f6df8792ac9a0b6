// ISDB-C core of the demodulator model: required band settings and the TSMF stream selection.
#include "sim/demod_isdbc.h"

#include <initializer_list>

namespace sim {
namespace {

constexpr int kTunerRowCable6 = 23;

uint8_t at(const uint8_t* m, uint8_t bank, uint8_t r) { return m[bank * 256 + r]; }
bool equals(const uint8_t* m, uint8_t bank, uint8_t r, std::initializer_list<uint8_t> bytes) {
  for (uint8_t b : bytes)
    if (at(m, bank, r++) != b) return false;
  return true;
}

}  // namespace

uint32_t bandIsdbc(const uint8_t* m) {
  const bool ok =
      at(m, 0x11, 0x6A) == 0x48 && at(m, 0x10, 0xA5) == 0x01 && equals(m, 0x11, 0x33, {0x00, 0x03, 0x3B}) &&
      at(m, 0x48, 0x2C) == 0x03 &&
      equals(m, 0x10, 0xA6,
             {0x31, 0xA8, 0x29, 0x9B, 0x27, 0x9C, 0x28, 0x9E, 0x29, 0xA4, 0x29, 0xA2, 0x29, 0xA8}) &&
      equals(m, 0x10, 0xB6, {0x13, 0xBB, 0xBC}) && at(m, 0x11, 0xA3) == 0x14 && at(m, 0x40, 0x14) == 0x14 &&
      at(m, 0x40, 0x1E) == 0x80 && equals(m, 0x40, 0x26, {0x07, 0x08, 0x07, 0x08});
  return ok ? 6000000 : 0;
}

int32_t isdbcStreamId(const uint8_t* m) {
  const uint8_t select = at(m, 0x49, 0x37);
  if (select & 0x10) return kIsdbcRelativeStream;
  return (at(m, 0x49, 0x32) << 8) | at(m, 0x49, 0x33);
}

bool fitsIsdbc(const uint8_t*, const Multiplex&, const TunerModel::Tuning& tuning) {
  return tuning.systemRow == kTunerRowCable6;
}

}  // namespace sim
