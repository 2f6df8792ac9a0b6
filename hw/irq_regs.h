// Card register map: interrupt status and enables.
#pragma once
#include <cstdint>

namespace hw::irq {
inline constexpr uint32_t kStatus = 0xC000;        // bits 0..3 I2C masters, 4..11 DMA channels; write back to ack
inline constexpr uint32_t kMasterEnable = 0xC004;  // 1 on, 0 off
inline constexpr uint32_t kI2cEnable[4] = {0xC008, 0xC00C, 0xC010, 0xC014};
inline constexpr uint32_t dmaEnable(int n) { return 0xC018 + 4u * static_cast<uint32_t>(n); }
inline constexpr uint32_t kI2cBit(int k) { return 1u << k; }
inline constexpr uint32_t kDmaBit(int n) { return 1u << (4 + n); }
inline constexpr uint32_t kCardBits = 0xFFF;
}  // namespace hw::irq
