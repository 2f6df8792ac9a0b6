// Card register map: SPI flash controller.
#pragma once
#include <cstdint>

namespace hw::spi {
inline constexpr uint32_t kControl = 0x10;  // write: control word; read: bits 7..0 == 1 when done
inline constexpr uint32_t kTx0 = 0x14;      // bytes 1..4 sent, byte 0 in bits 7..0
inline constexpr uint32_t kTx1 = 0x18;      // bytes 5..8 sent
inline constexpr uint32_t kRx = 0x1C;       // received bytes, first in bits 7..0

// Control word bits 15..0; bits 31..16 echo bytes 2,3 of the staging word.
inline constexpr uint32_t kReceive = 0x10;
inline constexpr uint32_t kGo = 0x20;
inline constexpr uint32_t kEnd = 0x40;    // release chip select after this operation
inline constexpr uint32_t kBegin = 0x80;  // assert chip select before this operation
inline constexpr int kRxCountShift = 8;   // bits 11..8
inline constexpr int kTxCountShift = 12;  // bits 15..12
inline constexpr uint32_t kDone = 0x01;
}  // namespace hw::spi
