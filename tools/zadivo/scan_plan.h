// What a scan tries: the channel rasters of each standard family and the bandwidths or symbol rates to try at
// each frequency, or the candidates of an initial channel file.
#pragma once
#include <cstdint>
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

// The bandwidths (Hz) and symbol rates (kS/s) a family's channels commonly use, likeliest first.
std::vector<uint32_t> familyBandwidths(int tunerType);
std::vector<uint32_t> familySymbolRates(int tunerType);

// Delivery system names a family writes ("DVBT" for type 1 and DVB-T; type 1 also yields DVBT2).
const char* deliverySystemOf(int tunerType);
// The dvbv5 MODULATION of a family's entries, where a reader needs it to tell the system; empty otherwise.
std::string modulationOf(int tunerType, uint32_t symbolRate);
// The family's usual rasters (kHz) with its usual bandwidths or symbol rates.
std::vector<ScanCandidate> defaultPlan(int tunerType);
// A range with a fixed step, with the family's bandwidths or symbol rates.
std::vector<ScanCandidate> rangePlan(int tunerType, uint32_t fromKHz, uint32_t toKHz, uint32_t stepKHz);
// Candidates from an initial file: its frequencies, with its bandwidth or symbol rate first when given.
std::vector<ScanCandidate> initialPlan(int tunerType, const std::vector<ChannelEntry>& entries);
// Stream ids probed at a locked frequency for families with several streams (DVB-C2 PLPs, ISDB-C TSMF).
std::vector<int32_t> probedStreamIds(int tunerType);

}  // namespace zadivo::tool
