#include "tools/zadivo/scan_plan.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "tools/zadivo/args.h"
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

std::string bandwidthProblem(int type, uint32_t hz) {
  std::vector<uint32_t> takes = familyBandwidths(type);
  if (takes.empty() || std::find(takes.begin(), takes.end(), hz) != takes.end()) return {};
  std::sort(takes.begin(), takes.end());
  std::string out;
  for (size_t i = 0; i < takes.size(); ++i)
    out += (i == 0 ? "" : i + 1 == takes.size() ? " or " : ", ") + std::to_string(takes[i] / 1000000);
  return out + " MHz";
}

std::string symbolRateProblem(int type, uint64_t symbolsPerSecond) {
  if (familySymbolRates(type).empty()) return {};
  if (symbolsPerSecond >= uint64_t{kMinSymbolRateKsps} * 1000 &&
      symbolsPerSecond <= uint64_t{kMaxSymbolRateKsps} * 1000)
    return {};
  return std::to_string(kMinSymbolRateKsps) + " .. " + std::to_string(kMaxSymbolRateKsps) + " kS/s";
}

void ScanPlan::addBand(uint32_t firstKHz, uint32_t lastKHz, uint32_t stepKHz, const ScanCandidate& settings) {
  if (stepKHz == 0 || lastKHz < firstKHz) return;
  const uint64_t count = (uint64_t{lastKHz} - firstKHz) / stepKHz + 1;
  bands_.push_back({firstKHz, stepKHz, count, size_, settings});
  size_ += count;
}

ScanCandidate ScanPlan::at(uint64_t i) const {
  auto it = std::upper_bound(bands_.begin(), bands_.end(), i,
                             [](uint64_t v, const Band& b) { return v < b.before; });
  const Band& b = *(it - 1);
  ScanCandidate c = b.settings;
  c.frequencyKHz = static_cast<uint32_t>(b.firstKHz + (i - b.before) * b.stepKHz);
  return c;
}

bool ScanPlan::contains(uint32_t khz) const {
  return std::any_of(bands_.begin(), bands_.end(), [&](const Band& b) {
    return khz >= b.firstKHz && (khz - b.firstKHz) % b.stepKHz == 0 &&
           (khz - b.firstKHz) / b.stepKHz < b.count;
  });
}

