// The silicon tuner's tunable range. Its tune block carries the frequency in kHz in 20 bits, so nothing above
// 1 048 575 kHz can be programmed; below 1 000 kHz it does not tune. Shared by driver, tool and tests.
#pragma once
#include <cstdint>

namespace hw::tuner {
inline constexpr uint32_t kMinFrequencyKHz = 1000;
inline constexpr uint32_t kMaxFrequencyKHz = 0xFFFFF;
inline constexpr bool tunable(uint32_t kHz) { return kHz >= kMinFrequencyKHz && kHz <= kMaxFrequencyKHz; }
}  // namespace hw::tuner
