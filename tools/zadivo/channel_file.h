// dvbv5 channel files as scans write them: "[name]" sections of "KEY = value" lines. DVB-C2 has no name in
// libdvbv5, which refuses a whole file for one entry it cannot name: C2 entries are written as our private
// lines (DELIVERY_SYSTEM = DVBC2 behind the "#zadivo " mark), which libdvbv5 skips as comments and the air
// reader (sim::Air, also behind scan --initial) takes. The README documents both.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zadivo::tool {

struct ChannelEntry {
  std::string name;
  std::string deliverySystem;  // DVBT, DVBT2, DVBC/ANNEX_A, DVBC2, DVBC/ANNEX_B, ISDBT, ISDBC, ATSC
  uint64_t frequencyHz = 0;
  uint32_t bandwidthHz = 0;  // 0: not written
  uint32_t symbolRate = 0;   // symbols/s; 0: not written
  int32_t streamId = -1;     // PLP or TSMF stream; -1: not written
  std::string modulation;    // dvbv5 name (QAM/256, VSB/8); empty: not written
};

// A name as a section header of a dvbv5 file can hold it, so that libdvbv5 and every other reader read back
// what was written: a header ends at its first ']', and a line at its end, so brackets become parentheses,
// control characters spaces, and the ends are trimmed (an empty name becomes "unnamed").
std::string sectionName(const std::string& name);

// The text of a channel file for the entries, in order.
std::string formatChannelFile(const std::vector<ChannelEntry>& entries);

}  // namespace zadivo::tool
