// Finding a channel in a channel file by what a user calls it: the service (section) name, or an ATSC
// virtual channel number, and the names closest to one that is not there. The file is read entry by entry,
// each service as written (the air reader merges a multiplex's services into one).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/channel_text.h"
#include "tools/zadivo/channel_file.h"

namespace zadivo::tool {

// One entry of a channel file: its name and keys as written, our private lines included, with their lines.
using ChannelSection = sim::ChannelSection;
// The entries of a channel file's text, read as every channel file the tool takes is read; nullopt with
// "<origin>:<line>: <what>". Warnings (a key given twice) go to *warnings.
std::optional<std::vector<ChannelSection>> readSections(const std::string& text, const std::string& origin,
                                                        std::string* error,
                                                        std::vector<std::string>* warnings = nullptr);
// The tuning keys of an entry; nullopt with "<origin>:<line>: <what>" when a number does not parse or
// FREQUENCY is missing.
std::optional<ChannelEntry> entryOf(const ChannelSection& s, const std::string& origin, std::string* error);

// A name as it compares regardless of case: its Unicode case fold (UTF-8 in and out).
std::string caseFolded(const std::string& utf8);

// The sections answering to a name, best first: the exact name, the virtual channel ("31.1"), the name in
// another case, and for a number that names none of them, the services of that id (as dvbv5-zap takes it).
std::vector<size_t> sectionsNamed(const std::vector<ChannelSection>& sections, const std::string& name);
// The sections of a service id (SERVICE_ID).
std::vector<size_t> sectionsWithServiceId(const std::vector<ChannelSection>& sections, uint32_t serviceId);
// Up to n names of the file closest to a name that is not there: those containing it first, then by edit
// distance, in either case.
std::vector<std::string> closestNames(const std::vector<ChannelSection>& sections, const std::string& name,
                                      size_t n);

}  // namespace zadivo::tool
