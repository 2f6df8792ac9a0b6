// What a scan tries: the channel rasters of each standard family and of each country's plan, with the
// bandwidths or symbol rates to try at each frequency, or the candidates of an initial channel file. A plan
// holds bands and makes its frequencies on demand, so no range can exhaust memory.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/zadivo/channel_file.h"

namespace zadivo::tool {

struct ScanCandidate {
  uint32_t frequencyKHz = 0;
  // Tried in order until one locks: bandwidths in Hz or symbol rates in kS/s (0: the family uses neither).
  std::vector<uint32_t> bandwidthsHz;
  std::vector<uint32_t> symbolRatesKsps;
};

class ScanPlan {
 public:
  // Centre frequencies first, first + step, ... up to last (kHz), each with the candidate's settings.
  void addBand(uint32_t firstKHz, uint32_t lastKHz, uint32_t stepKHz, const ScanCandidate& settings);
  void add(const ScanCandidate& one) { addBand(one.frequencyKHz, one.frequencyKHz, 1, one); }

  uint64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  ScanCandidate at(uint64_t i) const;
  ScanCandidate front() const { return at(0); }
  bool contains(uint32_t khz) const;

 private:
  struct Band {
    uint32_t firstKHz, stepKHz;
    uint64_t count, before;  // frequencies in the band; frequencies in the bands ahead of it
    ScanCandidate settings;
  };
  std::vector<Band> bands_;
  uint64_t size_ = 0;
};

// The bandwidths (Hz) and symbol rates (kS/s) a family's channels commonly use, likeliest first.
std::vector<uint32_t> familyBandwidths(int tunerType);
std::vector<uint32_t> familySymbolRates(int tunerType);

// The symbol rates (kS/s) a symbol-rate family's demodulator can lock: the range of cable demodulators.
inline constexpr uint32_t kMinSymbolRateKsps = 1000, kMaxSymbolRateKsps = 7200;
// The one check of a bandwidth (Hz) and a symbol rate (symbols/s) against a family, whether they come from
// options or a channel file: empty when the family takes the value or uses no such setting, else the values
// it takes ("5, 6, 7 or 8 MHz", "1000 .. 7200 kS/s").
std::string bandwidthProblem(int tunerType, uint32_t hz);
std::string symbolRateProblem(int tunerType, uint64_t symbolsPerSecond);

// Delivery system names a family writes ("DVBT" for type 1 and DVB-T; type 1 also yields DVBT2).
const char* deliverySystemOf(int tunerType);
// Whether a channel-file delivery system is one the family receives.
bool familyReceives(int tunerType, const std::string& deliverySystem);
// The dvbv5 MODULATION of a family's entries, where a reader needs it to tell the system; empty otherwise.
std::string modulationOf(int tunerType, uint32_t symbolRate);
// The family's usual rasters (kHz) with its usual bandwidths or symbol rates.
ScanPlan defaultPlan(int tunerType);
// A range with a fixed step, with the family's bandwidths or symbol rates.
ScanPlan rangePlan(int tunerType, uint32_t fromKHz, uint32_t toKHz, uint32_t stepKHz);
// Candidates from an initial file: its frequencies, with its bandwidth or symbol rate first when given.
ScanPlan initialPlan(int tunerType, const std::vector<ChannelEntry>& entries);
// Empty for a country some family has a plan for, else the message naming the countries that have one.
std::string unknownCountry(const std::string& country);
// A country's channel plan for the family ("DE", "us"). Nullopt with the countries that have one in *error.
std::optional<ScanPlan> countryPlan(int tunerType, const std::string& country, std::string* error);
// Stream ids probed at a locked frequency for families with several streams (DVB-C2 PLPs, ISDB-C TSMF).
std::vector<int32_t> probedStreamIds(int tunerType);

}  // namespace zadivo::tool
