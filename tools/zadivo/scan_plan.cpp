#include "tools/zadivo/scan_plan.h"

#include <algorithm>

#include "tools/zadivo/report.h"

namespace zadivo::tool {

std::vector<uint32_t> familyBandwidths(int type) {
  switch (effectiveTunerType(type)) {
    case 1:
      return {8000000, 7000000, 6000000, 5000000};
    case 5:
      return {6000000, 7000000, 8000000};
    case 7:
      return {8000000, 6000000};
    case 3:
      return {6000000};
  }
  return {};
}

std::vector<uint32_t> familySymbolRates(int type) {
  switch (effectiveTunerType(type)) {
    case 4:
      return {6900, 6875, 5217};
    case 6:
      return {5361, 5057};
    case 8:
      return {5274};
  }
  return {};
}

namespace {

void addRange(std::vector<ScanCandidate>& out, int type, uint32_t from, uint32_t to, uint32_t step) {
  if (step == 0) return;
  for (uint64_t f = from; f <= to; f += step)
    out.push_back({static_cast<uint32_t>(f), familyBandwidths(type), familySymbolRates(type)});
}

}  // namespace

const char* deliverySystemOf(int tunerType) {
  switch (effectiveTunerType(tunerType)) {
    case 1:
      return "DVBT";
    case 3:
      return "ATSC";
    case 4:
      return "DVBC/ANNEX_A";
    case 5:
      return "ISDBT";
    case 6:
      return "DVBC/ANNEX_B";
    case 7:
      return "DVBC2";
    case 8:
      return "ISDBC";
  }
  return "DVBT";
}

// US systems share one dvbv5 family: a reader takes an entry without MODULATION for 8-VSB.
std::string modulationOf(int tunerType, uint32_t symbolRate) {
  switch (effectiveTunerType(tunerType)) {
    case 3:
      return "VSB/8";
    case 6:
      // J.83 Annex B runs 64-QAM at 5.056941 and 256-QAM at 5.360537 MS/s: the nearer one is the multiplex's.
      return symbolRate < (5056941 + 5360537) / 2 ? "QAM/64" : "QAM/256";
  }
  return {};
}

std::vector<ScanCandidate> rangePlan(int type, uint32_t fromKHz, uint32_t toKHz, uint32_t stepKHz) {
  std::vector<ScanCandidate> out;
  addRange(out, type, fromKHz, toKHz, stepKHz);
  return out;
}

std::vector<ScanCandidate> defaultPlan(int type) {
  std::vector<ScanCandidate> out;
  switch (effectiveTunerType(type)) {
    case 1:  // VHF band III (7 MHz raster) and UHF (8 MHz raster)
      addRange(out, type, 177500, 226500, 7000);
      for (auto& c : out)
        std::rotate(c.bandwidthsHz.begin(), c.bandwidthsHz.begin() + 1, c.bandwidthsHz.end());
      addRange(out, type, 474000, 858000, 8000);
      break;
    case 3:  // VHF high and UHF, 6 MHz channels
      addRange(out, type, 177000, 213000, 6000);
      addRange(out, type, 473000, 695000, 6000);
      break;
    case 5:
      addRange(out, type, 473143, 803143, 6000);
      break;
    case 6:
      addRange(out, type, 57000, 861000, 6000);
      break;
    case 8:
      addRange(out, type, 93000, 771000, 6000);
      break;
    default:
      addRange(out, type, 114000, 858000, 8000);
      break;  // DVB-C, DVB-C2
  }
  return out;
}

std::vector<ScanCandidate> initialPlan(int type, const std::vector<ChannelEntry>& entries) {
  std::vector<ScanCandidate> out;
  for (const auto& e : entries) {
    ScanCandidate c{static_cast<uint32_t>(e.frequencyHz / 1000), familyBandwidths(type),
                    familySymbolRates(type)};
    if (e.bandwidthHz && !c.bandwidthsHz.empty()) {
      std::erase(c.bandwidthsHz, e.bandwidthHz);
      c.bandwidthsHz.insert(c.bandwidthsHz.begin(), e.bandwidthHz);
    }
    if (e.symbolRate && !c.symbolRatesKsps.empty()) {
      const uint32_t ksps = e.symbolRate / 1000;
      std::erase(c.symbolRatesKsps, ksps);
      c.symbolRatesKsps.insert(c.symbolRatesKsps.begin(), ksps);
    }
    if (std::none_of(out.begin(), out.end(),
                     [&](const ScanCandidate& o) { return o.frequencyKHz == c.frequencyKHz; }))
      out.push_back(std::move(c));
  }
  return out;
}

std::vector<int32_t> probedStreamIds(int type) {
  switch (effectiveTunerType(type)) {
    case 7:
      return {0, 1, 2, 3, 4, 5, 6, 7};
    case 8:
      return {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  }
  return {};
}

}  // namespace zadivo::tool
