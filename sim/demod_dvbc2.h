// Signal-model parts of the demodulator for DVB-C2: the carrier position, data slice and data PLP the driver
// selects, and the status, SNR and preset-acquisition registers it presents (the measured carrier position,
// the data-slice layout, the nominal timing rate). The band settings are in sim/demod_settings.cpp.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/air.h"
#include "sim/chip_regs.h"
#include "sim/demod_model.h"
#include "sim/demod_settings.h"

namespace sim {

// Data PLP of the carrier-position block in force; kDvbc2NoSelection while no block is in force or a data
// slice other than 0 is asked for (the model's channels carry one data slice).
inline constexpr int32_t kDvbc2NoSelection = -2;
int32_t dvbc2Plp(const MainRegs& m);
// Why the programmed carrier position does not name the channel's centre ("" when it does).
std::string fitsDvbc2(const MainRegs& m, const Multiplex& mux, const BandSetting& band);
void presentDvbc2(const MainRegs& m, const DemodModel::Status& status, const std::vector<int32_t>& streamIds);

// The chip's carrier-position code of a frequency (nearest) for a bandwidth of 6 or 8 MHz, and back.
uint32_t dvbc2CodeOf(uint64_t frequencyHz, uint32_t bandwidthHz);
uint64_t dvbc2HzOfCode(uint32_t code, uint32_t bandwidthHz);

// SNR in 0.001 dB of an SNR word, and the word whose SNR is nearest to a C/N.
int64_t dvbc2SnrOfWord(uint32_t word);
uint32_t dvbc2WordFor(double cnrDb);

}  // namespace sim
