// dvbv5 channel files: the writer for scan results and a reader for scan's --initial list. Sections are
// "[name]" followed by "KEY = value" lines. DVB-C2 has no name of its own in the dvbv5 format; we write
// DELIVERY_SYSTEM = DVBC2 (our extension, documented in the README).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
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

// The text of a channel file for the entries, in order.
std::string formatChannelFile(const std::vector<ChannelEntry>& entries);

// Sections of a channel file with their keys (names upper-cased, values trimmed). Nullopt with
// "<origin>:<line>: <what>" in *error when a line is neither a section, a key, a comment nor blank.
struct Section {
  std::string name;
  std::vector<std::pair<std::string, std::string>> keys;
  const std::string* find(const std::string& key) const;
};
std::optional<std::vector<Section>> parseChannelFile(const std::string& text, const std::string& origin,
                                                     std::string* error);
// The entries of a parsed file (FREQUENCY required; the others optional).
std::optional<std::vector<ChannelEntry>> entriesOf(const std::vector<Section>& sections, std::string* error);

}  // namespace zadivo::tool
