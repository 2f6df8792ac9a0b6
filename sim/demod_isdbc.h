// Signal-model part of the demodulator for ISDB-C: the TSMF stream the driver selected. The settings the
// cable core needs are in sim/demod_settings.cpp; the status and SNR registers are those of the DVB-C core.
#pragma once
#include <cstdint>

#include "sim/chip_regs.h"

namespace sim {

inline constexpr uint8_t kIsdbcSelector = 0x09;
// Stream id standing for a relative TSMF stream number, which the model does not resolve: only a frame
// without TSMF (one stream on the carrier) locks with it.
inline constexpr int32_t kIsdbcRelativeStream = -2;

int32_t isdbcStreamId(const MainRegs& m);

}  // namespace sim
