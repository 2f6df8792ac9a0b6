// The lines of a channel file as every reader of one takes them: "[name]" sections of "KEY = value" lines,
// comments, and our private lines behind kPrivateLinePrefix. One reader, so that the air, an initial list
// and a list of channels to tune say the same about the same file.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

struct ChannelSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> keys;  // as written, each key once
  int line = 0;                                           // of the section header
  std::vector<int> keyLines = {};                         // the line of each key

  const std::string* find(std::string_view key) const;
  // The line of a key, else of the header.
  int lineOf(std::string_view key) const;
};

// The sections of channel-file text; a key given twice with the same value is kept once, with a warning.
// Nullopt with "<origin>:<line>: <what>" in *error for a line that is no section, key, comment or blank, a
// key outside a section or given twice with different values, and a file in another format dvb-format-convert
// reads (with the command that converts it).
std::optional<std::vector<ChannelSection>> readChannelSections(std::string_view text, std::string_view origin,
                                                               std::string* error,
                                                               std::vector<std::string>* warnings = nullptr);

// A section's FREQUENCY (Hz); nullopt with "<origin>:<line>: <what>" when it has none or it is no number.
std::optional<uint64_t> frequencyOf(const ChannelSection& s, std::string_view origin, std::string* error);

// A value for a message: short, and printable whatever the file held.
std::string quotedValue(std::string_view v);

}  // namespace sim
