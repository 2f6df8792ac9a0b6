// Card register map: board-level registers (demodulator reset lines). Shared by driver, card model and tests.
#pragma once
#include <cstdint>

namespace hw::board {
// Bit 0 drives a demodulator's reset line; 0 holds it in reset.
inline constexpr uint32_t kResetRegs[8] = {0x00, 0x04, 0x08, 0x0C, 0x2C, 0x30, 0x34, 0x38};
inline constexpr uint32_t kResetReleased = 0x1;
inline constexpr uint32_t kBar0Length = 0x10000;
}  // namespace hw::board
