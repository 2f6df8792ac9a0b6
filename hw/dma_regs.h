// Card register map: the eight transport-stream DMA channels.
#pragma once
#include <cstdint>

namespace hw::dma {
inline constexpr int kChannels = 8;
// Channel n's register block, in channel order (instance A..H).
inline constexpr uint32_t kBlockBase[kChannels] = {0x8000, 0x9000, 0xA000, 0xB000,
                                                   0x8800, 0x9800, 0xA800, 0xB800};
inline constexpr uint32_t kControl = 0x00;     // write 1 run / 0 stop; read bits 7..0: block filled next
inline constexpr uint32_t kBufLength = 0x04;   // channel buffer length
inline constexpr uint32_t kAddrHigh = 0x08;    // channel buffer bus address, high half
inline constexpr uint32_t kAddrLow = 0x0C;     // channel buffer bus address, low half
inline constexpr uint32_t kBlockLength = 0x10; // block length

inline constexpr uint32_t kSliceBytes = 0x5E000;  // 8 blocks per channel
inline constexpr uint32_t kBlockBytes = 0xBC00;   // 256 packets of 188 bytes
inline constexpr uint32_t kBlocksPerSlice = 8;
inline constexpr uint32_t kPacketBytes = 188;
inline constexpr uint32_t kCommonBufferBytes = 0x400000;

inline constexpr int channelOfBase(uint32_t base) {
  for (int n = 0; n < kChannels; ++n)
    if (kBlockBase[n] == base) return n;
  return -1;
}
}  // namespace hw::dma
