// Signal-model parts of the demodulator for ISDB-C: the settings the cable core needs for its 6 MHz channel
// and the TSMF stream the driver selected. Each takes the main slave's register file as one block of 256
// banks of 256 registers. The status and SNR registers are those of the DVB-C core (bank 0x40).
#pragma once
#include <cstdint>

#include "sim/air.h"
#include "sim/tuner_model.h"

namespace sim {

inline constexpr uint8_t kIsdbcSelector = 0x09;
// Stream id standing for a relative TSMF stream number, which the model does not resolve: only a frame
// without TSMF (one stream on the carrier) locks with it.
inline constexpr int32_t kIsdbcRelativeStream = -2;

uint32_t bandIsdbc(const uint8_t* mainRegs);  // 6 MHz once the whole ISDB-C setting is programmed, else 0
int32_t isdbcStreamId(const uint8_t* mainRegs);
bool fitsIsdbc(const uint8_t* mainRegs, const Multiplex& mux, const TunerModel::Tuning& tuning);

}  // namespace sim
