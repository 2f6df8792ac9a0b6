// Signal-model parts of the demodulator for ATSC: the slave R command mailbox that carries the ATSC core's
// settings and its soft reset, which of those settings the core needs to lock, and the status and SNR
// registers it presents on the monitor slave. Each takes the model's whole register file: four slaves
// (main, system, R, monitor) of 256 banks of 256 registers, in that order.
#pragma once
#include <cstdint>

#include "sim/air.h"
#include "sim/demod_model.h"
#include "sim/tuner_model.h"

namespace sim {

inline constexpr uint8_t kAtscSelector = 0x0F;

// What a byte written to slave R asks of the ATSC core beyond the registers it sets.
enum class AtscCommandEffect { None, SoftReset, Abort };

// Handles a byte the driver wrote to slave R (already stored at bank/register). The 6-byte command at
// 0x0A..0x0F runs when its last byte arrives: its reply (status in 0x0A, echo in 0x0F) is ready at once,
// except while the ATSC core is not powered (coreActive false), when the status stays 0 (not done).
// A register write while the core demodulates (running) is refused with an error status.
AtscCommandEffect atscSlaveRWritten(uint8_t* regs, uint8_t bank, uint8_t r, uint8_t v, bool coreActive,
                                    bool running);

uint32_t bandAtsc(const uint8_t* regs);  // 6 MHz once every ATSC setting is programmed, else 0
bool fitsAtsc(const uint8_t* regs, const Multiplex& mux, const TunerModel::Tuning& tuning);
void presentAtsc(uint8_t* regs, const DemodModel::Status& status);

// The SNR the monitor word stands for (0.001 dB, the chip's coding) and the word nearest to a C/N.
int64_t atscSnrOfWord(uint32_t word);
uint32_t atscWordFor(double cnrDb);

}  // namespace sim
