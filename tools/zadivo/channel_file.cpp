#include "tools/zadivo/channel_file.h"

#include <sstream>

#include "sim/air.h"

namespace zadivo::tool {

std::string sectionName(const std::string& name) {
  std::string out;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    out += c == '[' ? '(' : c == ']' ? ')' : u < 0x20 || u == 0x7F ? ' ' : c;
  }
  const size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return "unnamed";
  return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

std::string formatChannelFile(const std::vector<ChannelEntry>& entries) {
  std::ostringstream out;
  bool first = true, c2Noted = false;
  for (const auto& e : entries) {
    const bool privateEntry = e.deliverySystem == "DVBC2";
    const std::string mark = privateEntry ? std::string(sim::kPrivateLinePrefix) : std::string();
    if (!first) out << '\n';
    first = false;
    if (privateEntry && !c2Noted) {
      out << "# DVB-C2 has no dvbv5 name: its entries are read by zadivo from the lines marked '"
          << sim::kPrivateLinePrefix << "'\n";
      c2Noted = true;
    }
    out << mark << '[' << sectionName(e.name) << "]\n";
    out << mark << "\tDELIVERY_SYSTEM = " << e.deliverySystem << '\n';
    out << mark << "\tFREQUENCY = " << e.frequencyHz << '\n';
    if (e.bandwidthHz) out << mark << "\tBANDWIDTH_HZ = " << e.bandwidthHz << '\n';
    if (e.symbolRate) out << mark << "\tSYMBOL_RATE = " << e.symbolRate << '\n';
    if (e.streamId >= 0) out << mark << "\tSTREAM_ID = " << e.streamId << '\n';
    if (!e.modulation.empty()) out << mark << "\tMODULATION = " << e.modulation << '\n';
  }
  return out.str();
}

}  // namespace zadivo::tool
