// Signal-model parts of the demodulator for J.83 Annex B and ISDB-T: which band settings the chip needs,
// what else must fit the channel (symbol-rate class, tuner system), and the status and SNR registers it
// presents. Each takes the main slave's register file as one block of 256 banks of 256 registers.
#pragma once
#include <cstdint>

#include "sim/air.h"
#include "sim/demod_model.h"
#include "sim/tuner_model.h"

namespace sim {

// J.83B symbol-rate class the driver programs: 50 below 5.5 Msymbols/s, 51 from there on.
inline constexpr uint32_t kJ83bClassSplit = 5500000;
int j83bProgrammedClass(const uint8_t* mainRegs);  // 50, 51 or 0 when neither setting is complete

uint32_t bandJ83b(const uint8_t* mainRegs);  // 6 MHz once the whole J.83B setting is programmed, else 0
bool fitsJ83b(const uint8_t* mainRegs, const Multiplex& mux, const TunerModel::Tuning& tuning);
void presentJ83b(uint8_t* mainRegs, const DemodModel::Status& status);

uint32_t bandIsdbt(const uint8_t* mainRegs);  // 6, 7 or 8 MHz as programmed, else 0
bool fitsIsdbt(const uint8_t* mainRegs, const Multiplex& mux, const TunerModel::Tuning& tuning);
void presentIsdbt(uint8_t* mainRegs, const DemodModel::Status& status);

// The SNR each standard's register word stands for, in 0.001 dB (the chip's own coding), and the word
// whose coded SNR is nearest to a C/N.
int64_t j83bSnrOfWord(uint32_t word);
int64_t isdbtSnrOfWord(uint32_t word);
uint32_t j83bWordFor(double cnrDb);
uint32_t isdbtWordFor(double cnrDb);

}  // namespace sim
