// ATSC core of the demodulator model: mailbox commands, monitor-slave status and SNR.
#include "sim/demod_atsc.h"

namespace sim {
namespace {

constexpr DemodSlave kR = DemodSlave::R, kMon = DemodSlave::Mon;
constexpr uint8_t kCmdRegister = 0x0A;
constexpr uint8_t kCmdWrite = 0xC5, kCmdSoftReset = 0xB3;
constexpr uint8_t kStatusOk = 0x30, kStatusError = 0x31;
constexpr uint32_t kMaxWord = 0x7FFFFF;

}  // namespace

AtscCommand atscSlaveRWritten(const MainRegs& m, uint8_t bank, uint8_t r, uint8_t v, bool coreActive,
                              bool running) {
  if (bank == 0x01 && r == 0x48) return {v == 0x01 ? AtscCommand::Abort : AtscCommand::Refused};
  if (r != kCmdRegister + 5) return {};
  uint8_t cmd[6];
  for (int i = 0; i < 6; ++i) cmd[i] = m.at(kR, bank, static_cast<uint8_t>(kCmdRegister + i));
  uint8_t& status = m.at(kR, bank, kCmdRegister);
  uint8_t& echo = m.at(kR, bank, kCmdRegister + 5);
  if (!coreActive) {
    status = 0;  // nobody answers: the command never completes
    return {};
  }
  echo = cmd[0];
  status = kStatusError;
  if (cmd[5] != 0x00) return {};  // not a command the core knows
  if (cmd[0] == kCmdWrite) {
    if (running) return {AtscCommand::Refused};
    uint8_t& target = m.at(kR, cmd[1], cmd[2]);
    target = static_cast<uint8_t>((cmd[3] & cmd[4]) | (target & ~cmd[4]));
    status = kStatusOk;
    return {AtscCommand::Wrote, cmd[1], cmd[2]};
  }
  if (cmd[0] == kCmdSoftReset && cmd[1] == 0x10 && cmd[2] == 0 && cmd[3] == 0 && cmd[4] == 0) {
    status = kStatusOk;
    return {AtscCommand::SoftReset};
  }
  return {};
}

int64_t atscSnrOfWord(uint32_t word) { return 70418 - 100 * log10x100(word & kMaxWord); }

uint32_t atscWordFor(double cnrDb) { return nearestWord(cnrDb, 0, kMaxWord, atscSnrOfWord); }

void presentAtsc(const MainRegs& m, const DemodModel::Status& s, const std::vector<int32_t>&) {
  const bool vq = s.mux && s.canLock && s.syncState >= 4;
  const bool lock2 = s.mux && s.canLock && s.syncState >= 5;
  m.at(kMon, 0x0F, 0x11) = s.locked ? 0x01 : 0x00;
  m.at(kMon, 0x09, 0x62) = static_cast<uint8_t>((lock2 ? 0x10 : 0) | (s.unlockDetected ? 0 : 0x40));
  m.at(kMon, 0x0D, 0x86) = vq ? 0x01 : 0x00;
  // Without a carrier the equaliser sees only noise: the largest error word.
  const uint32_t word = (s.mux && s.syncState >= 3) ? atscWordFor(s.mux->cnrDb) : kMaxWord;
  m.at(kMon, 0x0D, 0x70) = static_cast<uint8_t>(word);
  m.at(kMon, 0x0D, 0x71) = static_cast<uint8_t>(word >> 8);
  m.at(kMon, 0x0D, 0x72) = static_cast<uint8_t>((word >> 16) & 0x7F);
}

}  // namespace sim
