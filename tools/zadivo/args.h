// Parsing of the tool's argument values (channels, MAC addresses, byte lists) into checked values. Everything
// here is refused with a message before any card is touched.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hw/tuner_range.h"

namespace zadivo::tool {

inline constexpr int kChannelsPerCard = 8;
inline constexpr int kMaxCards = 8;  // a machine takes at most this many (--cards)

// A channel: card number (0-based, as the state directory counts them) and instance 0..7 (A..H).
struct ChannelRef {
  int card = 0;
  int index = 0;
  bool operator==(const ChannelRef&) const = default;
};

// "A".."H" (either case), optionally "N:" in front for card N.
std::optional<ChannelRef> parseChannel(std::string_view text, std::string* error);
std::string channelName(const ChannelRef& ref);  // "A", or "1:B" for another card than 0
char channelLetter(int index);

using Mac = std::array<uint8_t, 6>;
// Six hex octets separated by ':' or '-'.
std::optional<Mac> parseMac(std::string_view text, std::string* error);
std::string formatMac(const Mac& mac);

// One byte: decimal or 0x-prefixed hex, 0..255.
std::optional<uint8_t> parseByte(std::string_view text, std::string* error);
// A comma-separated list of bytes; empty items are refused.
std::optional<std::vector<uint8_t>> parseByteList(std::string_view text, std::string* error);
// An unsigned number (decimal or 0x hex) that fits 64 bits.
std::optional<uint64_t> parseUnsigned(std::string_view text);

// A finite decimal number in lo..hi. Nullopt with *error ("<text> is not a number in <lo> .. <hi> <unit>").
std::optional<double> parseNumberIn(std::string_view text, double lo, double hi, const char* unit,
                                    std::string* error);

// The silicon tuner's range, in the kHz that the BDA frequency property takes.
inline constexpr uint64_t kTunerMinKHz = hw::tuner::kMinFrequencyKHz;
inline constexpr uint64_t kTunerMaxKHz = hw::tuner::kMaxFrequencyKHz;
// No television channel of any plan lies lower (VHF band I starts at 47 MHz).
inline constexpr uint64_t kLowestBroadcastKHz = 40000;
// Empty when the tuner can take the frequency (kHz); else why not, with a hint when it looks like Hz (the
// unit of dvbv5 channel files).
std::string frequencyProblem(uint64_t khz);

}  // namespace zadivo::tool
