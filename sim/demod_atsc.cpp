// ATSC core of the demodulator model: mailbox commands, required settings, monitor-slave status and SNR.
#include "sim/demod_atsc.h"

#include <cmath>
#include <initializer_list>

namespace sim {
namespace {

constexpr int kSlaveR = 2, kSlaveMon = 3;
constexpr uint8_t kCmdRegister = 0x0A;
constexpr uint8_t kCmdWrite = 0xC5, kCmdSoftReset = 0xB3;
constexpr uint8_t kStatusOk = 0x30, kStatusError = 0x31;
constexpr int kTunerRowAtsc = 9;
constexpr uint32_t kMaxWord = 0x7FFFFF;

uint8_t& at(uint8_t* regs, int slave, uint8_t bank, uint8_t r) {
  return regs[(slave * 256 + bank) * 256 + r];
}
uint8_t at(const uint8_t* regs, int slave, uint8_t bank, uint8_t r) {
  return regs[(slave * 256 + bank) * 256 + r];
}

bool rEquals(const uint8_t* regs, uint8_t bank, uint8_t r, std::initializer_list<uint8_t> bytes) {
  for (uint8_t b : bytes)
    if (at(regs, kSlaveR, bank, r++) != b) return false;
  return true;
}

uint32_t log2x100(uint32_t x) {
  static constexpr uint8_t kFrac[32] = {0,  4,  9,  13, 17, 21, 25, 29, 32, 36, 39, 43, 46, 49, 52, 55,
                                        58, 61, 64, 67, 70, 73, 75, 78, 81, 83, 86, 88, 91, 93, 95, 98};
  uint32_t i = 0;
  for (uint32_t v = x; v > 1; v >>= 1) ++i;
  if (i == 0) return 0;
  uint32_t bits = i <= 5 ? ((x << (5 - i)) & 0xFF) & 0x1F : ((x >> (i - 5)) & 0xFF) & 0x1F;
  return 100 * i + kFrac[bits];
}
uint32_t log10x100(uint32_t x) { return (log2x100(x) * 100 + 166) / 332; }

}  // namespace

AtscCommandEffect atscSlaveRWritten(uint8_t* regs, uint8_t bank, uint8_t r, uint8_t v, bool coreActive,
                                    bool running) {
  if (bank == 0x01 && r == 0x48 && (v & 1)) return AtscCommandEffect::Abort;
  if (r != kCmdRegister + 5) return AtscCommandEffect::None;
  uint8_t cmd[6];
  for (int i = 0; i < 6; ++i) cmd[i] = at(regs, kSlaveR, bank, static_cast<uint8_t>(kCmdRegister + i));
  uint8_t& status = at(regs, kSlaveR, bank, kCmdRegister);
  uint8_t& echo = at(regs, kSlaveR, bank, kCmdRegister + 5);
  if (!coreActive) {
    status = 0;  // nobody answers: the command never completes
    return AtscCommandEffect::None;
  }
  echo = cmd[0];
  AtscCommandEffect effect = AtscCommandEffect::None;
  status = kStatusOk;
  if (cmd[0] == kCmdWrite && !running) {
    uint8_t& target = at(regs, kSlaveR, cmd[1], cmd[2]);
    target = static_cast<uint8_t>((cmd[3] & cmd[4]) | (target & ~cmd[4]));
  } else if (cmd[0] == kCmdSoftReset && cmd[1] == 0x10) {
    effect = AtscCommandEffect::SoftReset;
  } else {
    status = kStatusError;
  }
  return effect;
}

uint32_t bandAtsc(const uint8_t* regs) {
  const bool ok =
      rEquals(regs, 0xA3, 0xA1, {0x77, 0x77, 0x77, 0x27}) && (at(regs, kSlaveR, 0xA0, 0x13) & 0x03) == 0x03 &&
      rEquals(regs, 0x06, 0xA0,
              {0x31, 0xA5, 0x2E, 0x9F, 0x2B, 0x99, 0x00, 0xCD, 0x00, 0xCD, 0x00, 0x00, 0x2B, 0x9D}) &&
      rEquals(regs, 0xA0, 0x6F, {0x61, 0xFB, 0x7F}) && rEquals(regs, 0x09, 0x80, {0x61, 0xFB, 0x7F}) &&
      rEquals(regs, 0xA0, 0x73, {0x26, 0x49, 0x7C}) && rEquals(regs, 0x09, 0x83, {0x26, 0x49, 0x7C}) &&
      (at(regs, kSlaveR, 0x06, 0x71) & 0x07) == 0x05 && (at(regs, kSlaveR, 0xA3, 0xA0) & 0x10);
  return ok ? 6000000 : 0;
}

bool fitsAtsc(const uint8_t*, const Multiplex&, const TunerModel::Tuning& tuning) {
  return tuning.systemRow == kTunerRowAtsc;
}

int64_t atscSnrOfWord(uint32_t word) { return 70418 - 100 * int64_t(log10x100(word & kMaxWord)); }

uint32_t atscWordFor(double cnrDb) {
  // The coded SNR falls as the word grows; find the smallest word at or below the wanted figure, then take
  // the nearer of it and its predecessor.
  const int64_t target = std::llround(cnrDb * 1000);
  uint32_t lo = 0, hi = kMaxWord;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (atscSnrOfWord(mid) <= target)
      hi = mid;
    else
      lo = mid + 1;
  }
  if (lo > 0 && std::llabs(atscSnrOfWord(lo - 1) - target) < std::llabs(atscSnrOfWord(lo) - target)) --lo;
  return lo;
}

void presentAtsc(uint8_t* regs, const DemodModel::Status& s) {
  const bool vq = s.mux && s.canLock && s.syncState >= 4;
  const bool lock2 = s.mux && s.canLock && s.syncState >= 5;
  at(regs, kSlaveMon, 0x0F, 0x11) = s.locked ? 0x01 : 0x00;
  at(regs, kSlaveMon, 0x09, 0x62) = static_cast<uint8_t>((lock2 ? 0x10 : 0) | (s.unlockDetected ? 0 : 0x40));
  at(regs, kSlaveMon, 0x0D, 0x86) = vq ? 0x01 : 0x00;
  // Without a carrier the equaliser sees only noise: the largest error word.
  const uint32_t word = (s.mux && s.syncState >= 3) ? atscWordFor(s.mux->cnrDb) : kMaxWord;
  at(regs, kSlaveMon, 0x0D, 0x70) = static_cast<uint8_t>(word);
  at(regs, kSlaveMon, 0x0D, 0x71) = static_cast<uint8_t>(word >> 8);
  at(regs, kSlaveMon, 0x0D, 0x72) = static_cast<uint8_t>((word >> 16) & 0x7F);
}

}  // namespace sim
