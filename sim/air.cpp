// The air: multiplex list, channel-file parser, built-in default, lookups.
#include "sim/air.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <span>

#include "platform/host/clock.h"
#include "sim/channel_text.h"

namespace sim {
namespace {

using host::clock::kMs;

struct SystemInfo {
  DeliverySystem system;
  const char* name;
  SystemLimits limits;
};

// C/N thresholds are those of the mode each standard's default multiplex uses (e.g. 64-QAM 2/3 for DVB-T,
// 256-QAM for cable); a real demodulator needs a little more margin than the textbook figure.
constexpr SystemInfo kSystems[] = {
    {DeliverySystem::DVBT, "DVBT", {18.0, 250000, 180 * kMs}},
    {DeliverySystem::DVBT2, "DVBT2", {20.0, 250000, 300 * kMs}},
    {DeliverySystem::DVBC_ANNEX_A, "DVBC/ANNEX_A", {28.0, 200000, 150 * kMs}},
    {DeliverySystem::DVBC2, "DVBC2", {30.0, 200000, 150 * kMs}},
    {DeliverySystem::DVBC_ANNEX_B, "DVBC/ANNEX_B", {28.0, 200000, 150 * kMs}},
    {DeliverySystem::ISDBT, "ISDBT", {19.0, 250000, 200 * kMs}},
    {DeliverySystem::ISDBC, "ISDBC", {26.0, 200000, 150 * kMs}},
    {DeliverySystem::ATSC, "ATSC", {15.5, 200000, 250 * kMs}},
};

const SystemInfo& info(DeliverySystem s) {
  for (const auto& i : kSystems)
    if (i.system == s) return i;
  return kSystems[0];
}

constexpr uint64_t kMinFrequencyHz = 1000000;
constexpr uint64_t kMaxFrequencyHz = 1200000000;

bool isCable(DeliverySystem s) {
  return s == DeliverySystem::DVBC_ANNEX_A || s == DeliverySystem::DVBC_ANNEX_B || s == DeliverySystem::ISDBC;
}

// Occupied width on the spectrum, for what a tuner hears at a frequency.
uint32_t channelWidthHz(const Multiplex& m) {
  if (m.bandwidthHz) return m.bandwidthHz;
  if (isCable(m.system) && m.symbolRate) return static_cast<uint32_t>(m.symbolRate * 1.15);
  return 6000000;
}

uint64_t defaultBitrate(const Multiplex& m) {
  double bw = m.bandwidthHz / 8e6;
  switch (m.system) {
    case DeliverySystem::DVBT:
      return static_cast<uint64_t>(24128342 * bw);  // 64-QAM 2/3, GI 1/4
    case DeliverySystem::DVBT2:
      return static_cast<uint64_t>(40200000 * bw);
    case DeliverySystem::DVBC_ANNEX_A:
      return uint64_t{m.symbolRate} * 8 * 188 / 204;  // 256-QAM
    case DeliverySystem::DVBC2:
      return static_cast<uint64_t>(60000000 * bw);
    case DeliverySystem::DVBC_ANNEX_B:
      return m.symbolRate >= 5300000 ? 38810700 : 26970350;
    case DeliverySystem::ISDBT:
      return static_cast<uint64_t>(18000000 * (m.bandwidthHz / 6e6));
    case DeliverySystem::ISDBC:
      return m.streamId == kNoStreamId ? 29162000 : 14581000;
    case DeliverySystem::ATSC:
      return 19392658;
  }
  return 24000000;
}

// Allowed bandwidths per standard (0 = none given: the default is the first).
std::vector<uint32_t> allowedBandwidths(DeliverySystem s) {
  switch (s) {
    case DeliverySystem::DVBT:
      return {8000000, 7000000, 6000000, 5000000};
    case DeliverySystem::DVBT2:
      return {8000000, 7000000, 6000000, 5000000, 1712000};
    case DeliverySystem::DVBC_ANNEX_A:
      return {8000000, 7000000, 6000000};
    case DeliverySystem::DVBC2:
      return {8000000, 6000000};
    case DeliverySystem::ISDBT:
      return {6000000, 7000000, 8000000};
    case DeliverySystem::DVBC_ANNEX_B:
    case DeliverySystem::ISDBC:
    case DeliverySystem::ATSC:
      return {6000000};
  }
  return {};
}

// J.83 Annex B fixes the symbol rate by the modulation; a list that gives only the modulation means it.
uint32_t defaultSymbolRate(DeliverySystem s, std::string_view modulation) {
  switch (s) {
    case DeliverySystem::DVBC_ANNEX_A:
      return 6900000;
    case DeliverySystem::DVBC_ANNEX_B:
      return modulation == "QAM/64" ? 5056941 : 5360537;
    case DeliverySystem::ISDBC:
      return 5274000;
    default:
      return 0;
  }
}

// Keys of libdvbv5's channel files that say nothing the air needs: accepted without a word.
// clang-format off
constexpr const char* kDvbv5Keys[] = {
    "INVERSION", "CODE_RATE_HP", "CODE_RATE_LP", "GUARD_INTERVAL", "TRANSMISSION_MODE", "HIERARCHY",
    "INNER_FEC", "ROLLOFF", "PILOT", "VOLTAGE", "TONE", "INTERLEAVING", "LNA", "DVBT2_PLP_ID_LEGACY",
    "SCRAMBLING_SEQUENCE_INDEX", "PLP_ID", "SERVICE_ID", "VIDEO_PID", "AUDIO_PID", "CHANNEL", "VCHANNEL",
    "NETWORK_ID", "TRANSPORT_ID",
    "POLARIZATION", "SAT_NUMBER", "DISEQC_WAIT", "LNB", "FREQ_BPF", "PLS_CODE", "PLS_MODE", "COUNTRY"};
// clang-format on
// Families of keys by prefix: ISDB-T layers, ATSC-M/H, and the PIDs a scan lists (PID_06).
constexpr const char* kDvbv5KeyPrefixes[] = {"ISDBT_", "ATSCMH_", "PID_"};

// What a scan tool writes for "no stream id" (all ones in 32 bits).
constexpr uint64_t kDvbv5NoStreamId = 0xFFFFFFFF;
constexpr size_t kMaxFileBytes = 4u << 20;

bool isDvbv5Key(const std::string& key) {
  for (const char* k : kDvbv5Keys)
    if (key == k) return true;
  for (const char* p : kDvbv5KeyPrefixes)
    if (key.rfind(p, 0) == 0) return true;
  return false;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::string quoted(std::string_view v) { return quotedValue(v); }

template <class T>
bool parseInt(std::string_view s, T* out) {
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && p == s.data() + s.size();
}

bool parseDouble(std::string_view s, double* out) {
  std::string tmp(s);
  char* end = nullptr;
  *out = std::strtod(tmp.c_str(), &end);
  return !tmp.empty() && end == tmp.c_str() + tmp.size() && std::isfinite(*out);
}

bool usesStreamId(DeliverySystem s) {
  return s == DeliverySystem::DVBT2 || s == DeliverySystem::DVBC2 || s == DeliverySystem::ISDBC;
}

// "A, B, C": names of 1..64 characters, distinct, at most kMaxServices.
bool parseServiceNames(std::string_view value, std::vector<std::string>& out, std::string* what) {
  out.clear();
  size_t start = 0;
  while (true) {
    const size_t comma = value.find(',', start);
    const std::string name(
        trim(value.substr(start, comma == std::string_view::npos ? comma : comma - start)));
    if (name.empty() || name.size() > 64) return *what = "service names must be 1..64 characters", false;
    if (std::find(out.begin(), out.end(), name) != out.end())
      return *what = "service " + name + " named twice", false;
    out.push_back(name);
    if (out.size() > kMaxServices)
      return *what = "more than " + std::to_string(kMaxServices) + " services", false;
    if (comma == std::string_view::npos) return true;
    start = comma + 1;
  }
}

// The US channel number of a frequency on the broadcast or the standard cable plan; 0 when it is on neither.
uint16_t usChannelNumber(DeliverySystem s, uint64_t frequencyHz) {
  if (frequencyHz % 1000000) return 0;
  const int64_t mhz = static_cast<int64_t>(frequencyHz / 1000000);
  struct Band {
    int64_t first, last, channel;  // centre frequencies (MHz) on a 6 MHz raster and the first one's number
  };
  // clang-format off
  static constexpr Band kBroadcast[] = {{57, 69, 2}, {79, 85, 5}, {177, 213, 7}, {473, 887, 14}};
  static constexpr Band kCable[] = {{57, 69, 2}, {79, 85, 5}, {93, 117, 95}, {123, 171, 14}, {177, 213, 7},
                                    {219, 645, 23}, {651, 1599, 100}};
  // clang-format on
  const bool cable = s == DeliverySystem::DVBC_ANNEX_B;
  for (const Band& b : cable ? std::span<const Band>(kCable) : std::span<const Band>(kBroadcast))
    if (mhz >= b.first && mhz <= b.last && (mhz - b.first) % 6 == 0)
      return static_cast<uint16_t>(b.channel + (mhz - b.first) / 6);
  return 0;
}

struct Section {
  Multiplex mux;
  int line = 0, bandwidthLine = 0;
  bool hasSystem = false, hasFrequency = false, hasBitrate = false, hasStreamId = false;
  std::string modulation;
  std::string unusable;  // why the entry, well formed, is of no use here (skipped with a warning)
};

}  // namespace

const char* deliverySystemName(DeliverySystem system) { return info(system).name; }

std::optional<DeliverySystem> parseDeliverySystem(std::string_view name) {
  for (const auto& i : kSystems)
    if (name == i.name) return i.system;
  if (name == "DVBC") return DeliverySystem::DVBC_ANNEX_A;
  return std::nullopt;
}

const SystemLimits& systemLimits(DeliverySystem system) { return info(system).limits; }

Air::Air(std::vector<Multiplex> multiplexes, uint32_t seed) : muxes_(std::move(multiplexes)), seed_(seed) {
  for (size_t i = 0; i < muxes_.size(); ++i)
    if (muxes_[i].transportStreamId == 0) muxes_[i].transportStreamId = static_cast<uint16_t>(0x1001 + i);
}

std::shared_ptr<Air> Air::parse(std::string_view text, std::string* error, std::string_view origin,
                                const std::string& baseDir, uint32_t seed,
                                std::vector<std::string>* warnings) {
  std::vector<Multiplex> out;
  std::optional<Section> cur;
  std::vector<std::string> unknownKeys;  // warned about once each
  std::string firstRepeat;               // one warning for every entry that repeats an earlier one
  int repeats = 0;
  std::string err;
  int lineNo = 0;
  auto where = [&](int line) { return std::string(origin) + ":" + std::to_string(line) + ": "; };
  auto fail = [&](int line, const std::string& what) {
    err = where(line) + what;
    return false;
  };
  auto warn = [&](int line, const std::string& what) {
    if (warnings) warnings->push_back(where(line) + what);
  };

  auto finish = [&](Section& s) -> bool {
    Multiplex& m = s.mux;
    if (!s.hasSystem) return fail(s.line, "[" + m.name + "] has no DELIVERY_SYSTEM");
    if (!s.hasFrequency) return fail(s.line, "[" + m.name + "] has no FREQUENCY");
    if (!s.unusable.empty()) {
      warn(s.line, "[" + m.name + "] " + s.unusable + "; ignored");
      return true;
    }
    auto bws = allowedBandwidths(m.system);
    if (m.bandwidthHz == 0) m.bandwidthHz = bws.front();
    if (std::find(bws.begin(), bws.end(), m.bandwidthHz) == bws.end()) {
      std::string takes;
      for (size_t i = 0; i < bws.size(); ++i)
        takes += (i == 0 ? "" : i + 1 == bws.size() ? " or " : ", ") + std::to_string(bws[i]);
      return fail(s.bandwidthLine, "[" + m.name + "] BANDWIDTH_HZ " + std::to_string(m.bandwidthHz) +
                                       " not valid for " + deliverySystemName(m.system) + " (it takes " +
                                       takes + ")");
    }
    if (isCable(m.system) && m.symbolRate == 0) m.symbolRate = defaultSymbolRate(m.system, s.modulation);
    if (s.hasStreamId && m.streamId != kNoStreamId && !usesStreamId(m.system)) {
      warn(s.line, "[" + m.name + "] STREAM_ID is not used by " + deliverySystemName(m.system) + "; ignored");
      m.streamId = kNoStreamId;
    }
    if (!s.hasBitrate) m.bitrate = defaultBitrate(m);
    if (m.serviceNames.empty()) m.serviceNames = {m.name.substr(0, 64)};
    // A list that names a multiplex twice (a scan lists each of its services) still has it once.
    for (const auto& o : out)
      if (o.system == m.system && o.frequencyHz == m.frequencyHz && o.streamId == m.streamId) {
        if (!repeats++)
          firstRepeat = where(s.line) + "[" + m.name + "] repeats [" + o.name +
                        "] (same system, frequency and stream id); ignored";
        return true;
      }
    out.push_back(m);
    return true;
  };

  auto sections = readChannelSections(text, origin, error, warnings);
  if (!sections) return nullptr;
  bool ok = true;
  for (const ChannelSection& section : *sections) {
    cur.emplace();
    cur->line = section.line;
    cur->bandwidthLine = section.lineOf("BANDWIDTH_HZ");
    cur->mux.name = section.name;
    for (size_t k = 0; ok && k < section.keys.size(); ++k) {
      lineNo = section.keyLines[k];
      const std::string& key = section.keys[k].first;
      const std::string_view value = section.keys[k].second;
      Multiplex& m = cur->mux;
      auto bad = [&](const std::string& what) {
        return fail(lineNo, key + ": " + what + " " + quoted(value));
      };
      const bool ours = key == "DELIVERY_SYSTEM" || key == "FREQUENCY" || key == "BANDWIDTH_HZ" ||
                        key == "SYMBOL_RATE" || key == "STREAM_ID" || key == "MODULATION" ||
                        key == "RF_LEVEL_DBM" || key == "CNR_DB" || key == "BITRATE_BPS" ||
                        key == "TS_FILE" || key == "SERVICE_NAME";
      if (!ours) {
        if (!isDvbv5Key(key) && std::find(unknownKeys.begin(), unknownKeys.end(), key) == unknownKeys.end()) {
          unknownKeys.push_back(key);
          warn(lineNo, "unknown key " + quoted(key) + " ignored");
        }
        continue;
      }
      if (key == "DELIVERY_SYSTEM") {
        auto s = parseDeliverySystem(value);
        if (!s) {
          ok = bad("not a delivery system of this card");
          break;
        }
        m.system = *s;
        cur->hasSystem = true;
      } else if (key == "FREQUENCY") {
        const auto hz = frequencyOf(section, origin, &err);
        const uint64_t f = hz.value_or(0);
        if (!hz) {
          ok = false;
        } else if (f < kMinFrequencyHz || f > kMaxFrequencyHz) {
          const bool kHz = f * 1000 >= kMinFrequencyHz && f * 1000 <= kMaxFrequencyHz;
          cur->unusable = "FREQUENCY " + std::to_string(f) + " is outside 1 MHz .. 1200 MHz" +
                          (kHz ? " (FREQUENCY is in Hz, not kHz)" : "");
        }
        m.frequencyHz = f;
        cur->hasFrequency = true;
      } else if (key == "BANDWIDTH_HZ") {
        // 0 is what libdvbv5 writes for "automatic": the standard's default then.
        if (!parseInt(value, &m.bandwidthHz)) ok = bad("not a bandwidth in Hz");
      } else if (key == "SYMBOL_RATE") {
        if (!parseInt(value, &m.symbolRate) || m.symbolRate < 1000000 || m.symbolRate > 7200000)
          ok = bad("not a symbol rate in 1000000 .. 7200000 symbols/s");
      } else if (key == "STREAM_ID") {
        uint64_t id = 0;
        if (!parseInt(value, &id) || (id > 0xFFFF && id != kDvbv5NoStreamId))
          ok = bad("not a stream id 0..65535 (or 4294967295 for none)");
        m.streamId = id == kDvbv5NoStreamId ? kNoStreamId : static_cast<int32_t>(id);
        cur->hasStreamId = true;
      } else if (key == "MODULATION") {
        cur->modulation = std::string(value);
      } else if (key == "RF_LEVEL_DBM") {
        if (!parseDouble(value, &m.rfLevelDbm) || m.rfLevelDbm < -120 || m.rfLevelDbm > 20)
          ok = bad("not a level in -120 .. 20 dBm");
      } else if (key == "CNR_DB") {
        if (!parseDouble(value, &m.cnrDb) || m.cnrDb < -10 || m.cnrDb > 60)
          ok = bad("not a C/N in -10 .. 60 dB");
      } else if (key == "BITRATE_BPS") {
        if (!parseInt(value, &m.bitrate) || m.bitrate < 188 * 8 || m.bitrate > 200000000)
          ok = bad("not a bitrate in 1504 .. 200000000 bit/s");
        cur->hasBitrate = true;
      } else if (key == "TS_FILE") {
        std::string path(value);
        if (path.empty()) {
          ok = bad("empty path");
          break;
        }
        if (path.front() != '/' && !baseDir.empty()) path = baseDir + "/" + path;
        // Checked now, not when a tuner first locks: a file that cannot be played is a broken air.
        std::string why;
        if (!makeFileSource(path, 1, &why)) ok = fail(lineNo, "TS_FILE: " + why);
        m.tsFile = path;
      } else if (key == "SERVICE_NAME") {
        std::string what;
        if (!parseServiceNames(value, m.serviceNames, &what)) ok = bad(what);
      }
    }
    if (!ok || !(ok = finish(*cur))) break;
  }
  lineNo =
      static_cast<int>(std::count(text.begin(), text.end(), '\n')) + (!text.empty() && text.back() != '\n');
  if (ok && repeats && warnings)
    warnings->push_back(firstRepeat + (repeats > 1 ? " (and " + std::to_string(repeats - 1) + " more)" : ""));
  if (ok && out.empty()) ok = fail(lineNo, "no multiplex in the file");
  if (!ok) {
    if (error) *error = err;
    return nullptr;
  }
  return std::make_shared<Air>(std::move(out), seed);
}

std::shared_ptr<Air> Air::load(const std::string& path, std::string* error, uint32_t seed,
                               std::vector<std::string>* warnings) {
  auto fail = [&](const std::string& what) -> std::shared_ptr<Air> {
    if (error) *error = path + ": " + what;
    return nullptr;
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(std::string("cannot open: ") + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return fail("is a directory");
  }
  // Read at most one byte past the limit: enough to tell an endless source from a channel file.
  std::string text;
  char buf[65536];
  while (text.size() <= kMaxFileBytes) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int e = errno;
      ::close(fd);
      return fail(std::string("cannot read: ") + std::strerror(e));
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  if (text.size() > kMaxFileBytes) return fail("larger than 4 MiB: not a channel file");
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  return parse(text, error, path, dir, seed, warnings);
}

std::shared_ptr<Air> Air::makeDefault(uint32_t seed) {
  using D = DeliverySystem;
  using Names = std::vector<std::string>;
  auto mk = [](std::string name, D s, uint64_t f, uint32_t bw, uint32_t sr, int32_t sid, double lvl,
               double cn, Names services) {
    Multiplex m;
    m.name = std::move(name);
    m.system = s;
    m.frequencyHz = f;
    m.bandwidthHz = bw;
    m.symbolRate = sr;
    m.streamId = sid;
    m.rfLevelDbm = lvl;
    m.cnrDb = cn;
    m.serviceNames = std::move(services);
    m.bitrate = defaultBitrate(m);
    return m;
  };
  // ATSC virtual channels carry seven characters of a name: call signs.
  // clang-format off
  std::vector<Multiplex> v = {
      mk("DVB-T 474 MHz", D::DVBT, 474000000, 8000000, 0, kNoStreamId, -45.0, 30.0, {"Zadivo One", "Zadivo Kids"}),
      mk("DVB-T 506 MHz", D::DVBT, 506000000, 8000000, 0, kNoStreamId, -62.5, 24.3, {"Zadivo Two"}),
      mk("DVB-T 177.5 MHz", D::DVBT, 177500000, 7000000, 0, kNoStreamId, -55.0, 27.0, {"Zadivo Band III"}),
      mk("DVB-T 602 MHz 6 MHz", D::DVBT, 602000000, 6000000, 0, kNoStreamId, -50.0, 26.5, {"Zadivo Six"}),
      mk("DVB-T 226.5 MHz 5 MHz", D::DVBT, 226500000, 5000000, 0, kNoStreamId, -58.0, 22.8, {"Zadivo Five"}),
      mk("DVB-T2 538 MHz PLP 0", D::DVBT2, 538000000, 8000000, 0, 0, -48.0, 28.0, {"Zadivo HD"}),
      mk("DVB-T2 538 MHz PLP 1", D::DVBT2, 538000000, 8000000, 0, 1, -48.0, 28.0, {"Zadivo UHD"}),
      mk("DVB-T2 650 MHz", D::DVBT2, 650000000, 7000000, 0, 0, -52.0, 25.5, {"Zadivo T2 Seven"}),
      mk("DVB-C 346 MHz", D::DVBC_ANNEX_A, 346000000, 8000000, 6900000, kNoStreamId, -40.0, 36.0, {"Zadivo Cable", "Zadivo Cable News"}),
      mk("DVB-C2 714 MHz", D::DVBC2, 714000000, 8000000, 0, 0, -42.0, 35.0, {"Zadivo C2"}),
      mk("J.83B 555 MHz", D::DVBC_ANNEX_B, 555000000, 6000000, 5360537, kNoStreamId, -41.0, 34.0, {"ZADV-C1", "ZADV-C2"}),
      // Clear of the J.83B channel below it: a tuner hears the stronger of two overlapping channels.
      mk("ISDB-T 563.143 MHz", D::ISDBT, 563143000, 6000000, 0, kNoStreamId, -50.0, 27.0, {"Zadivo ISDB", "Zadivo ISDB Sub"}),
      mk("ISDB-C 375 MHz TS 1", D::ISDBC, 375000000, 6000000, 5274000, 1, -43.0, 33.0, {"Zadivo TSMF 1"}),
      mk("ISDB-C 375 MHz TS 2", D::ISDBC, 375000000, 6000000, 5274000, 2, -43.0, 33.0, {"Zadivo TSMF 2"}),
      mk("ATSC 575 MHz", D::ATSC, 575000000, 6000000, 0, kNoStreamId, -55.0, 25.0, {"ZADV-TV", "ZADV-WX"}),
  };
  // clang-format on
  return std::make_shared<Air>(std::move(v), seed);
}

std::vector<Multiplex> Air::multiplexes() const {
  std::lock_guard g(m_);
  return muxes_;
}

size_t Air::size() const {
  std::lock_guard g(m_);
  return muxes_.size();
}

std::optional<Multiplex> Air::find(DeliverySystem system, uint64_t frequencyHz, uint32_t toleranceHz,
                                   int32_t streamId) const {
  std::lock_guard g(m_);
  const Multiplex* best = nullptr;
  uint64_t bestDist = 0;
  for (const auto& m : muxes_) {
    if (m.system != system) continue;
    uint64_t d = m.frequencyHz > frequencyHz ? m.frequencyHz - frequencyHz : frequencyHz - m.frequencyHz;
    if (d > toleranceHz) continue;
    if (streamId != kNoStreamId && m.streamId != kNoStreamId && m.streamId != streamId) continue;
    if (!best || d < bestDist) {
      best = &m;
      bestDist = d;
    }
  }
  if (!best) return std::nullopt;
  return *best;
}

std::vector<int32_t> Air::streamIds(DeliverySystem system, uint64_t frequencyHz, uint32_t toleranceHz) const {
  std::lock_guard g(m_);
  std::vector<int32_t> ids;
  for (const auto& m : muxes_) {
    uint64_t d = m.frequencyHz > frequencyHz ? m.frequencyHz - frequencyHz : frequencyHz - m.frequencyHz;
    if (m.system == system && d <= toleranceHz && m.streamId != kNoStreamId) ids.push_back(m.streamId);
  }
  return ids;
}

double Air::rfLevelAt(uint64_t frequencyHz) const {
  std::lock_guard g(m_);
  double level = kNoiseFloorDbm;
  for (const auto& m : muxes_) {
    uint64_t half = channelWidthHz(m) / 2;
    if (frequencyHz + half >= m.frequencyHz && frequencyHz <= m.frequencyHz + half)
      level = std::max(level, m.rfLevelDbm);
  }
  return level;
}

bool Air::setRfLevel(const std::string& name, double dbm) {
  std::lock_guard g(m_);
  bool found = false;
  for (auto& m : muxes_)
    if (m.name == name) m.rfLevelDbm = dbm, found = true;
  return found;
}

bool Air::setCnr(const std::string& name, double db) {
  std::lock_guard g(m_);
  bool found = false;
  for (auto& m : muxes_)
    if (m.name == name) m.cnrDb = db, found = true;
  return found;
}

void Air::setSourceFactory(SourceFactory factory) {
  std::lock_guard g(m_);
  factory_ = std::move(factory);
}

TsGenConfig Air::generatorConfig(const Multiplex& mux) const {
  TsGenConfig c;
  c.transportStreamId = mux.transportStreamId;
  c.originalNetworkId = 0x2000 + static_cast<uint16_t>(mux.system);
  c.si = mux.system == DeliverySystem::ATSC           ? SiFamily::Atsc
         : mux.system == DeliverySystem::DVBC_ANNEX_B ? SiFamily::AtscCable
                                                      : SiFamily::Dvb;
  c.vctModulation = mux.system == DeliverySystem::ATSC ? 0x04 : mux.symbolRate >= 5300000 ? 0x03 : 0x02;
  const uint16_t rf = usChannelNumber(mux.system, mux.frequencyHz);
  c.services.clear();
  for (size_t k = 0; k < mux.serviceNames.size() && k < kMaxServices; ++k) {
    TsService s;
    s.programNumber = static_cast<uint16_t>((mux.transportStreamId & 0xFF) * 16 + 1 + k);
    s.pmtPid = static_cast<uint16_t>(0x100 * (k + 1));
    s.videoPid = s.pcrPid = s.pmtPid + 1;
    s.esPids = {static_cast<uint16_t>(s.pmtPid + 3), static_cast<uint16_t>(s.pmtPid + 2)};
    s.name = mux.serviceNames[k];
    s.majorChannel = rf ? rf : static_cast<uint16_t>(1 + (mux.transportStreamId & 0xFF));
    s.minorChannel = static_cast<uint16_t>(k + 1);
    c.services.push_back(s);
  }
  c.bitrate = mux.bitrate;
  c.seed = seed_ * 2654435761u + mux.transportStreamId;
  return c;
}

std::unique_ptr<TsSource> Air::makeSource(const Multiplex& mux, std::string* error) const {
  SourceFactory factory;
  {
    std::lock_guard g(m_);
    factory = factory_;
  }
  if (factory) return factory(mux, seed_);
  if (!mux.tsFile.empty()) return makeFileSource(mux.tsFile, mux.bitrate, error);
  return makeGeneratedSource(generatorConfig(mux));
}

}  // namespace sim
