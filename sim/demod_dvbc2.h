// Signal-model parts of the demodulator for DVB-C2: the band settings the chip needs, the carrier position,
// data slice and data PLP the driver selects, and the status, SNR and preset-acquisition registers it
// presents (the measured carrier position, the data-slice layout, the nominal timing rate). Each takes the
// main slave's register file as one block of 256 banks of 256 registers.
#pragma once
#include <cstdint>

#include "sim/air.h"
#include "sim/demod_model.h"
#include "sim/tuner_model.h"

namespace sim {

// 6 or 8 MHz once the whole DVB-C2 band setting of that bandwidth is programmed, else 0.
uint32_t bandDvbc2(const uint8_t* mainRegs);
// Data PLP of the carrier-position block in force; kDvbc2NoSelection while no block is in force or a data
// slice other than 0 is asked for (the model's channels carry one data slice).
inline constexpr int32_t kDvbc2NoSelection = -2;
int32_t dvbc2Plp(const uint8_t* mainRegs);
// The programmed carrier position names the channel's centre and the tuner runs a DVB-C2 row of the
// programmed bandwidth.
bool fitsDvbc2(const uint8_t* mainRegs, const Multiplex& mux, const TunerModel::Tuning& tuning);
void presentDvbc2(uint8_t* mainRegs, const DemodModel::Status& status);

// The chip's carrier-position code of a frequency (nearest) for a bandwidth of 6 or 8 MHz, and back.
uint32_t dvbc2CodeOf(uint64_t frequencyHz, uint32_t bandwidthHz);
uint64_t dvbc2HzOfCode(uint32_t code, uint32_t bandwidthHz);

// SNR in 0.001 dB of an SNR word, and the word whose SNR is nearest to a C/N.
int64_t dvbc2SnrOfWord(uint32_t word);
uint32_t dvbc2WordFor(double cnrDb);

}  // namespace sim
