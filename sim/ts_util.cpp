#include "sim/ts_util.h"

#include <array>
#include <cstring>

namespace sim::ts {
namespace {
std::array<uint32_t, 256> makeTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i << 24;
    for (int b = 0; b < 8; ++b) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : (c << 1);
    t[i] = c;
  }
  return t;
}
const std::array<uint32_t, 256> kCrcTable = makeTable();
}  // namespace

uint32_t crc32(const uint8_t* data, size_t len) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < len; ++i) crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ data[i]) & 0xFF];
  return crc;
}

size_t payloadOffset(const uint8_t* p) {
  if (!hasPayload(p)) return 188;
  if (!hasAdaptation(p)) return 4;
  size_t off = 5 + size_t{p[4]};
  return off > 188 ? 188 : off;
}

int64_t pcr(const uint8_t* p) {
  if (!hasAdaptation(p) || p[4] < 7 || !(p[5] & 0x10)) return -1;
  const uint8_t* f = p + 6;
  int64_t base = (int64_t{f[0]} << 25) | (int64_t{f[1]} << 17) | (int64_t{f[2]} << 9) | (int64_t{f[3]} << 1) |
                 (f[4] >> 7);
  int64_t ext = ((f[4] & 1) << 8) | f[5];
  return base * 300 + ext;
}

size_t Writer::bytes(const void* src, size_t len) {
  if (!ok_ || len > cap_ - len_) {
    ok_ = false;
    return 0;
  }
  std::memcpy(buf_ + len_, src, len);
  len_ += len;
  return len;
}

size_t Writer::fill(uint8_t v, size_t len) {
  if (!ok_ || len > cap_ - len_) {
    ok_ = false;
    return 0;
  }
  std::memset(buf_ + len_, v, len);
  len_ += len;
  return len;
}

bool Writer::patch16(size_t pos, uint16_t v) {
  if (pos + 2 > len_) return false;
  buf_[pos] = static_cast<uint8_t>(v >> 8);
  buf_[pos + 1] = static_cast<uint8_t>(v);
  return true;
}

}  // namespace sim::ts