namespace {

ScanCandidate familySettings(int type) { return {0, familyBandwidths(type), familySymbolRates(type)}; }

void addRange(ScanPlan& out, int type, uint32_t from, uint32_t to, uint32_t step) {
  out.addBand(from, to, step, familySettings(type));
}

// A band of a country's plan: centre frequencies (kHz) and the channel bandwidth (0: the family's own).
struct CountryBand {
  const char* countries;  // ISO 3166 codes, space separated
  int family;             // tuner type
  uint32_t firstKHz, lastKHz, stepKHz, bandwidthHz;
};

constexpr const char* kEurope =
    "AD AL AT BA BE BG CH CY CZ DE DK EE ES FI FR GR HR HU IS IT LI LT LU LV MC ME MK MT NL NO PL PT RO RS "
    "SE "
    "SI SK SM UA";

// clang-format off
constexpr CountryBand kCountryBands[] = {
    // DVB-T/T2: band III at 7 MHz, UHF at 8 MHz; Australia 7 MHz in both.
    {kEurope,         1, 177500, 226500, 7000, 7000000},
    {kEurope,         1, 474000, 858000, 8000, 8000000},
    {"GB IE NZ",      1, 474000, 858000, 8000, 8000000},
    {"AU",            1, 177500, 226500, 7000, 7000000},
    {"AU",            1, 529500, 816500, 7000, 7000000},
    // ISDB-T: Japan UHF 13-62; Brazil and its neighbours VHF 7-13 and UHF 14-69, 1/7 MHz above the raster.
    {"JP",            5, 473143, 767143, 6000, 6000000},
    {"BR AR CL PE",   5, 177143, 213143, 6000, 6000000},
    {"BR AR CL PE",   5, 473143, 803143, 6000, 6000000},
    // ATSC: VHF 2-4 and 5-6 (the gap at 72-76 MHz), 7-13, UHF 14-36 after the repack.
    {"US CA MX",      3,  57000,  69000, 6000, 6000000},
    {"US CA MX",      3,  79000,  85000, 6000, 6000000},
    {"US CA MX",      3, 177000, 213000, 6000, 6000000},
    {"US CA MX",      3, 473000, 605000, 6000, 6000000},
    {"KR",            3, 473000, 803000, 6000, 6000000},
    // US cable (standard plan): 2-4, 5-6, 95-99, 14-22, 7-13, 23-94, then 100 and up to the tuner's top.
    {"US CA",         6,  57000,  69000, 6000, 0},
    {"US CA",         6,  79000,  85000, 6000, 0},
    {"US CA",         6,  93000, 117000, 6000, 0},
    {"US CA",         6, 123000, 171000, 6000, 0},
    {"US CA",         6, 177000, 213000, 6000, 0},
    {"US CA",         6, 219000, 645000, 6000, 0},
    {"US CA",         6, 651000, static_cast<uint32_t>(kTunerMaxKHz) - 3000, 6000, 0},
    // European cable: 8 MHz from 114 MHz.
    {kEurope,         4, 114000, 858000, 8000, 0},
    {"GB IE",         4, 114000, 858000, 8000, 0},
    {kEurope,         7, 114000, 858000, 8000, 8000000},
    {"GB IE",         7, 114000, 858000, 8000, 8000000},
    // Japanese cable.
    {"JP",            8,  93000, 771000, 6000, 0},
};
// clang-format on

std::vector<std::string> codesOf(const char* list) {
  std::vector<std::string> out;
  for (const char* p = list; *p;) {
    const char* end = p;
    while (*end && *end != ' ') ++end;
    out.emplace_back(p, end);
    p = *end ? end + 1 : end;
  }
  return out;
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

bool familyReceives(int tunerType, const std::string& deliverySystem) {
  std::string name;
  for (char c : deliverySystem)
    if (c != '-') name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name == "DVBC") name = "DVBC/ANNEX_A";
  return name == deliverySystemOf(tunerType) || (effectiveTunerType(tunerType) == 1 && name == "DVBT2");
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

ScanPlan rangePlan(int type, uint32_t fromKHz, uint32_t toKHz, uint32_t stepKHz) {
  ScanPlan out;
  addRange(out, type, fromKHz, toKHz, stepKHz);
  return out;
}

ScanPlan defaultPlan(int type) {
  switch (effectiveTunerType(type)) {
    case 1: {  // VHF band III (7 MHz raster, 7 MHz first) and UHF (8 MHz raster)
      ScanPlan out;
      ScanCandidate vhf = familySettings(type);
      std::rotate(vhf.bandwidthsHz.begin(), vhf.bandwidthsHz.begin() + 1, vhf.bandwidthsHz.end());
      out.addBand(177500, 226500, 7000, vhf);
      addRange(out, type, 474000, 858000, 8000);
      return out;
    }
    case 3:
      return *countryPlan(type, "US", nullptr);
    case 5: {
      ScanPlan out;
      addRange(out, type, 473143, 803143, 6000);
      return out;
    }
    case 6:
      return *countryPlan(type, "US", nullptr);
    case 8:
      return *countryPlan(type, "JP", nullptr);
    default:  // DVB-C, DVB-C2
      return *countryPlan(type, "DE", nullptr);
  }
}

std::string unknownCountry(const std::string& country) {
  std::string code;
  for (char c : country) code += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::set<std::string> known;
  for (const CountryBand& b : kCountryBands) {
    const std::vector<std::string> codes = codesOf(b.countries);
    if (std::find(codes.begin(), codes.end(), code) != codes.end()) return {};
    known.insert(codes.begin(), codes.end());
  }
  std::string list;
  for (const auto& k : known) list += (list.empty() ? "" : " ") + k;
  return "no channel plan for country '" + country.substr(0, 40) + "' (plans: " + list + ")";
}

std::optional<ScanPlan> countryPlan(int type, const std::string& country, std::string* error) {
  std::string code;
  for (char c : country) code += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const int family = effectiveTunerType(type);
  ScanPlan out;
  std::set<std::string> known;
  for (const CountryBand& b : kCountryBands) {
    if (b.family != family) continue;
    const std::vector<std::string> codes = codesOf(b.countries);
    known.insert(codes.begin(), codes.end());
    if (std::find(codes.begin(), codes.end(), code) != codes.end()) {
      ScanCandidate settings = familySettings(type);
      if (b.bandwidthHz) {
        std::erase(settings.bandwidthsHz, b.bandwidthHz);
        settings.bandwidthsHz.insert(settings.bandwidthsHz.begin(), b.bandwidthHz);
      }
      out.addBand(b.firstKHz, b.lastKHz, b.stepKHz, settings);
    }
  }
  if (!out.empty()) return out;
  if (error) {
    std::string list;
    for (const auto& k : known) list += (list.empty() ? "" : " ") + k;
    *error = "no " + std::string(familyName(type)) + " channel plan for country '" + country +
             "' (plans: " + list + ")";
  }
  return std::nullopt;
}

ScanPlan initialPlan(int type, const std::vector<ChannelEntry>& entries) {
  ScanPlan out;
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
    if (!out.contains(c.frequencyKHz)) out.add(c);
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
