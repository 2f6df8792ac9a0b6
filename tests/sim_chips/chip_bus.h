// Test side of the chip models: a master that talks to them byte-wise over a real bus, the way the driver's
// register layer does (sub-addressed writes and reads, bank selection), plus the driver's formulas
// re-derived here so the models' registers can be checked against what the driver will compute.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "sim/i2c_bus.h"

namespace chiptest {

class Master {
 public:
  explicit Master(sim::I2cBus& bus) : _bus(bus) {}

  bool write(uint8_t addr, uint8_t reg, std::initializer_list<uint8_t> bytes) {
    return write(addr, reg, std::vector<uint8_t>(bytes));
  }
  bool write(uint8_t addr, uint8_t reg, const std::vector<uint8_t>& bytes) {
    bool ok = _bus.start(addr, false) && _bus.write(reg);
    for (uint8_t b : bytes) ok = ok && _bus.write(b);
    _bus.stop();
    return ok;
  }
  // Sub-addressed read: write phase with the register, repeated start, read phase.
  bool read(uint8_t addr, uint8_t reg, uint8_t* out, int n) {
    bool ok = _bus.start(addr, false) && _bus.write(reg) && _bus.start(addr, true);
    for (int i = 0; i < n; ++i) out[i] = ok ? _bus.read() : 0xFF;
    _bus.stop();
    return ok;
  }
  int read1(uint8_t addr, uint8_t reg) {
    uint8_t v = 0;
    return read(addr, reg, &v, 1) ? v : -1;
  }
  bool bankWrite(uint8_t addr, uint8_t bank, uint8_t reg, std::initializer_list<uint8_t> bytes) {
    return write(addr, 0x00, {bank}) && write(addr, reg, bytes);
  }
  bool bankWrite(uint8_t addr, uint8_t bank, uint8_t reg, const std::vector<uint8_t>& bytes) {
    return write(addr, 0x00, {bank}) && write(addr, reg, bytes);
  }
  int bankRead1(uint8_t addr, uint8_t bank, uint8_t reg) {
    return write(addr, 0x00, {bank}) ? read1(addr, reg) : -1;
  }
  sim::I2cBus& bus() { return _bus; }

 private:
  sim::I2cBus& _bus;
};

inline uint32_t log2x100(uint32_t x) {
  static constexpr uint8_t kFrac[32] = {0,  4,  9,  13, 17, 21, 25, 29, 32, 36, 39, 43, 46, 49, 52, 55,
                                        58, 61, 64, 67, 70, 73, 75, 78, 81, 83, 86, 88, 91, 93, 95, 98};
  uint32_t i = 0;
  for (uint32_t v = x; v >>= 1;) ++i;
  if (i == 0) return 0;
  uint32_t f = i <= 5 ? (x << (5 - i)) & 0x1F : (x >> (i - 5)) & 0x1F;
  return 100 * i + kFrac[f];
}
inline int32_t log10x100(uint32_t x) { return static_cast<int32_t>((log2x100(x) * 100 + 166) / 332); }
inline int32_t lnx100(uint32_t x) { return static_cast<int32_t>((log2x100(x) * 100 + 72) / 144); }

}  // namespace chiptest
