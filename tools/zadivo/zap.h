// Finding a channel in a channel file by what a user calls it: the service (section) name, or an ATSC
// virtual channel number, and the names closest to one that is not there. The file is read entry by entry,
// each service as written (the air reader merges a multiplex's services into one).
#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/zadivo/channel_file.h"

namespace zadivo::tool {

// One entry of a channel file: its name and keys as written, our private lines included.
struct ChannelSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> keys;
  const std::string* find(const std::string& key) const;
};
// The entries of a channel file's text; nullopt with "<origin>:<line>: <what>" for a line that is neither a
// section, a key, a comment nor blank.
std::optional<std::vector<ChannelSection>> readSections(const std::string& text, const std::string& origin,
                                                        std::string* error);
// The tuning keys of an entry; nullopt with *error when a number does not parse or FREQUENCY is missing.
std::optional<ChannelEntry> entryOf(const ChannelSection& s, std::string* error);

// The sections answering to a name, best first: the exact name, the virtual channel ("31.1"), the name in
// another case.
std::vector<size_t> sectionsNamed(const std::vector<ChannelSection>& sections, const std::string& name);
// Up to n names of the file closest to a name that is not there: those containing it first, then by edit
// distance, in either case.
std::vector<std::string> closestNames(const std::vector<ChannelSection>& sections, const std::string& name,
                                      size_t n);

}  // namespace zadivo::tool
