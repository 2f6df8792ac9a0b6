#include "tools/zadivo/args.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace zadivo::tool {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

}  // namespace

char channelLetter(int index) { return static_cast<char>('A' + index); }

std::optional<uint64_t> parseUnsigned(std::string_view text) {
  text = trim(text);
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  uint64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

namespace {

// A bound as people write it: 1048575, not 1.04858e+06.
std::string boundText(double v) {
  char buf[48];
  snprintf(buf, sizeof buf, v == std::floor(v) && std::fabs(v) < 1e15 ? "%.0f" : "%g", v);
  return buf;
}

}  // namespace

std::optional<double> parseNumberIn(std::string_view text, double lo, double hi, const char* unit,
                                    std::string* error) {
  const std::string t(trim(text));
  char* end = nullptr;
  const double v = t.empty() ? NAN : strtod(t.c_str(), &end);
  // NaN fails every comparison: only a number inside the range passes.
  if (t.empty() || end != t.c_str() + t.size() || !(v >= lo && v <= hi)) {
    if (error) {
      std::string quoted = "'";
      quoted.append(trim(text).substr(0, 40));
      *error = quoted + "' is not a number in " + boundText(lo) + " .. " + boundText(hi) +
               (*unit ? " " : "") + unit;
    }
    return std::nullopt;
  }
  return v;
}

std::string frequencyProblem(uint64_t khz) {
  if (khz >= kTunerMinKHz && khz <= kTunerMaxKHz) return {};
  std::string why = std::to_string(khz) + " kHz is outside the tuner's " + std::to_string(kTunerMinKHz) +
                    " .. " + std::to_string(kTunerMaxKHz) + " kHz";
  // Hz, as channel files give it: a broadcast frequency once divided, hence far above the tuner's range.
  if (khz / 1000 >= kLowestBroadcastKHz && khz / 1000 <= kTunerMaxKHz)
    why += " (" + std::to_string(khz) +
           " looks like Hz, the unit of channel files: " + std::to_string(khz / 1000) + " kHz?)";
  return why;
}

std::optional<ChannelRef> parseChannel(std::string_view text, std::string* error) {
  ChannelRef ref;
  std::string_view letter = text;
  if (auto colon = text.find(':'); colon != std::string_view::npos) {
    auto card = parseUnsigned(text.substr(0, colon));
    if (!card || *card >= kMaxCards) {
      if (error)
        *error = "bad card number in channel '" + std::string(text.substr(0, 40)) + "' (cards 0.." +
                 std::to_string(kMaxCards - 1) + ")";
      return std::nullopt;
    }
    ref.card = static_cast<int>(*card);
    letter = text.substr(colon + 1);
  }
  if (letter.size() != 1) {
    if (error) *error = "unknown channel '" + std::string(text) + "' (A..H, optionally with a card: 1:A)";
    return std::nullopt;
  }
  const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])));
  if (c < 'A' || c >= 'A' + kChannelsPerCard) {
    if (error) *error = "unknown channel '" + std::string(text) + "' (A..H, optionally with a card: 1:A)";
    return std::nullopt;
  }
  ref.index = c - 'A';
  return ref;
}

std::string channelName(const ChannelRef& ref) {
  std::string letter(1, channelLetter(ref.index));
  return ref.card == 0 ? letter : std::to_string(ref.card) + ":" + letter;
}

std::optional<Mac> parseMac(std::string_view text, std::string* error) {
  Mac mac{};
  std::string_view rest = trim(text);
  for (size_t i = 0; i < mac.size(); ++i) {
    if (rest.size() < 2 || !std::isxdigit(static_cast<unsigned char>(rest[0])) ||
        !std::isxdigit(static_cast<unsigned char>(rest[1]))) {
      if (error) *error = "MAC address '" + std::string(text) + "' does not parse (aa:bb:cc:dd:ee:ff)";
      return std::nullopt;
    }
    unsigned v = 0;
    std::from_chars(rest.data(), rest.data() + 2, v, 16);
    mac[i] = static_cast<uint8_t>(v);
    rest.remove_prefix(2);
    if (i + 1 < mac.size()) {
      if (rest.empty() || (rest[0] != ':' && rest[0] != '-')) {
        if (error) *error = "MAC address '" + std::string(text) + "' does not parse (aa:bb:cc:dd:ee:ff)";
        return std::nullopt;
      }
      rest.remove_prefix(1);
    }
  }
  if (!rest.empty()) {
    if (error) *error = "MAC address '" + std::string(text) + "' does not parse (aa:bb:cc:dd:ee:ff)";
    return std::nullopt;
  }
  return mac;
}

std::string formatMac(const Mac& mac) {
  char buf[18];
  snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return buf;
}

std::optional<uint8_t> parseByte(std::string_view text, std::string* error) {
  auto v = parseUnsigned(text);
  if (!v || *v > 0xFF) {
    if (error) *error = std::string("'").append(text).append("' is not a byte (0..255 or 0x00..0xff)");
    return std::nullopt;
  }
  return static_cast<uint8_t>(*v);
}

std::optional<std::vector<uint8_t>> parseByteList(std::string_view text, std::string* error) {
  std::vector<uint8_t> out;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    auto item = text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
    auto b = parseByte(item, error);
    if (!b) return std::nullopt;
    out.push_back(*b);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return out;
}

}  // namespace zadivo::tool
