// Signal-model parts of the demodulator for ATSC: the slave R command mailbox that carries the ATSC core's
// settings and its soft reset, and the status and SNR registers it presents on the monitor slave. The
// settings the core needs are in sim/demod_settings.cpp.
#pragma once
#include <cstdint>
#include <vector>

#include "sim/chip_regs.h"
#include "sim/demod_model.h"

namespace sim {

inline constexpr uint8_t kAtscSelector = 0x0F;

// What a byte written to slave R asked of the ATSC core beyond the registers it sets; Refused is a register
// write while the core runs, or a stop (bank 0x01 register 0x48) with another value than 01.
struct AtscCommand {
  enum Kind { None, Wrote, SoftReset, Abort, Refused } kind = None;
  uint8_t bank = 0, reg = 0;  // the register a Wrote command set
};

// Handles a byte the driver wrote to slave R (already stored at bank/register). The 6-byte command at
// 0x0A..0x0F runs when its last byte arrives: its reply (status in 0x0A, echo in 0x0F) is ready at once,
// except while the ATSC core is not powered (coreActive false), when the status stays 0 (not done). A
// register write while the core runs its program (running: since it woke or was soft-reset, until an abort)
// is refused.
AtscCommand atscSlaveRWritten(const MainRegs& m, uint8_t bank, uint8_t r, uint8_t v, bool coreActive,
                              bool running);

void presentAtsc(const MainRegs& m, const DemodModel::Status& status, const std::vector<int32_t>& streamIds);

// The SNR the monitor word stands for (0.001 dB, the chip's coding) and the word nearest to a C/N.
int64_t atscSnrOfWord(uint32_t word);
uint32_t atscWordFor(double cnrDb);

}  // namespace sim
