// How the tool shows what it measured: signal statistics in the way Linux users read them (femon and
// dvbv5-zap), capture summaries, and the same figures as JSON objects for --json.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zadivo::tool {

// Figures as the driver reports them (KSPROPSETID_BdaSignalStats).
struct SignalStats {
  bool present = false;
  bool locked = false;
  uint32_t strength = 0;  // RF level in hundredths of a dBm, 16-bit two's complement
  uint32_t quality = 0;   // SNR (thousandths of a dB) x 100 / 65535
};

double strengthDbm(uint32_t strength);
// C/N in dB recovered from the quality figure (resolution about 0.66 dB).
double cnrDb(uint32_t quality);

// Standard family of a tuner type code (1..8); types the card reads as 1 map to "DVB-T/T2".
const char* familyName(int tunerType);
// The type the card runs for a stored code (0, 2 and values above 8 are read as 1).
int effectiveTunerType(int stored);

// A family by its code ("4") or its name, any case and punctuation ("DVB-C", "dvbc", "DVB-T2"); nullopt with
// the families listed in *error for anything else.
std::optional<int> parseTunerType(const std::string& text, std::string* error);

// "Lock   Signal= -45.20dBm C/N= 29.49dB Quality= 45" (or "No lock ...").
std::string femonLine(const SignalStats& s);

// A flat JSON object built in insertion order.
class Json {
 public:
  Json& add(const std::string& key, const std::string& value);
  Json& add(const std::string& key, const char* value);
  Json& add(const std::string& key, double value, int decimals);
  Json& add(const std::string& key, int64_t value);
  Json& add(const std::string& key, bool value);
  Json& raw(const std::string& key, const std::string& json);  // a nested value already in JSON
  Json& merged(const Json& other);                             // other's members after these
  std::string str() const;

 private:
  std::vector<std::pair<std::string, std::string>> items_;
};
std::string jsonString(const std::string& s);
std::string jsonArray(const std::vector<std::string>& items);

// Stats fields (present, locked, signal_dbm, cnr_db, quality, strength_raw) added to an object.
void addStats(Json& j, const SignalStats& s);

struct CaptureSummary {
  std::string channel;
  std::string output;
  uint64_t packets = 0;
  uint64_t bytes = 0;
  double seconds = 0;
  uint64_t continuityErrors = 0;
  uint64_t syncErrors = 0;
  double firstPacketSeconds = -1;  // from the command's start; -1: not known
  double mbps() const { return seconds > 0 ? bytes * 8.0 / seconds / 1e6 : 0; }
};
std::string summaryLine(const CaptureSummary& s);
std::string summaryJson(const CaptureSummary& s);

}  // namespace zadivo::tool
