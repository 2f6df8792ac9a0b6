// Transport-stream helpers shared by the generator, the tests and the tool: CRC-32/MPEG-2, packet header
// fields, PCR and a bounds-checked byte writer.
#pragma once
#include <cstddef>
#include <cstdint>

namespace sim::ts {

inline constexpr uint8_t kSync = 0x47;
inline constexpr uint16_t kNullPid = 0x1FFF;
inline constexpr uint16_t kPatPid = 0x0000;
inline constexpr uint16_t kSdtPid = 0x0011;

// CRC-32/MPEG-2 (polynomial 0x04C11DB7, initial all ones, not reflected, no final xor). A section including
// its CRC gives 0.
uint32_t crc32(const uint8_t* data, size_t len);

inline uint16_t pid(const uint8_t* p) { return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]); }
inline bool payloadStart(const uint8_t* p) { return (p[1] & 0x40) != 0; }
inline uint8_t continuity(const uint8_t* p) { return p[3] & 0x0F; }
inline bool hasPayload(const uint8_t* p) { return (p[3] & 0x10) != 0; }
inline bool hasAdaptation(const uint8_t* p) { return (p[3] & 0x20) != 0; }
// Offset of the payload in the packet (4 + adaptation field); 188 when none.
size_t payloadOffset(const uint8_t* p);
// The 27 MHz PCR of the packet, or -1 when it carries none.
int64_t pcr(const uint8_t* p);

// Writes into a fixed buffer; every write checks the room left and a failed one leaves the writer in a
// failed state (nothing written past the end). Each put returns the bytes written.
class Writer {
 public:
  Writer(uint8_t* buf, size_t cap) : buf_(buf), cap_(cap) {}
  size_t u8(uint8_t v) { return bytes(&v, 1); }
  size_t u16(uint16_t v) {
    uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    return bytes(b, 2);
  }
  size_t u32(uint32_t v) {
    uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                    static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    return bytes(b, 4);
  }
  size_t bytes(const void* src, size_t len);
  size_t fill(uint8_t v, size_t len);
  // Overwrites a 16-bit value already written at pos (for lengths known only at the end).
  bool patch16(size_t pos, uint16_t v);
  size_t size() const { return len_; }
  size_t room() const { return cap_ - len_; }
  bool ok() const { return ok_; }
  uint8_t* data() { return buf_; }

 private:
  uint8_t* buf_;
  size_t cap_;
  size_t len_ = 0;
  bool ok_ = true;
};

}  // namespace sim::ts
