// The service information of generated streams as whole sections (CRC included): PAT and PMT always; SDT and
// NIT for the DVB and ISDB families; the PSIP master guide and virtual channel tables for ATSC and J.83B.
#pragma once
#include <cstdint>
#include <vector>

#include "sim/ts_source.h"

namespace sim::psi {

inline constexpr uint16_t kNitPid = 0x0010;
inline constexpr uint16_t kPsipPid = 0x1FFB;
// A section's body is at most this long (section_length 1021 minus header and CRC).
inline constexpr size_t kMaxBody = 1021 - 9;

using Section = std::vector<uint8_t>;

// The PAT; DVB streams also point program 0 at the NIT.
Section pat(const TsGenConfig& c);
Section pmt(const TsService& s);
// SDT actual, split over as many sections as the service names need.
std::vector<Section> sdt(const TsGenConfig& c);
// NIT actual: the network's name and this transport stream's service list.
Section nit(const TsGenConfig& c);
// Terrestrial (TVCT) or cable (CVCT) virtual channel table, and the MGT that announces it.
Section vct(const TsGenConfig& c);
Section mgt(const TsGenConfig& c, size_t vctBytes);

// The bytes a section's fields after last_section_number hold; a table section around them.
Section section(uint8_t tableId, uint16_t extension, const uint8_t* body, size_t bodyLen, uint8_t number = 0,
                uint8_t last = 0);

}  // namespace sim::psi
