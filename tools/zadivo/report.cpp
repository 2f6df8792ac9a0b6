#include "tools/zadivo/report.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace zadivo::tool {

double strengthDbm(uint32_t strength) { return static_cast<int16_t>(strength & 0xFFFF) / 100.0; }

double cnrDb(uint32_t quality) { return static_cast<int16_t>(quality & 0xFFFF) * 65535.0 / 100.0 / 1000.0; }

int effectiveTunerType(int stored) { return stored == 0 || stored == 2 || stored > 8 ? 1 : stored; }

const char* familyName(int tunerType) {
  switch (effectiveTunerType(tunerType)) {
    case 1:
      return "DVB-T/T2";
    case 3:
      return "ATSC";
    case 4:
      return "DVB-C";
    case 5:
      return "ISDB-T";
    case 6:
      return "J.83B";
    case 7:
      return "DVB-C2";
    case 8:
      return "ISDB-C";
  }
  return "unknown";
}

std::optional<int> parseTunerType(const std::string& text, std::string* error) {
  constexpr int kFamilies[] = {1, 3, 4, 5, 6, 7, 8};
  auto key = [](std::string_view name) {
    std::string k;
    for (char c : name)
      if (std::isalnum(static_cast<unsigned char>(c)))
        k += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return k;
  };
  const std::string wanted = key(text);
  // DVB-T and DVB-T2 are one family, named by either.
  if (wanted == "DVBT" || wanted == "DVBT2") return 1;
  std::string list;
  for (int type : kFamilies) {
    if (wanted == std::to_string(type) || wanted == key(familyName(type))) return type;
    list += (list.empty() ? "" : ", ") + std::to_string(type) + " " + familyName(type);
  }
  if (error) *error = "tuner type '" + text.substr(0, 40) + "' is no family (" + list + ")";
  return std::nullopt;
}

std::string femonLine(const SignalStats& s) {
  // Without lock the quality figure is the driver's placeholder, not a measurement.
  char buf[128];
  if (s.locked)
    snprintf(buf, sizeof buf, "Lock    Signal= %.2fdBm C/N= %.2fdB Quality= %u", strengthDbm(s.strength),
             cnrDb(s.quality), static_cast<unsigned>(s.quality & 0xFFFF));
  else
    snprintf(buf, sizeof buf, "No lock Signal= %.2fdBm C/N= --", strengthDbm(s.strength));
  return buf;
}

std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char b[8];
          snprintf(b, sizeof b, "\\u%04x", c);
          out += b;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string jsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
  return out + "]";
}

Json& Json::add(const std::string& key, const std::string& value) { return raw(key, jsonString(value)); }
Json& Json::add(const std::string& key, const char* value) { return raw(key, jsonString(value)); }
Json& Json::add(const std::string& key, double value, int decimals) {
  if (!std::isfinite(value)) return raw(key, "null");
  char buf[64];
  snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return raw(key, buf);
}
Json& Json::add(const std::string& key, int64_t value) { return raw(key, std::to_string(value)); }
Json& Json::add(const std::string& key, bool value) { return raw(key, value ? "true" : "false"); }
Json& Json::raw(const std::string& key, const std::string& json) {
  items_.emplace_back(key, json);
  return *this;
}
Json& Json::merged(const Json& other) {
  items_.insert(items_.end(), other.items_.begin(), other.items_.end());
  return *this;
}
std::string Json::str() const {
  std::string out = "{";
  for (size_t i = 0; i < items_.size(); ++i)
    out.append(i ? "," : "").append(jsonString(items_[i].first)).append(":").append(items_[i].second);
  return out + "}";
}

void addStats(Json& j, const SignalStats& s) {
  j.add("present", s.present)
      .add("locked", s.locked)
      .add("signal_dbm", strengthDbm(s.strength), 2)
      .add("cnr_db", s.locked ? cnrDb(s.quality) : NAN, 2)
      .add("quality", static_cast<int64_t>(s.quality & 0xFFFF))
      .add("strength_raw", static_cast<int64_t>(s.strength));
}

std::string summaryLine(const CaptureSummary& s) {
  char buf[256];
  // Lost packets must not read like the usual zero.
  snprintf(buf, sizeof buf, "%s: %llu packets, %llu bytes, %.2f s, %.2f Mbit/s, %llu %s, %llu sync errors",
           s.channel.c_str(), static_cast<unsigned long long>(s.packets),
           static_cast<unsigned long long>(s.bytes), s.seconds, s.mbps(),
           static_cast<unsigned long long>(s.continuityErrors),
           s.continuityErrors ? "CONTINUITY ERRORS (packets lost)" : "continuity errors",
           static_cast<unsigned long long>(s.syncErrors));
  return buf;
}

std::string summaryJson(const CaptureSummary& s) {
  Json j;
  j.add("channel", s.channel)
      .add("output", s.output)
      .add("packets", static_cast<int64_t>(s.packets))
      .add("bytes", static_cast<int64_t>(s.bytes))
      .add("seconds", s.seconds, 3)
      .add("mbps", s.mbps(), 3)
      .add("continuity_errors", static_cast<int64_t>(s.continuityErrors))
      .add("sync_errors", static_cast<int64_t>(s.syncErrors));
  if (s.firstPacketSeconds >= 0) j.add("first_packet_s", s.firstPacketSeconds, 3);
  return j.str();
}

}  // namespace zadivo::tool
