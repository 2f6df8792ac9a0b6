// Card register map: SPI flash controller, and the commands of the flash behind it.
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

// Chip select around one operation: a whole command, or the first, a middle or the last part of a longer one.
inline constexpr uint32_t kWhole = kBegin | kEnd;
inline constexpr uint32_t kFirst = kBegin;
inline constexpr uint32_t kMiddle = 0;
inline constexpr uint32_t kLast = kEnd;

// The control word of an operation that sends `tx` bytes (at most 8) and then receives `rx` (at most 4).
constexpr uint32_t control(uint32_t tx, uint32_t rx, uint32_t select) {
  return tx << kTxCountShift | rx << kRxCountShift | select | kGo | (rx ? kReceive : 0);
}
// The controller takes bytes 2 and 3 of the transmit word again in the control word's upper half.
constexpr uint32_t staged(uint32_t control, uint32_t tx0) { return control | (tx0 & 0xFFFF0000u); }

static_assert(control(1, 0, kWhole) == 0x10E0);
static_assert(control(1, 1, kWhole) == 0x11F0);
static_assert(control(1, 3, kWhole) == 0x13F0);
static_assert(control(4, 4, kWhole) == 0x44F0);
static_assert(control(8, 0, kFirst) == 0x80A0);
static_assert(control(8, 0, kMiddle) == 0x8020);
static_assert(control(4, 0, kLast) == 0x4060);

// Opcodes of the flash.
namespace op {
inline constexpr uint8_t kPageProgram = 0x02;  // 3 address bytes, then up to a page of data
inline constexpr uint8_t kRead = 0x03;         // 3 address bytes, then data for as long as it is clocked
inline constexpr uint8_t kWriteDisable = 0x04;
inline constexpr uint8_t kReadStatus = 0x05;  // bit 0 write in progress, bit 1 write enable latch
inline constexpr uint8_t kWriteEnable = 0x06;
inline constexpr uint8_t kChipErase = 0xC7;
inline constexpr uint8_t kChipEraseToo = 0x60;  // the same erase under its other opcode
inline constexpr uint8_t kReadId = 0x9F;        // maker, memory type, capacity
inline constexpr uint8_t kWake = 0xAB;          // leaves deep power-down; after 3 dummy bytes, the signature
}  // namespace op
}  // namespace hw::spi
