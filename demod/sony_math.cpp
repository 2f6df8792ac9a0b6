#include "demod/sony_math.h"

namespace {
// 100 * log2(1 + k/32), rounded.
constexpr UCHAR kLog2Frac[32] = {0,  4,  9,  13, 17, 21, 25, 29, 32, 36, 39, 43, 46, 49, 52, 55,
                                 58, 61, 64, 67, 70, 73, 75, 78, 81, 83, 86, 88, 91, 93, 95, 98};
}  // namespace

ULONG Log2x100(ULONG x) {
  ULONG i = 0;
  for (ULONG v = x >> 1; v != 0; v >>= 1) ++i;
  if (i == 0) return 0;
  ULONG frac = (i <= 5) ? ((x << (5 - i)) & 0xFF) & 0x1F : ((x >> (i - 5)) & 0xFF) & 0x1F;
  return 100 * i + kLog2Frac[frac];
}

ULONG Log10x100(ULONG x) { return (Log2x100(x) * 100 + 166) / 332; }

ULONG Lnx100(ULONG x) { return (Log2x100(x) * 100 + 72) / 144; }
