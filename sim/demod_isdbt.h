// Signal-model parts of the demodulator for J.83 Annex B and ISDB-T: what must fit the channel besides the
// settings (the J.83B symbol-rate class), and the status and SNR registers each presents. The settings are in
// sim/demod_settings.cpp.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/air.h"
#include "sim/chip_regs.h"
#include "sim/demod_model.h"
#include "sim/demod_settings.h"

namespace sim {

// J.83B symbol-rate class the channel needs: 50 below 5.5 Msymbols/s, 51 from there on.
inline constexpr uint32_t kJ83bClassSplit = 5500000;
std::string fitsJ83b(const MainRegs& m, const Multiplex& mux, const BandSetting& band);
void presentJ83b(const MainRegs& m, const DemodModel::Status& status, const std::vector<int32_t>& streamIds);
void presentIsdbt(const MainRegs& m, const DemodModel::Status& status, const std::vector<int32_t>& streamIds);

// The SNR each standard's register word stands for, in 0.001 dB (the chip's own coding), and the word
// whose coded SNR is nearest to a C/N.
int64_t j83bSnrOfWord(uint32_t word);
int64_t isdbtSnrOfWord(uint32_t word);
uint32_t j83bWordFor(double cnrDb);
uint32_t isdbtWordFor(double cnrDb);

}  // namespace sim
