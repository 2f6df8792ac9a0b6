#include "tools/zadivo/channel_file.h"

#include <cctype>
#include <sstream>

#include "tools/zadivo/args.h"

namespace zadivo::tool {

namespace {

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

}  // namespace

std::string formatChannelFile(const std::vector<ChannelEntry>& entries) {
  std::ostringstream out;
  bool first = true;
  for (const auto& e : entries) {
    if (!first) out << '\n';
    first = false;
    out << '[' << e.name << "]\n";
    out << "\tDELIVERY_SYSTEM = " << e.deliverySystem << '\n';
    out << "\tFREQUENCY = " << e.frequencyHz << '\n';
    if (e.bandwidthHz) out << "\tBANDWIDTH_HZ = " << e.bandwidthHz << '\n';
    if (e.symbolRate) out << "\tSYMBOL_RATE = " << e.symbolRate << '\n';
    if (e.streamId >= 0) out << "\tSTREAM_ID = " << e.streamId << '\n';
    if (!e.modulation.empty()) out << "\tMODULATION = " << e.modulation << '\n';
  }
  return out.str();
}

const std::string* Section::find(const std::string& key) const {
  for (const auto& kv : keys)
    if (kv.first == key) return &kv.second;
  return nullptr;
}

std::optional<std::vector<Section>> parseChannelFile(const std::string& text, const std::string& origin,
                                                     std::string* error) {
  std::vector<Section> out;
  std::istringstream in(text);
  std::string raw;
  int lineNo = 0;
  auto fail = [&](const std::string& what) {
    if (error) *error = origin + ":" + std::to_string(lineNo) + ": " + what;
    return std::nullopt;
  };
  while (std::getline(in, raw)) {
    ++lineNo;
    std::string line = trim(raw);
    if (line.empty() || line[0] == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 3) return fail("bad section header");
      out.push_back({trim(line.substr(1, line.size() - 2)), {}});
      continue;
    }
    auto eq = line.find('=');
    if (eq == std::string::npos) return fail("expected KEY = value");
    if (out.empty()) return fail("key outside a section");
    std::string key = trim(line.substr(0, eq));
    for (auto& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (key.empty()) return fail("empty key");
    out.back().keys.emplace_back(key, trim(line.substr(eq + 1)));
  }
  return out;
}

std::optional<std::vector<ChannelEntry>> entriesOf(const std::vector<Section>& sections, std::string* error) {
  std::vector<ChannelEntry> out;
  for (const auto& s : sections) {
    ChannelEntry e;
    e.name = s.name;
    auto number = [&](const char* key, uint64_t max, uint64_t& value) {
      const std::string* v = s.find(key);
      if (!v) return true;
      auto n = parseUnsigned(*v);
      if (!n || *n > max) {
        if (error) *error = "[" + s.name + "]: " + key + " '" + *v + "' is not a number";
        return false;
      }
      value = *n;
      return true;
    };
    uint64_t f = 0, bw = 0, sr = 0, sid = UINT64_MAX;
    if (!number("FREQUENCY", UINT64_MAX, f) || !number("BANDWIDTH_HZ", UINT32_MAX, bw) ||
        !number("SYMBOL_RATE", UINT32_MAX, sr) || !number("STREAM_ID", INT32_MAX, sid))
      return std::nullopt;
    if (f == 0) {
      if (error) *error = "[" + s.name + "]: FREQUENCY missing or 0";
      return std::nullopt;
    }
    e.frequencyHz = f;
    e.bandwidthHz = static_cast<uint32_t>(bw);
    e.symbolRate = static_cast<uint32_t>(sr);
    e.streamId = sid == UINT64_MAX ? -1 : static_cast<int32_t>(sid);
    if (const std::string* ds = s.find("DELIVERY_SYSTEM")) e.deliverySystem = *ds;
    if (const std::string* mod = s.find("MODULATION")) e.modulation = *mod;
    out.push_back(std::move(e));
  }
  return out;
}

}  // namespace zadivo::tool
