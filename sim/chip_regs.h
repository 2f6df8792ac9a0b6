// What the demodulator model's per-standard parts share: the chip's fixed-point logarithms, the search for
// the register word that codes a measurement, and a view of the banked register file.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

namespace sim {

enum class DemodSlave { Main = 0, Sys = 1, R = 2, Mon = 3 };

// The chip's coding of its measurements: 100 * log2 with a 32-entry mantissa table, and the log10 and ln
// derived from it.
inline uint32_t log2x100(uint32_t x) {
  static constexpr uint8_t kFrac[32] = {0,  4,  9,  13, 17, 21, 25, 29, 32, 36, 39, 43, 46, 49, 52, 55,
                                        58, 61, 64, 67, 70, 73, 75, 78, 81, 83, 86, 88, 91, 93, 95, 98};
  uint32_t i = 0;
  for (uint32_t v = x; v > 1; v >>= 1) ++i;
  if (i == 0) return 0;
  uint32_t bits = i <= 5 ? ((x << (5 - i)) & 0xFF) & 0x1F : ((x >> (i - 5)) & 0xFF) & 0x1F;
  return 100 * i + kFrac[bits];
}
inline int64_t log10x100(uint32_t x) { return (log2x100(x) * 100 + 166) / 332; }
inline int64_t lnx100(uint32_t x) { return (log2x100(x) * 100 + 72) / 144; }

// The word in [lo, hi] whose coded value (0.001 dB) is nearest to a figure in dB; decode is monotonic in
// either direction, ties go to the smaller word.
template <class Decode>
uint32_t nearestWord(double db, uint32_t lo, uint32_t hi, Decode decode) {
  const int64_t target = std::llround(db * 1000);
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

// The demodulator's register file as its four slaves hold it (main, system, R, monitor; 256 banks of 256
// registers each). The call operator and the helpers address the main slave; at() any slave.
struct MainRegs {
  static constexpr int kBank = 256;
  static constexpr int kSlave = 256 * kBank;

  uint8_t* p;

  uint8_t& at(DemodSlave s, uint8_t bank, uint8_t r) const {
    return p[static_cast<int>(s) * kSlave + bank * kBank + r];
  }
  uint8_t& operator()(uint8_t bank, uint8_t r) const { return p[bank * kBank + r]; }
  bool equals(uint8_t bank, uint8_t r, std::initializer_list<uint8_t> bytes) const {
    for (uint8_t b : bytes)
      if ((*this)(bank, r++) != b) return false;
    return true;
  }
  uint32_t be(uint8_t bank, uint8_t r, int n) const {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | (*this)(bank, static_cast<uint8_t>(r + i));
    return v;
  }
  void put16(uint8_t bank, uint8_t r, uint32_t v) const {
    (*this)(bank, r) = static_cast<uint8_t>(v >> 8);
    (*this)(bank, static_cast<uint8_t>(r + 1)) = static_cast<uint8_t>(v);
  }
};

}  // namespace sim
