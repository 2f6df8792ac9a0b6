// Card register map: the four I2C masters and their control word.
#pragma once
#include <cstdint>

namespace hw::i2c {
inline constexpr uint32_t kMasterBase[4] = {0x4000, 0x5000, 0x6000, 0x7000};
inline constexpr uint32_t kControl = 0x00;  // write starts an operation
inline constexpr uint32_t kData = 0x04;     // write: data bytes 2..5; read: received bytes 0..3
inline constexpr uint32_t kMode = 0x08;
inline constexpr uint32_t kModeDefault = 0x12;

// Control word byte 0.
inline constexpr uint32_t kCountMask = 0x0F;  // data bytes: 1..4 read, 1..6 write
inline constexpr uint32_t kSub1 = 0x10;       // one sub-address byte before a read
inline constexpr uint32_t kSub2 = 0x20;       // two sub-address bytes before a read
inline constexpr uint32_t kSubMask = 0x30;
inline constexpr uint32_t kStop = 0x40;
inline constexpr uint32_t kStart = 0x80;
// Byte 1: slave address byte, bit 0 set for a read. Bytes 2,3: write data 0,1 or read sub-address 0,1.

// Reading the control word returns the master's status, not the word written.
inline constexpr uint32_t kStatusDone = 0x01;  // the operation started by the last control write completed
inline constexpr uint32_t kNak = 0x02;         // the slave did not acknowledge during the last operation

inline constexpr int masterIndex(uint32_t base) {
  for (int k = 0; k < 4; ++k)
    if (kMasterBase[k] == base) return k;
  return -1;
}
}  // namespace hw::i2c
