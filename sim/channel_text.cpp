// Channel-file lines: sections, keys, comments, our private lines, and the formats we do not read.
#include "sim/channel_text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

#include "sim/air.h"

namespace sim {
namespace {

constexpr size_t kMaxQuoted = 48;

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool allDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The format dvb-format-convert names a line of another channel-file format by; empty for none.
// CHANNEL (dvb-apps' initial lists): "T 474000000 8MHz 2/3 ...", "C 346000000 6900000 NONE QAM64".
// ZAP (the older zap tools'): "name:474000000:INVERSION_AUTO:...".
const char* foreignFormat(std::string_view line) {
  const size_t space = line.find_first_of(" \t");
  const std::string_view first = line.substr(0, space);
  if (space != std::string_view::npos && !first.empty() && first.size() <= 2 &&
      std::string_view("TCSAI").find(first[0]) != std::string_view::npos &&
      (first.size() == 1 || (first[1] >= '1' && first[1] <= '2'))) {
    const std::string_view rest = trim(line.substr(space));
    if (allDigits(rest.substr(0, rest.find_first_of(" \t")))) return "CHANNEL";
  }
  const size_t colon = line.find(':');
  if (colon != std::string_view::npos) {
    const std::string_view rest = line.substr(colon + 1);
    const size_t next = rest.find(':');
    if (next != std::string_view::npos && allDigits(rest.substr(0, next))) return "ZAP";
  }
  return nullptr;
}

}  // namespace

std::string quotedValue(std::string_view v) {
  std::string out = "'";
  for (size_t i = 0; i < v.size() && i < kMaxQuoted; ++i) {
    const auto c = static_cast<unsigned char>(v[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02x", c);
      out += b;
    }
  }
  if (v.size() > kMaxQuoted) out += "...";
  return out + "'";
}

const std::string* ChannelSection::find(std::string_view key) const {
  for (const auto& kv : keys)
    if (kv.first == key) return &kv.second;
  return nullptr;
}

int ChannelSection::lineOf(std::string_view key) const {
  for (size_t i = 0; i < keys.size() && i < keyLines.size(); ++i)
    if (keys[i].first == key) return keyLines[i];
  return line;
}

std::optional<uint64_t> frequencyOf(const ChannelSection& s, std::string_view origin, std::string* error) {
  auto fail = [&](int line, const std::string& what) {
    if (error) *error = std::string(origin) + ":" + std::to_string(line) + ": " + what;
    return std::nullopt;
  };
  const std::string* f = s.find("FREQUENCY");
  if (!f) return fail(s.line, "[" + s.name + "] has no FREQUENCY");
  uint64_t hz = 0;
  auto [end, ec] = std::from_chars(f->data(), f->data() + f->size(), hz);
  if (ec != std::errc() || end != f->data() + f->size())
    return fail(s.lineOf("FREQUENCY"), "FREQUENCY: not a frequency in Hz " + quotedValue(*f));
  return hz;
}

std::optional<std::vector<ChannelSection>> readChannelSections(std::string_view text, std::string_view origin,
                                                               std::string* error,
                                                               std::vector<std::string>* warnings) {
  std::vector<ChannelSection> out;
  int lineNo = 0;
  auto where = [&](int line) { return std::string(origin) + ":" + std::to_string(line) + ": "; };
  auto fail = [&](int line, const std::string& what) {
    if (error) *error = where(line) + what;
    return std::nullopt;
  };
  // A line of another format: the first that is not ours says what the file is.
  auto notOurs = [&](std::string_view line, const std::string& what) {
    if (const char* format = foreignFormat(line)) {
      // ZAP lines do not name their delivery system: the converter must be told it, as the fields suggest.
      std::string zap;
      if (std::string(format) == "ZAP")
        zap = line.find("BANDWIDTH_") != std::string_view::npos ? " -s DVBT"
              : line.find("VSB") != std::string_view::npos      ? " -s ATSC"
              : line.find("QAM") != std::string_view::npos      ? " -s DVBC/ANNEX_A"
                                                                : " -s DVBT";
      return fail(lineNo, std::string("a channel file in the ") + format +
                              " format; zadivo reads dvbv5 files: convert it with dvb-format-convert -I " +
                              format + zap + " -O DVBV5 " + std::string(origin) + " channels.conf");
    }
    return fail(lineNo, what);
  };
  for (size_t pos = 0; pos < text.size();) {
    const size_t nl = text.find('\n', pos);
    std::string_view line = trim(text.substr(pos, nl == std::string_view::npos ? nl : nl - pos));
    pos = nl == std::string_view::npos ? text.size() : nl + 1;
    ++lineNo;
    // Our own lines that other readers must skip (entries they cannot take) hide behind a comment mark.
    if (line.substr(0, kPrivateLinePrefix.size()) == kPrivateLinePrefix)
      line = trim(line.substr(kPrivateLinePrefix.size()));
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return fail(lineNo, "section header without closing ']'");
      ChannelSection s;
      s.name = std::string(trim(line.substr(1, line.size() - 2)));
      s.line = lineNo;
      if (s.name.empty()) return fail(lineNo, "empty section name");
      out.push_back(std::move(s));
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos)
      return notOurs(line, "expected 'KEY = value' or '[name]', got " + quotedValue(line));
    std::string key(trim(line.substr(0, eq)));
    const std::string_view value = trim(line.substr(eq + 1));
    if (out.empty()) return notOurs(line, quotedValue(key) + " before any [section]");
    ChannelSection& s = out.back();
    if (const std::string* given = s.find(key)) {
      if (*given != value)
        return fail(lineNo, key + " given twice in [" + s.name + "] with different values");
      if (warnings) warnings->push_back(where(lineNo) + key + " given twice in [" + s.name + "]");
      continue;
    }
    s.keys.emplace_back(std::move(key), std::string(value));
    s.keyLines.push_back(lineNo);
  }
  return out;
}

}  // namespace sim
